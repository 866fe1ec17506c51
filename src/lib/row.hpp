#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <string_view>
#include <vector>

#include "lib/error.hpp"
#include "lib/scan.hpp"
#include "sql/inference.hpp"

namespace morvel {

// One input record: column names mapped to (value text, DataType), in insertion order.
// Names and texts live in two byte buffers owned by the row (names back to back, texts back to
// back), so building a row costs no allocation per field, a reader that reuses one row through
// clear() none per record, and a writer can recognise a column list it has already quoted.
class Row {
 public:
  // A view of one entry; its texts borrow the row's buffers and die with the row or its next
  // insert, append or clear.
  struct Entry {
    std::string_view name;
    std::string_view text;
    DataType type;
  };

  Row() = default;

  // Sets `name` to (text, type). A name already present keeps its first position and takes the new
  // pair. Linear in the number of entries. Never fails.
  void insert(std::string_view name, std::string_view text, DataType type);

  // Adds an entry at the end without looking for `name`: the caller guarantees it is not present
  // (a checked CSV header, a JSON object's sorted unique keys). Never fails.
  void append(std::string_view name, std::string_view text, DataType type) {
    slots_.push_back(Slot{names_.size(), name.size(), texts_.size(), text.size(), type});
    append_bytes(names_, name);
    append_bytes(texts_, text);
  }

  // Reserves room for `entries` entries, `name_bytes` bytes of names and `text_bytes` bytes of
  // texts. Never fails.
  void reserve(std::size_t entries, std::size_t name_bytes, std::size_t text_bytes);

  // Removes every entry and keeps the memory, so that a reader can fill the same row for the
  // next record without allocating. Never fails.
  void clear() noexcept {
    names_.clear();
    texts_.clear();
    slots_.clear();
  }

  // Removes every text and keeps the entries with their names, for a reader whose records all
  // have the same names: set_text() then gives each entry its new text. Never fails.
  void clear_texts() noexcept { texts_.clear(); }

  // Replaces every text with a copy of `block`, keeping the entries with their names, for a
  // reader whose record holds most texts as pieces of one byte string: set_text_in_block() then
  // points each entry at its piece, and set_text() can still add texts after the block. Never
  // fails.
  void set_text_block(std::string_view block) {
    texts_.clear();
    append_bytes(texts_, block);
  }

  // Gives entry `index`, which must exist, the `size` bytes at `offset` of the text block as its
  // text, and `type`. Never fails.
  void set_text_in_block(std::size_t index, std::size_t offset, std::size_t size,
                         DataType type) noexcept {
    Slot& slot = slots_[index];
    slot.text_offset = offset;
    slot.text_size = size;
    slot.type = type;
  }

  // Gives entry `index`, which must exist, a new text and type. The old text stays in the buffer
  // unless clear_texts() came first. Never fails.
  void set_text(std::size_t index, std::string_view text, DataType type) {
    Slot& slot = slots_[index];
    slot.text_offset = texts_.size();
    slot.text_size = text.size();
    slot.type = type;
    append_bytes(texts_, text);
  }

  [[nodiscard]] std::size_t size() const noexcept { return slots_.size(); }
  [[nodiscard]] bool empty() const noexcept { return slots_.empty(); }
  [[nodiscard]] Entry operator[](std::size_t index) const noexcept {
    const Slot& slot = slots_[index];
    return Entry{{names_.data() + slot.name_offset, slot.name_size},
                 {texts_.data() + slot.text_offset, slot.text_size},
                 slot.type};
  }

  // The index of the entry named exactly `name` (bytes compared, letter case counts).
  [[nodiscard]] std::optional<std::size_t> find(std::string_view name) const noexcept;

  // Total bytes of all names and texts; lets writers reserve once per statement.
  [[nodiscard]] std::size_t text_bytes() const noexcept { return names_.size() + texts_.size(); }

  // Whether a name or a text holds a NUL byte (texts replaced since the last clear count too).
  // One memchr over each buffer. Never fails.
  [[nodiscard]] bool holds_nul() const noexcept;

  // Whether both rows have the same names in the same order (texts and types aside). Linear in
  // the bytes of the names. Never fails.
  [[nodiscard]] bool has_same_names(const Row& other) const noexcept;

  class Iterator {
   public:
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    Iterator() = default;
    Iterator(const Row* row, std::size_t index) : row_(row), index_(index) {}
    Entry operator*() const noexcept { return (*row_)[index_]; }
    Iterator& operator++() noexcept {
      ++index_;
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const Iterator& other) const noexcept { return index_ == other.index_; }

   private:
    const Row* row_ = nullptr;
    std::size_t index_ = 0;
  };
  [[nodiscard]] Iterator begin() const noexcept { return {this, 0}; }
  [[nodiscard]] Iterator end() const noexcept { return {this, slots_.size()}; }

 private:
  struct Slot {
    std::size_t name_offset;
    std::size_t name_size;
    std::size_t text_offset;
    std::size_t text_size;
    DataType type;
  };

  // Appends without zero-filling first and copies short texts inline; std::string::append goes
  // through two out-of-line calls per piece, which showed up as a tenth of a CSV conversion.
  static void append_bytes(std::string& buffer, std::string_view bytes) {
    const std::size_t size = buffer.size();
    buffer.resize_and_overwrite(size + bytes.size(), [&](char* data, std::size_t) noexcept {
      scan::copy(data + size, bytes.data(), bytes.size());
      return size + bytes.size();
    });
  }

  std::string names_;
  std::string texts_;
  std::vector<Slot> slots_;
};

// The callable a reader hands each record to, borrowed for the duration of one reading call: it
// takes the row as an rvalue (by value, by rvalue or by const reference) and returns a status, and
// the reader stops at its first error. A callable that does not move the row out leaves it to
// the reader, which refills it for the next record (only the texts when the names repeat), so
// such a callable must not change it.
class RowSink {
 public:
  template <class F>
    requires std::is_invocable_r_v<Status, F&, Row>
  RowSink(F& callable) noexcept  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Row&& row) -> Status {
          return (*static_cast<F*>(object))(std::move(row));
        }) {}

  [[nodiscard]] Status operator()(Row&& row) const { return call_(object_, std::move(row)); }

 private:
  void* object_;
  Status (*call_)(void*, Row&&);
};

}  // namespace morvel
