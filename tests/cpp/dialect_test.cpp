#include "sql/dialect.hpp"

#include <gtest/gtest.h>

namespace morvel {
namespace {

using namespace core;
using namespace sql;

void expect_quoted(Dialect dialect, std::string_view name, std::string_view quoted) {
  EXPECT_EQ(dialect.quote_identifier(name), quoted) << dialect.name() << " name: " << name;
}

TEST(Dialect, QuotesIdentifiers) {
  expect_quoted(Dialect::Postgres, "id", "\"id\"");
  expect_quoted(Dialect::Sqlite, "id", "\"id\"");
  expect_quoted(Dialect::Mysql, "id", "`id`");
  expect_quoted(Dialect::Postgres, "", "\"\"");
  expect_quoted(Dialect::Mysql, "", "``");
  expect_quoted(Dialect::Postgres, "a\"b\"", "\"a\"\"b\"\"\"");
  expect_quoted(Dialect::Sqlite, "a`b", "\"a`b\"");
  expect_quoted(Dialect::Mysql, "a\"b", "`a\"b`");
  expect_quoted(Dialect::Mysql, "`a``b", "```a````b`");
  expect_quoted(Dialect::Postgres, " Schema.Table ", "\" Schema.Table \"");
}

// Each part of a table in a schema is one name of its own, dots and quotes included.
TEST(Dialect, QuotesATableInASchema) {
  EXPECT_EQ(Dialect(Dialect::Postgres).quote_table("", "a.b"), "\"a.b\"");
  EXPECT_EQ(Dialect(Dialect::Postgres).quote_table("s.x", "a\"b"), "\"s.x\".\"a\"\"b\"");
  EXPECT_EQ(Dialect(Dialect::Mysql).quote_table("d`b", "t"), "`d``b`.`t`");
}

// Names and aliases in any ASCII letter case; nothing else, not even a lookalike that full
// Unicode case folding would map onto one (U+212A KELVIN SIGN, U+0130).
TEST(Dialect, FindsNamesAndAliasesIgnoringCase) {
  const std::pair<std::string_view, Dialect> found[] = {
      {"mysql", Dialect::Mysql},         {"MySQL", Dialect::Mysql},   {"MariaDB", Dialect::Mysql},
      {"SQLITE", Dialect::Sqlite},       {"sqlite3", Dialect::Sqlite}, {"Postgres", Dialect::Postgres},
      {"POSTGRESQL", Dialect::Postgres}, {"pg", Dialect::Postgres}};
  for (const auto& [name, dialect] : found) {
    EXPECT_EQ(Dialect::from_name(name), dialect) << name;
  }
  for (const char* other : {"", " mysql", "mysql ", "oracle", "sqlite4", "my\xE2\x84\xAAsql", "\xC4\xB0"}) {
    EXPECT_EQ(Dialect::from_name(other), std::nullopt) << other;
  }
  EXPECT_EQ(Dialect::from_alias("PG"), Dialect::Postgres);
  EXPECT_EQ(Dialect::from_alias("mysql"), std::nullopt);
}

}  // namespace
}  // namespace morvel
