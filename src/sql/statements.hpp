#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/row.hpp"
#include "sql/dialect.hpp"

namespace morvel::sql {

// The primary-key choice of one conversion: none, existing columns (in key order, duplicates
// kept), or an added auto-increment id column.
class PrimaryKey {
 public:
  enum Kind : std::uint8_t { None, Columns, AutoId };

  PrimaryKey() = default;
  [[nodiscard]] static PrimaryKey auto_id() { return PrimaryKey(AutoId, {}); }
  // `names` must not be empty. Never fails.
  [[nodiscard]] static PrimaryKey columns(std::vector<std::string> names) {
    return PrimaryKey(Columns, std::move(names));
  }

  // Resolves the user's options: `option` is the raw comma-separated column list (absent when not
  // given). Fails with "use either a primary key column or auto id, not both" when both are given
  // and with "primary key column list is empty" when the list names no column.
  [[nodiscard]] static core::Result<PrimaryKey> from_options(std::optional<std::string_view> option,
                                                             bool auto_id);

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // The key columns; empty unless kind() is Columns.
  [[nodiscard]] const std::vector<std::string>& key_columns() const noexcept { return columns_; }

  friend bool operator==(const PrimaryKey&, const PrimaryKey&) = default;

 private:
  PrimaryKey(Kind kind, std::vector<std::string> columns)
      : kind_(kind), columns_(std::move(columns)) {}

  Kind kind_ = None;
  std::vector<std::string> columns_;
};

// INSERT INTO <table> (<columns>) VALUES (<values>); for every entry of `row`, in order, with no
// line break. Never fails.
[[nodiscard]] std::string generate_insert(std::string_view table_name, const core::Row& row,
                                          Dialect dialect);

// The INSERT statements of one conversion, written straight into an output buffer. The quoted
// table and column list are built once and reused for as long as rows come with the same column
// names, which is every row of a CSV input. It must see every row of its reader, in order, since
// it trusts Row::names_repeat to say that a row's names are those of the row before.
class InsertWriter {
 public:
  InsertWriter(std::string_view table_name, Dialect dialect);

  // Appends generate_insert(table_name, row, dialect) and a line feed to `out`; `types`, when
  // given, holds a type per entry that each value but NULL is written as instead of its own.
  // Throws std::bad_alloc when memory runs out.
  void append_line(core::ByteBuffer& out, const core::Row& row,
                   const core::DataType* types = nullptr);

 private:
  Dialect dialect_;
  std::string quoted_table_;
  core::Row columns_;   // the names `prefix_` quotes, with empty texts
  std::string prefix_;  // INSERT INTO <table> (<columns>) VALUES (
  bool has_columns_ = false;
};

// CREATE TABLE IF NOT EXISTS for the columns and value types of `first_row`, with the key of
// `primary_key`; no trailing line break. Fails when a key column is not in the row, or when an
// auto id is asked for and the row already has a column named id.
[[nodiscard]] core::Result<std::string> generate_create_table_with_pk(
    std::string_view table_name, const core::Row& first_row, Dialect dialect,
    const PrimaryKey& primary_key);

// Whether the dialect's column for `column` keeps a value of type `value` whose text is `text`
// as it was: loads it, and gives it back the same by value (numbers), by meaning (dates and
// timestamps) or to the letter (text). Never fails.
[[nodiscard]] bool column_keeps(core::DataType column, core::DataType value, std::string_view text,
                                Dialect dialect) noexcept;

// The column type name for a value type under a dialect. Never fails.
[[nodiscard]] std::string_view column_type_name(core::DataType type, Dialect dialect) noexcept;

}  // namespace morvel::sql
