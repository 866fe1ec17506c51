#pragma once

#include <string>
#include <string_view>

#include "sql/dialect.hpp"
#include "sql/inference.hpp"

namespace morvel::sql::formatter {

// The SQL literal for one value of the given type, after trimming Unicode white space: NULL;
// booleans as TRUE/FALSE (1/0 for SQLite); finite numbers unchanged and unquoted; everything else,
// non-finite floats included, in apostrophes with apostrophes doubled (and backslashes doubled for
// MySQL, which reads them as escapes). Never fails.
[[nodiscard]] std::string format_sql_value(std::string_view value, DataType type, Dialect dialect);

// Appends the literal of format_sql_value to `out`. Never fails.
void append_sql_value(std::string& out, std::string_view value, DataType type, Dialect dialect);

}  // namespace morvel::sql::formatter
