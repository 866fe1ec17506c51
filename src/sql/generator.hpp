#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/error.hpp"
#include "lib/row.hpp"
#include "sql/dialect.hpp"

namespace morvel::sql::generator {

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
  [[nodiscard]] static Result<PrimaryKey> from_options(std::optional<std::string_view> option,
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
[[nodiscard]] std::string generate_insert(std::string_view table_name, const Row& row,
                                          Dialect dialect);

// Appends the statement of generate_insert to `out`, given the table name already quoted.
// Reserves once for the whole statement. Never fails.
void append_insert(std::string& out, std::string_view quoted_table, const Row& row,
                   Dialect dialect);

// The INSERT statements of one conversion. The quoted table and column list are built once and
// reused for as long as rows come with the same column names, which is every row of a CSV input.
// It notes on each row it has quoted (Row::note_names_seen) that the names are known.
class InsertBuilder {
 public:
  InsertBuilder(std::string_view table_name, Dialect dialect);

  // The most bytes write() can take for `row`, what it may overwrite past its end included;
  // quotes the row's column list if it differs from the last one. Never fails.
  [[nodiscard]] std::size_t max_size(const Row& row);

  // Writes generate_insert(table_name, row, dialect) at `out`, which has room for max_size() of
  // the same row, called last, and returns the end of the statement. Never fails.
  char* write(char* out, const Row& row) const noexcept;

 private:
  void set_columns(const Row& row);

  Dialect dialect_;
  std::string quoted_table_;
  Row columns_;         // the names `prefix_` quotes, with empty texts
  std::string prefix_;  // INSERT INTO <table> (<columns>) VALUES (
  // Identifies the column list quoted (0: none yet), so that a row's note of its names
  // (Row::note_names_seen) from an earlier list, or another builder's, is not taken for it.
  std::uint64_t list_ = 0;
  bool may_hold_nul_ = false;  // whether the row of the last max_size() holds a NUL byte
};

// CREATE TABLE IF NOT EXISTS for the columns and value types of `first_row`, with the key of
// `primary_key`; no trailing line break. Fails when a key column is not in the row, or when an
// auto id is asked for and the row already has a column named id.
[[nodiscard]] Result<std::string> generate_create_table_with_pk(std::string_view table_name,
                                                                const Row& first_row,
                                                                Dialect dialect,
                                                                const PrimaryKey& primary_key);

// The column type name for a value type under a dialect. Never fails.
[[nodiscard]] std::string_view column_type_name(DataType type, Dialect dialect) noexcept;

}  // namespace morvel::sql::generator

namespace morvel {
using sql::generator::PrimaryKey;
}
