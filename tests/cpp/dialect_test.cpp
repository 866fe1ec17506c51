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

TEST(Dialect, LooksUpUserTextIgnoringCase) {
  EXPECT_EQ(Dialect::lookup("mysql"), Dialect::Mysql);
  EXPECT_EQ(Dialect::lookup("MySQL"), Dialect::Mysql);
  EXPECT_EQ(Dialect::lookup("SQLITE"), Dialect::Sqlite);
  EXPECT_EQ(Dialect::lookup("sQlItE"), Dialect::Sqlite);
  for (const char* other : {"postgres", "postgresql", "pg", "", " mysql", "mysql ", "sqlite3",
                            "my\xE2\x84\xAAsql", "\xC4\xB0"}) {
    EXPECT_EQ(Dialect::lookup(other), Dialect::Postgres) << other;
  }
}

}  // namespace
}  // namespace morvel
