#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/calendar.hpp"
#include "core/data_type.hpp"
#include "core/error.hpp"
#include "core/scan.hpp"

namespace morvel::core {

// One input record: column names mapped to (value text, DataType), in insertion order.
// Names and owned texts live in two byte buffers owned by the row (names back to back, texts back
// to back), so building a row costs no allocation per field and a reader that reuses one row
// through clear() none per record. A reader may also give an entry a view of its own buffer
// instead of a copy (set_text_view), and says when a record repeats the names of the one before
// (names_repeat), so that a writer need not compare them.
class Row {
 public:
  // A view of one entry; its texts borrow the row's buffers (or the reader's buffer, for a text
  // given by set_text_view) and die with the row or its next insert, append or clear.
  struct Entry {
    std::string_view name;
    std::string_view text;
    DataType type;
  };

  Row() = default;
  // A copy, and a row moved into, own all their texts: texts that were views of a reader's
  // buffer are copied into the row, so a sink that keeps a row keeps valid texts after the
  // reader has moved on. Throw std::bad_alloc when memory runs out.
  Row(const Row& other);
  Row(Row&& other);
  Row& operator=(const Row& other);
  Row& operator=(Row&& other);
  ~Row() = default;

  // Adds an entry at the end without looking for `name`: the caller guarantees it is not present
  // (a checked CSV header, a JSON object's sorted unique keys). Never fails.
  void append(std::string_view name, std::string_view text, DataType type) {
    slots_.push_back(Slot{names_.size(), name.size(), texts_.size(), text.size(), type, false});
    append_bytes(names_, name);
    append_bytes(texts_, text);
    nul_free_ = false;
    names_repeat_ = false;
    may_change_number_ |= core::may_change_number(type, text);
    note_if_false_date(type, text);
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
    rounded_.clear();
    rounded_texts_.clear();
    view_bytes_ = 0;
    nul_free_ = false;
    names_repeat_ = false;
    may_change_number_ = false;
    holds_false_date_ = false;
  }

  // Removes every text and keeps the entries with their names, for a reader whose next record
  // has the same names as the one it handed over in this row: set_text() or set_text_view() then
  // gives each entry its new text, and names_repeat() is true until the names change. Never
  // fails.
  void clear_texts() noexcept {
    texts_.clear();
    rounded_.clear();
    rounded_texts_.clear();
    view_bytes_ = 0;
    nul_free_ = false;
    names_repeat_ = true;
    may_change_number_ = false;
    holds_false_date_ = false;
  }

  // Gives entry `index`, which must exist, a new text and type. The old text stays in the buffer
  // unless clear_texts() came first. Never fails.
  void set_text(std::size_t index, std::string_view text, DataType type) {
    Slot& slot = slots_[index];
    slot.text_at = texts_.size();
    slot.text_size = text.size();
    slot.type = type;
    slot.is_view = false;
    nul_free_ = false;
    may_change_number_ |= core::may_change_number(type, text);
    note_if_false_date(type, text);
    append_bytes(texts_, text);
  }

  // Gives entry `index`, which must exist, `text` itself as its text, without a copy: `text`
  // borrows the caller's buffer (a reader's input, or its scratch for the current record), which
  // must stay unchanged for as long as the row holds the view, that is until the reader fills
  // the row again. A copy or move of the row copies the text. Never fails.
  void set_text_view(std::size_t index, std::string_view text, DataType type) noexcept {
    Slot& slot = slots_[index];
    slot.text_at = reinterpret_cast<std::uintptr_t>(text.data());
    slot.text_size = text.size();
    slot.type = type;
    slot.is_view = true;
    view_bytes_ += text.size();
    nul_free_ = false;
    may_change_number_ |= core::may_change_number(type, text);
    note_if_false_date(type, text);
  }

  // Notes that the reader wrote the number of entry `index` as the double it reads as, its own
  // text being `original`, which the row keeps until its next clear. Throws std::bad_alloc when
  // memory runs out.
  void note_rounded(std::size_t index, std::string_view original) {
    rounded_texts_.append(original);
    rounded_.emplace_back(index, rounded_texts_.size());
  }

  // How many entries note_rounded() noted since the last clear. Never fails.
  [[nodiscard]] std::size_t rounded_count() const noexcept { return rounded_.size(); }

  // The index and own text of the `i`th entry noted by note_rounded(). Never fails.
  [[nodiscard]] std::pair<std::size_t, std::string_view> rounded(std::size_t i) const noexcept {
    const std::size_t start = i == 0 ? 0 : rounded_[i - 1].second;
    return {rounded_[i].first,
            std::string_view(rounded_texts_).substr(start, rounded_[i].second - start)};
  }

  // Records that no name or text holds a NUL byte, which the reader that filled the row knows
  // from its own scan: holds_nul() then answers without looking at the bytes. Any change to the
  // row drops the note. Never fails.
  void note_nul_free() noexcept { nul_free_ = true; }

  // Whether the reader kept this row's names from the record it handed over before (it refilled
  // only the texts, see clear_texts), so that a sink that has seen every record of the reader can
  // reuse what it made of those names. False for a row built afresh, copied or moved. Never
  // fails.
  [[nodiscard]] bool names_repeat() const noexcept { return names_repeat_; }

  // Whether an entry given since the last clear is a number whose text storing it as a number
  // may change (core::may_change_number), so that a writer need not look at each. Never fails.
  [[nodiscard]] bool may_change_number() const noexcept { return may_change_number_; }

  // Whether an entry given since the last clear is typed Date or Timestamp but is no real one
  // (core::is_false_moment), so that a watch need not look at each. Never fails.
  [[nodiscard]] bool holds_false_date() const noexcept { return holds_false_date_; }

  [[nodiscard]] std::size_t size() const noexcept { return slots_.size(); }
  [[nodiscard]] bool empty() const noexcept { return slots_.empty(); }
  [[nodiscard]] Entry operator[](std::size_t index) const noexcept {
    const Slot& slot = slots_[index];
    const char* const text =
        slot.is_view ? reinterpret_cast<const char*>(slot.text_at) : texts_.data() + slot.text_at;
    return Entry{
        {names_.data() + slot.name_offset, slot.name_size}, {text, slot.text_size}, slot.type};
  }

  // The text of entry `index`, which must exist, without building the entry. Never fails.
  [[nodiscard]] std::string_view text_at(std::size_t index) const noexcept {
    const Slot& slot = slots_[index];
    const char* const text =
        slot.is_view ? reinterpret_cast<const char*>(slot.text_at) : texts_.data() + slot.text_at;
    return {text, slot.text_size};
  }

  // The type of entry `index`, which must exist, without building the entry. Never fails.
  [[nodiscard]] DataType type_at(std::size_t index) const noexcept { return slots_[index].type; }

  // The index of the entry named exactly `name` (bytes compared, letter case counts).
  [[nodiscard]] std::optional<std::size_t> find(std::string_view name) const noexcept;

  // At least the total bytes of all names and texts; lets writers reserve once per statement.
  [[nodiscard]] std::size_t text_bytes() const noexcept {
    return names_.size() + texts_.size() + view_bytes_;
  }

  // Whether a name or a text holds a NUL byte (texts replaced since the last clear count too).
  // One memchr over each buffer and each viewed text, none after note_nul_free(). Never fails.
  // The note is tested inline: the writers ask this of every row.
  [[nodiscard]] bool holds_nul() const noexcept { return !nul_free_ && scan_for_nul(); }

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
    std::uintptr_t text_at;  // the text's address when is_view, else its offset in texts_
    std::size_t text_size;
    DataType type;
    bool is_view;
  };

  // Decided as a reader gives each value, while its bytes are at hand, so that a writer need not
  // look at every date. Only the test of the type is inline: with the date's own test the
  // readers' loops over their fields ran out of registers.
  void note_if_false_date(DataType type, std::string_view text) noexcept {
    if (type == DataType::Date || type == DataType::Timestamp) {
      holds_false_date_ |= is_false_moment(type, text);
    }
  }
  [[gnu::noinline]] static bool is_false_moment(DataType type, std::string_view text) noexcept;

  // holds_nul() without the reader's note. Never fails.
  [[nodiscard]] bool scan_for_nul() const noexcept;

  // Copies every viewed text into texts_. Throws std::bad_alloc when memory runs out.
  void own_texts();

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
  // The entries whose number the reader rounded: their index and where their own text ends in
  // rounded_texts_, where those texts stand back to back.
  std::vector<std::pair<std::size_t, std::size_t>> rounded_;
  std::string rounded_texts_;
  std::size_t view_bytes_ = 0;  // bytes of the texts given by set_text_view since the last clear
  bool nul_free_ = false;
  bool names_repeat_ = false;
  bool may_change_number_ = false;
  bool holds_false_date_ = false;
};

// The callable a reader hands each record to, borrowed for the duration of one reading call: it
// takes the row as an rvalue (by value, by rvalue or by const reference) and returns a status, and
// the reader stops at its first error. A callable that does not move the row out leaves it to
// the reader, which refills it for the next record (only the texts when the names repeat), so
// such a callable must not change it, nor keep a view of its texts past the call: they may be
// views of the reader's buffers. A callable that moves the row out gets a row that owns its texts.
class RowSink {
 public:
  // A RowSink itself is copied, not wrapped: wrapping would point at the copy's source, which
  // may be a parameter that dies first.
  template <class F>
  requires(std::is_invocable_r_v<Status, F&, Row> && !std::is_same_v<F, RowSink>)
      RowSink(F& callable)
  noexcept  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Row&& row) -> Status {
          return (*static_cast<F*>(object))(std::move(row));
        }) {}

  [[nodiscard]] Status operator()(Row&& row) const { return call_(object_, std::move(row)); }

 private:
  void* object_;
  Status (*call_)(void*, Row&&);
};

}  // namespace morvel::core
