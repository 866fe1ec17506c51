#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/data_type.hpp"
#include "core/row.hpp"
#include "sql/dialect.hpp"

namespace morvel::sql {

// The SQL literal for one value of the given type, after trimming Unicode white space: NULL;
// booleans as TRUE/FALSE (1/0 for SQLite); finite numbers unchanged and unquoted; everything else,
// non-finite floats included, in apostrophes with apostrophes doubled (and backslashes doubled for
// MySQL, which reads them as escapes). Never fails.
[[nodiscard]] std::string format_sql_value(std::string_view value, core::DataType type,
                                           Dialect dialect);

// A NUL character ends a line for the engines' own script readers, which would join the rest
// of the statement to the next line and run what follows as SQL. format_sql_value writes it
// outside the literal as chr(0) for PostgreSQL (which refuses NUL when loading, so the statement
// fails instead of running something else) and as char(0) for SQLite, and as \0 inside a MySQL
// literal: 'a' || chr(0) || 'b' without the blanks, 'a\0b'.

// Whether a boolean's trimmed text counts as true: it lower-cases to "true", "t" or "1". No
// non-ASCII character lower-cases to one of those letters, so an ASCII fold decides exactly.
// Never fails.
[[nodiscard]] bool is_true_text(std::string_view trimmed) noexcept;

// Appends the literal of format_sql_value to `out`. Never fails.
void append_sql_value(std::string& out, std::string_view value, core::DataType type,
                      Dialect dialect);

// The most bytes a NUL byte of a value becomes ('||char(0)||' for SQLite).
inline constexpr std::size_t nul_literal_bytes = 13;

// The most bytes format_sql_value can make of a value of `size` bytes: every byte doubled inside
// apostrophes (or, when the value may hold NUL bytes, every byte a NUL), or FALSE. Never fails.
[[nodiscard]] constexpr std::size_t max_literal_size(std::size_t size,
                                                     bool may_hold_nul = false) noexcept {
  return (may_hold_nul ? nul_literal_bytes : 2) * size + 5;
}

// Bytes past the end of a literal that the value writers may overwrite (they copy in blocks).
inline constexpr std::size_t literal_slack = 16;

// The most bytes write_value_list can make of `row`, slack included. Never fails.
[[nodiscard]] std::size_t max_value_list_size(const core::Row& row, bool may_hold_nul) noexcept;

// Writes the literals of the row's values, in order, separated by ", ", at `out`, which has room
// for max_value_list_size(row, may_hold_nul), and returns the end of the list. `may_hold_nul`
// false promises that no text holds a NUL byte (Row::holds_nul), which spares looking for one.
// `types`, when given, holds a type per entry that each value is written as instead of its own,
// but for NULL values. `in_datetime`, when given, is non-zero for each entry that stands in a
// MySQL DATETIME column the script declared: a timestamp there with a zone is written as the UTC
// time it stands for, since DATETIME keeps no zone and MySQL refuses one in its text. Never
// fails.
char* write_value_list(char* out, const core::Row& row, Dialect dialect, bool may_hold_nul,
                       const core::DataType* types = nullptr,
                       const std::uint8_t* in_datetime = nullptr) noexcept;

}  // namespace morvel::sql
