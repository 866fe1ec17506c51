#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <string_view>
#include <vector>

#include "lib/error.hpp"
#include "sql/inference.hpp"

namespace morvel {

// One input record: column names mapped to (value text, DataType), in insertion order.
// All names and texts live in one byte buffer owned by the row, so building a row costs a couple
// of allocations per record rather than two per field.
class Row {
 public:
  // A view of one entry; its texts borrow the row's buffer and die with the row or its next insert.
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
  void append(std::string_view name, std::string_view text, DataType type);

  // Reserves room for `entries` entries and `bytes` bytes of names and texts. Never fails.
  void reserve(std::size_t entries, std::size_t bytes);

  [[nodiscard]] std::size_t size() const noexcept { return slots_.size(); }
  [[nodiscard]] bool empty() const noexcept { return slots_.empty(); }
  [[nodiscard]] Entry operator[](std::size_t index) const noexcept;

  // The index of the entry named exactly `name` (bytes compared, letter case counts).
  [[nodiscard]] std::optional<std::size_t> find(std::string_view name) const noexcept;

  // Total bytes of all names and texts; lets writers reserve once per statement.
  [[nodiscard]] std::size_t text_bytes() const noexcept { return bytes_.size(); }

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

  std::string bytes_;
  std::vector<Slot> slots_;
};

// The callable a reader hands each record to, borrowed for the duration of one reading call: it
// takes the row by value and returns a status, and the reader stops at its first error.
class RowSink {
 public:
  template <class F>
    requires std::is_invocable_r_v<Status, F&, Row>
  RowSink(F& callable) noexcept  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Row&& row) -> Status {
          return (*static_cast<F*>(object))(std::move(row));
        }) {}

  [[nodiscard]] Status operator()(Row row) const { return call_(object_, std::move(row)); }

 private:
  void* object_;
  Status (*call_)(void*, Row&&);
};

}  // namespace morvel
