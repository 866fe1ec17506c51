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

// The name of the column an auto id adds.
inline constexpr std::string_view auto_id_column = "id";

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
  // given). Fails with "use either a primary key column or auto id, not both" (a Conflict of
  // primary_key and auto_id) when both are given and with "primary key column list is empty"
  // when the list names no column.
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

// What an INSERT does with a record whose key is already in the table: fail (the engines'
// default), skip the record, or put it in place of the stored one.
enum class OnConflict : std::uint8_t { Error, Ignore, Replace };

// The column list of the statement a writer has open, recognised again without comparing names
// when the reader says they repeat (Row::names_repeat). It must see every row of its reader.
class ColumnList {
 public:
  // Whether `row` has these names, in this order. Never fails.
  [[nodiscard]] bool matches(const core::Row& row) const noexcept {
    return is_set_ && (row.names_repeat() || row.has_same_names(names_));
  }
  // Takes the names of `row`. Throws std::bad_alloc when memory runs out.
  void take(const core::Row& row);
  // The names, as a row with empty texts. Never fails.
  [[nodiscard]] const core::Row& names() const noexcept { return names_; }

 private:
  core::Row names_;  // with empty texts
  bool is_set_ = false;
};

// The INSERT statements of one conversion, written straight into an output buffer: one per
// record, or one per batch of records with a row tuple per line. The quoted table and column
// list are built once and reused for as long as rows come with the same column names, which is
// every row of a CSV input.
class InsertWriter {
 public:
  // `key_columns` are what a row replacing another is matched on, in PostgreSQL; the table is in
  // `schema` when one is named.
  InsertWriter(std::string_view table_name, Dialect dialect,
               OnConflict on_conflict = OnConflict::Error,
               std::vector<std::string> key_columns = {}, std::string_view schema = {});

  // Appends generate_insert(table_name, row, dialect), with the conflict clause, and a line
  // feed to `out`; `types`, when given, holds a type per entry that each value but NULL is
  // written as instead of its own, `in_datetime` marks the entries in a DATETIME column the
  // script declared (write_value_list). Throws std::bad_alloc when memory runs out.
  void append_line(core::ByteBuffer& out, const core::Row& row,
                   const core::DataType* types = nullptr,
                   const std::uint8_t* in_datetime = nullptr);

  // Whether `row` has the columns of the last statement begun. Never fails.
  [[nodiscard]] bool has_columns_of(const core::Row& row) const noexcept {
    return columns_.matches(row);
  }

  // Begins a statement of several rows with the columns of `row`: "INSERT INTO <table>
  // (<columns>) VALUES" and a line feed. Throws std::bad_alloc when memory runs out.
  void open_batch(core::ByteBuffer& out, const core::Row& row);
  // Appends the row's tuple to the batch, after ",\n" unless it is the first; `types`,
  // and `in_datetime` as for append_line. Throws std::bad_alloc when memory runs out.
  void append_tuple(core::ByteBuffer& out, const core::Row& row, const core::DataType* types,
                    bool is_first, const std::uint8_t* in_datetime = nullptr);
  // Ends the batch: the conflict clause, ";" and a line feed. Throws std::bad_alloc when
  // memory runs out.
  void close_batch(core::ByteBuffer& out);

 private:
  void set_columns(const core::Row& row);

  Dialect dialect_;
  OnConflict on_conflict_;
  std::vector<std::string> key_columns_;
  std::string quoted_table_;
  ColumnList columns_;
  std::string head_;    // INSERT INTO <table> (<columns>) VALUES, or the dialect's variant
  std::string suffix_;  // the conflict clause that ends each statement, if any
};

// CREATE TABLE IF NOT EXISTS for the columns and value types of `first_row`, with the key of
// `primary_key`, in `schema` when one is named; no trailing line break. `fractional_times`, when
// it has an entry per column, marks the timestamp columns with fractions of a second, which MySQL
// then declares DATETIME(6) rather than cut them. Fails when a key column is not in the row, or
// when an auto id is asked for and the row already has a column named id.
[[nodiscard]] core::Result<std::string> generate_create_table_with_pk(
    std::string_view table_name, const core::Row& first_row, Dialect dialect,
    const PrimaryKey& primary_key, std::string_view schema = {},
    const std::vector<bool>& fractional_times = {});

// Whether the dialect's column for `column` keeps a value of type `value` whose text is `text`
// as it was: loads it, and gives it back the same by value (numbers), by meaning (dates and
// timestamps) or to the letter (text). Never fails.
[[nodiscard]] bool column_keeps(core::DataType column, core::DataType value, std::string_view text,
                                Dialect dialect) noexcept;

// The column type name for a value type under a dialect. Never fails.
[[nodiscard]] std::string_view column_type_name(core::DataType type, Dialect dialect) noexcept;

}  // namespace morvel::sql
