#include "sql/dialect.hpp"

#include <cstring>

#include "core/text.hpp"

namespace morvel::sql {

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

std::string Dialect::quote_table(std::string_view schema, std::string_view table) const {
  std::string out;
  if (!schema.empty()) {
    append_quoted_identifier(out, schema);
    out += '.';
  }
  append_quoted_identifier(out, table);
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

namespace {

struct Name {
  std::string_view text;
  Dialect::Kind kind;
  bool is_alias;
};

// Users type the engine's own name as often as ours: MariaDB speaks MySQL's dialect.
constexpr Name names[] = {
    {"postgres", Dialect::Postgres, false}, {"sqlite", Dialect::Sqlite, false},
    {"mysql", Dialect::Mysql, false},       {"postgresql", Dialect::Postgres, true},
    {"pg", Dialect::Postgres, true},        {"sqlite3", Dialect::Sqlite, true},
    {"mariadb", Dialect::Mysql, true},
};

std::optional<Dialect> find(std::string_view text, bool aliases_only) noexcept {
  for (const Name& name : names) {
    if ((name.is_alias || !aliases_only) && core::equals_ascii_folded(text, name.text)) {
      return name.kind;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Dialect> Dialect::from_name(std::string_view text) noexcept {
  return find(text, false);
}

std::optional<Dialect> Dialect::from_alias(std::string_view text) noexcept {
  return find(text, true);
}

std::string_view Dialect::accepted_names() noexcept {
  return "postgres, sqlite, mysql, postgresql, pg, sqlite3, mariadb";
}

std::optional<core::Error> nul_identifier_error(std::string_view what, std::string_view name) {
  if (name.find('\0') == std::string_view::npos) return std::nullopt;
  std::string shown;
  for (const char c : name) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return core::invalid(std::string(what) + " name '" + shown +
                       "' contains a NUL character, which no SQL identifier can hold");
}

}  // namespace morvel::sql
