#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace morvel::sql {

// The target SQL dialect. A class around the enumeration so that quoting is an operation of the
// dialect while members still read `Dialect::Mysql`.
class Dialect {
 public:
  enum Kind : std::uint8_t { Postgres, Sqlite, Mysql };

  constexpr Dialect() : kind_(Postgres) {}
  constexpr Dialect(Kind kind) : kind_(kind) {}      // NOLINT(google-explicit-constructor)
  constexpr operator Kind() const { return kind_; }  // NOLINT(google-explicit-constructor)

  // The user-facing name: "postgres", "sqlite" or "mysql". Never fails.
  [[nodiscard]] std::string_view name() const noexcept;

  // `name` as a quoted identifier: backticks with backticks doubled for MySQL, double quotes with
  // double quotes doubled otherwise. No trimming, case folding or validation. Never fails.
  [[nodiscard]] std::string quote_identifier(std::string_view name) const;

  // Appends the quoted identifier to `out`. Never fails.
  void append_quoted_identifier(std::string& out, std::string_view name) const;

  // `table` as a quoted identifier, after `schema`, quoted, and a dot when a schema is named
  // (not empty): each part stays one name, dots and all. Never fails.
  [[nodiscard]] std::string quote_table(std::string_view schema, std::string_view table) const;

  // The dialect a user's name stands for: "postgres", "sqlite" or "mysql", or one of the aliases
  // "postgresql", "pg", "sqlite3" and "mariadb", in any letter case; nothing for any other text
  // (the empty text and text with blanks included). Never fails.
  [[nodiscard]] static std::optional<Dialect> from_name(std::string_view text) noexcept;

  // from_name for the aliases alone. Never fails.
  [[nodiscard]] static std::optional<Dialect> from_alias(std::string_view text) noexcept;

  // Every name from_name takes, in lower case, joined with ", ": the three names, then the
  // aliases. Never fails.
  [[nodiscard]] static std::string_view accepted_names() noexcept;

 private:
  Kind kind_;
};

// The refusal of a table or column name (`what`: "table" or "column") that holds a NUL byte: a
// NUL ends a line for the engines' script readers, which would run the rest of the line as a new
// statement, and no engine takes one in an identifier. Nothing when the name holds none. Never
// fails.
[[nodiscard]] std::optional<core::Error> nul_identifier_error(std::string_view what,
                                                              std::string_view name);

}  // namespace morvel::sql
