#include "sql/dialect.hpp"

#include <cstring>

namespace morvel::sql::dialect {

namespace {

// Compares ASCII letters without regard to case. Full Unicode lower-casing maps no non-ASCII
// character onto the ASCII letters of "mysql" or "sqlite" (only U+212A and U+0130 lower-case
// into ASCII at all, to 'k' and to "i" plus a combining dot), so a byte-wise ASCII fold gives the
// same answer for every input.
bool equals_ascii_folded(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view Dialect::name() const noexcept {
  switch (kind_) {
    case Sqlite:
      return "sqlite";
    case Mysql:
      return "mysql";
    case Postgres:
      break;
  }
  return "postgres";
}

std::string Dialect::quote_identifier(std::string_view name) const {
  std::string out;
  out.reserve(name.size() + 2);
  append_quoted_identifier(out, name);
  return out;
}

void Dialect::append_quoted_identifier(std::string& out, std::string_view name) const {
  const char quote = kind_ == Mysql ? '`' : '"';
  out += quote;
  // Copy clean runs in one call each; only the quote character itself needs doubling.
  while (!name.empty()) {
    const void* hit = std::memchr(name.data(), quote, name.size());
    if (hit == nullptr) break;
    const std::size_t run = static_cast<const char*>(hit) - name.data() + 1;
    out.append(name.data(), run);
    out += quote;
    name.remove_prefix(run);
  }
  out.append(name);
  out += quote;
}

Dialect Dialect::lookup(std::string_view text) noexcept {
  if (equals_ascii_folded(text, "mysql")) return Mysql;
  if (equals_ascii_folded(text, "sqlite")) return Sqlite;
  return Postgres;
}

}  // namespace morvel::sql::dialect
