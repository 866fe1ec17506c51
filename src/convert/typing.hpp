#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "convert/options.hpp"
#include "convert/schema.hpp"
#include "core/data_type.hpp"
#include "core/error.hpp"
#include "core/row.hpp"
#include "readers/piece_reader.hpp"

namespace morvel::readers::json {
class Parser;
}

namespace morvel::convert {

// What each value of a conversion is written as: the type the user declared for its column,
// else its column's in the schema of every record, when there is one, else its own.
class ColumnTyping {
 public:
  // `declared` and `schema` (null for none) are borrowed.
  ColumnTyping(const std::vector<DeclaredType>& declared, const Schema* schema);

  // Whether values are written as their columns' types rather than their own. Never fails.
  [[nodiscard]] bool is_typed() const noexcept { return schema_ != nullptr || !declared_.empty(); }

  // The columns of the table: those of `columns` (the first record's or the schema's) with the
  // declared types. Fails naming the first declared column that is not among them.
  [[nodiscard]] core::Result<core::Row> table_columns(const core::Row& columns) const;

  // The declared columns, in the order given. Never fails.
  [[nodiscard]] const std::vector<DeclaredType>& declared() const noexcept { return declared_; }

 private:
  friend class RowTyper;

  const std::vector<DeclaredType>& declared_;
  const Schema* schema_;
  std::unordered_map<std::string_view, core::DataType> by_name_;
};

// One thread's typing of rows, which keeps what it made of a row's names while they repeat.
class RowTyper {
 public:
  // `typing` is borrowed.
  explicit RowTyper(const ColumnTyping& typing);
  RowTyper(const RowTyper&) = delete;  // belongs to one thread
  RowTyper& operator=(const RowTyper&) = delete;
  ~RowTyper();

  // The type of each entry of `row`, or null when the conversion writes values as their own.
  // Fails when a value is not one of its declared type, naming the value and the column; the
  // caller knows the record.
  [[nodiscard]] core::Result<const core::DataType*> types_for(const core::Row& row) {
    // Inline, so that a conversion without types pays a test per row and nothing more.
    if (!typing_.is_typed()) return nullptr;
    return typed(row);
  }

 private:
  [[nodiscard]] core::Result<const core::DataType*> typed(const core::Row& row);
  [[nodiscard]] bool fits(core::DataType declared, const core::Row::Entry& entry);

  const ColumnTyping& typing_;
  std::vector<core::DataType> types_;
  std::vector<std::size_t> declared_at_;  // the entries of the last row whose type is declared
  std::unique_ptr<readers::json::Parser> json_;  // made at the first JSON value
};

// `error` about the row of the record at `place`, with that place before its message:
// "record R (line: L, byte: B): ...". Never fails.
[[nodiscard]] core::Error at_record(core::Error error, const readers::RecordPlace& place);

}  // namespace morvel::convert
