#include "sql/formatter.hpp"

#include <cstring>

namespace morvel::sql::formatter {

namespace {

// Boolean texts count as true when they lower-case to "true", "t" or "1". No non-ASCII character
// lower-cases to one of those letters, so an ASCII fold decides exactly.
bool is_true_text(std::string_view s) noexcept {
  if (s.size() == 1) return s[0] == '1' || s[0] == 't' || s[0] == 'T';
  if (s.size() != 4) return false;
  return (s[0] | 0x20) == 't' && (s[1] | 0x20) == 'r' && (s[2] | 0x20) == 'u' &&
         (s[3] | 0x20) == 'e';
}

// Appends `s` with every `special` byte written twice.
void append_doubling(std::string& out, std::string_view s, char special) {
  while (!s.empty()) {
    const void* hit = std::memchr(s.data(), special, s.size());
    if (hit == nullptr) break;
    const std::size_t run = static_cast<const char*>(hit) - s.data() + 1;
    out.append(s.data(), run);
    out += special;
    s.remove_prefix(run);
  }
  out.append(s);
}

// Appends `s` with apostrophes and backslashes doubled, scanning once for either.
void append_doubling_both(std::string& out, std::string_view s) {
  const char* p = s.data();
  const char* const end = p + s.size();
  const char* run = p;
  for (; p != end; ++p) {
    if (*p == '\'' || *p == '\\') {
      out.append(run, p + 1);
      out += *p;
      run = p + 1;
    }
  }
  out.append(run, end);
}

void append_string_literal(std::string& out, std::string_view s, Dialect dialect) {
  out += '\'';
  if (dialect == Dialect::Mysql) {
    // MySQL reads a backslash in a string literal as an escape, so a value ending in one would end
    // the literal early; doubling it keeps the value and closes that injection route.
    append_doubling_both(out, s);
  } else {
    append_doubling(out, s, '\'');
  }
  out += '\'';
}

}  // namespace

void append_sql_value(std::string& out, std::string_view value, DataType type, Dialect dialect) {
  const std::string_view s = inference::trim_white_space(value);
  switch (type) {
    case DataType::Null:
      out += "NULL";
      return;
    case DataType::Boolean: {
      const bool truth = is_true_text(s);
      if (dialect == Dialect::Sqlite) {
        out += truth ? '1' : '0';
      } else {
        out += truth ? "TRUE" : "FALSE";
      }
      return;
    }
    case DataType::Float:
      // No engine accepts inf or nan as a bare word; quoted, PostgreSQL reads them as floats.
      if (inference::is_non_finite_float(s)) {
        append_string_literal(out, s, dialect);
        return;
      }
      out.append(s);
      return;
    case DataType::Integer:
      out.append(s);
      return;
    case DataType::Uuid:
    case DataType::Date:
    case DataType::Timestamp:
    case DataType::Text:
      break;
  }
  append_string_literal(out, s, dialect);
}

std::string format_sql_value(std::string_view value, DataType type, Dialect dialect) {
  std::string out;
  out.reserve(value.size() + 2);
  append_sql_value(out, value, type, dialect);
  return out;
}

}  // namespace morvel::sql::formatter
