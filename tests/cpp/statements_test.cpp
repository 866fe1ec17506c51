#include "sql/statements.hpp"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;
using namespace sql;

using testing::row_of;

PrimaryKey key_of(std::optional<std::string_view> option, bool auto_id = false) {
  auto key = PrimaryKey::from_options(option, auto_id);
  EXPECT_TRUE(key.has_value()) << (key ? "" : key.error().message);
  return key.value_or(PrimaryKey());
}

void expect_key_error(std::optional<std::string_view> option, bool auto_id,
                      std::string_view message) {
  auto key = PrimaryKey::from_options(option, auto_id);
  ASSERT_FALSE(key.has_value());
  EXPECT_EQ(key.error().kind, ErrorKind::Invalid);
  EXPECT_EQ(key.error().message, message);
}

TEST(PrimaryKey, ResolvesOptions) {
  EXPECT_EQ(key_of(std::nullopt), PrimaryKey());
  EXPECT_EQ(key_of(std::nullopt, true), PrimaryKey::auto_id());
  EXPECT_EQ(key_of("id"), PrimaryKey::columns({"id"}));
  EXPECT_EQ(key_of("a, b ,, c"), PrimaryKey::columns({"a", "b", "c"}));
  EXPECT_EQ(key_of("a,a"), PrimaryKey::columns({"a", "a"}));
  EXPECT_EQ(key_of("a;b c"), PrimaryKey::columns({"a;b c"}));
  EXPECT_EQ(key_of("\xE3\x80\x80x\xC2\xA0,"), PrimaryKey::columns({"x"}));
}

TEST(PrimaryKey, RejectsOptions) {
  const std::string_view both = "use either a primary key column or auto id, not both";
  const std::string_view empty = "primary key column list is empty";
  expect_key_error("id", true, both);
  expect_key_error("", true, both);
  expect_key_error(" , ", true, both);
  expect_key_error("", false, empty);
  expect_key_error(" ,, \t, ", false, empty);
}

TEST(Insert, WritesEveryColumnInRowOrder) {
  const Row row = row_of({{"id", "1"}, {"name", "O'Brien"}, {"ok", "true"}, {"note", ""}});
  EXPECT_EQ(generate_insert("people", row, Dialect::Postgres),
            "INSERT INTO \"people\" (\"id\", \"name\", \"ok\", \"note\") VALUES (1, 'O''Brien', "
            "TRUE, NULL);");
  EXPECT_EQ(generate_insert("people", row, Dialect::Sqlite),
            "INSERT INTO \"people\" (\"id\", \"name\", \"ok\", \"note\") VALUES (1, 'O''Brien', 1, "
            "NULL);");
  EXPECT_EQ(generate_insert("my`t", row, Dialect::Mysql),
            "INSERT INTO `my``t` (`id`, `name`, `ok`, `note`) VALUES (1, 'O''Brien', TRUE, NULL);");
  EXPECT_EQ(generate_insert("t", Row(), Dialect::Postgres), "INSERT INTO \"t\" () VALUES ();");
  EXPECT_EQ(generate_insert("t", row_of({{"a", "5"}}), Dialect::Postgres),
            "INSERT INTO \"t\" (\"a\") VALUES (5);");
  EXPECT_EQ(generate_insert("t", row_of({{"a", "abc"}}), Dialect::Postgres),
            "INSERT INTO \"t\" (\"a\") VALUES ('abc');");
}

struct CreateCase {
  Dialect dialect;
  testing::Pairs row;
  PrimaryKey key;
  std::string expected;
};

TEST(CreateTable, BuildsDefinitionsPerDialect) {
  const testing::Pairs mixed = {{"id", "1"},    {"name", "Ann"},        {"score", "2.5"},
                                {"ok", "true"}, {"day", "2024-01-15"},  {"at", "2024-01-15 10:30:00"},
                                {"u", "123e4567-e89b-12d3-a456-426614174000"}, {"n", "null"}};
  const CreateCase cases[] = {
      {Dialect::Postgres, {{"id", "1"}, {"name", "Ann"}, {"score", "2.5"}},
       PrimaryKey::columns({"id"}),
       "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"id\" BIGINT NOT NULL,\n  \"name\" TEXT,\n  "
       "\"score\" DOUBLE PRECISION,\n  PRIMARY KEY (\"id\")\n);"},
      {Dialect::Postgres, mixed, PrimaryKey(),
       "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"id\" BIGINT,\n  \"name\" TEXT,\n  \"score\" DOUBLE "
       "PRECISION,\n  \"ok\" BOOLEAN,\n  \"day\" DATE,\n  \"at\" TIMESTAMPTZ,\n  \"u\" UUID,\n  "
       "\"n\" TEXT\n);"},
      {Dialect::Sqlite, mixed, PrimaryKey(),
       "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"id\" INTEGER,\n  \"name\" TEXT,\n  \"score\" "
       "REAL,\n  \"ok\" INTEGER,\n  \"day\" TEXT,\n  \"at\" TEXT,\n  \"u\" TEXT,\n  \"n\" TEXT\n);"},
      {Dialect::Mysql, mixed, PrimaryKey::columns({"name", "u", "n"}),
       "CREATE TABLE IF NOT EXISTS `t` (\n  `id` BIGINT,\n  `name` VARCHAR(255) NOT NULL,\n  "
       "`score` DOUBLE,\n  `ok` BOOLEAN,\n  `day` DATE,\n  `at` DATETIME,\n  `u` VARCHAR(36) NOT "
       "NULL,\n  `n` VARCHAR(255) NOT NULL,\n  PRIMARY KEY (`name`, `u`, `n`)\n);"},
      {Dialect::Sqlite, {{"name", "Ann"}}, PrimaryKey::auto_id(),
       "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"id\" INTEGER PRIMARY KEY AUTOINCREMENT,\n  "
       "\"name\" TEXT\n);"},
      {Dialect::Postgres, {{"ID", "x"}}, PrimaryKey::auto_id(),
       "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"id\" BIGSERIAL PRIMARY KEY,\n  \"ID\" TEXT\n);"},
      {Dialect::Mysql, {}, PrimaryKey::auto_id(),
       "CREATE TABLE IF NOT EXISTS `t` (\n  `id` BIGINT AUTO_INCREMENT PRIMARY KEY\n);"},
      {Dialect::Postgres, {}, PrimaryKey(), "CREATE TABLE IF NOT EXISTS \"t\" (\n  \n);"},
      {Dialect::Postgres, {{"a", "x"}, {"b", "1"}}, PrimaryKey::columns({"a", "a"}),
       "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"a\" TEXT NOT NULL,\n  \"b\" BIGINT,\n  PRIMARY KEY "
       "(\"a\", \"a\")\n);"},
  };
  for (const CreateCase& c : cases) {
    auto statement = generate_create_table_with_pk("t", row_of(c.row), c.dialect, c.key);
    ASSERT_TRUE(statement.has_value()) << statement.error().message;
    EXPECT_EQ(*statement, c.expected);
  }
  auto quoted = generate_create_table_with_pk("a\"b.c", row_of({{"x", "1"}}), Dialect::Postgres,
                                              PrimaryKey());
  EXPECT_EQ(*quoted, "CREATE TABLE IF NOT EXISTS \"a\"\"b.c\" (\n  \"x\" BIGINT\n);");
}

// `message` as the command prints it, with any option it advises spelled in.
void expect_create_error(const testing::Pairs& row, const PrimaryKey& key,
                         std::string_view message) {
  auto statement = generate_create_table_with_pk("t", row_of(row), Dialect::Postgres, key);
  ASSERT_FALSE(statement.has_value());
  EXPECT_EQ(statement.error().kind, ErrorKind::Invalid);
  EXPECT_EQ(cli::command_message(statement.error()), message);
}

void expect_text_keeps(Dialect dialect, std::string_view value, bool expected) {
  EXPECT_EQ(column_keeps(DataType::Text, DataType::infer(value), value, dialect), expected)
      << "value: '" << value << "' in " << static_cast<int>(dialect);
}

// A number written bare reaches a text column as the engine prints it back.
TEST(ColumnKeeps, TextColumnsKeepNumbersTheEnginePrintsBack) {
  for (const Dialect dialect : {Dialect::Postgres, Dialect::Mysql, Dialect::Sqlite}) {
    for (const std::string_view kept : {"72000.5", "-0.5", "2134", "-7", "100.0", "x", "NaN"}) {
      expect_text_keeps(dialect, kept, true);
    }
    for (const std::string_view changed :
         {"02134", "+5", "1e5", "1.5E3", ".5", "5.", "007.5", "-0.0", "true"}) {
      expect_text_keeps(dialect, changed, false);
    }
  }
  // Exact numerics print back what they read; SQLite's doubles only 15 digits, positionally.
  for (const auto& [value, exact, sqlite] :
       std::vector<std::tuple<std::string_view, bool, bool>>{{"72000.50", true, false},
                                                             {"1234567890123456.7", true, false},
                                                             {"0.0001", true, true},
                                                             {"0.00001", true, false}}) {
    expect_text_keeps(Dialect::Postgres, value, exact);
    expect_text_keeps(Dialect::Mysql, value, exact);
    expect_text_keeps(Dialect::Sqlite, value, sqlite);
  }
}

TEST(CreateTable, RejectsKeysThatDoNotFitTheFirstRow) {
  expect_create_error({{"ID", "1"}, {"name", "x"}}, PrimaryKey::columns({"id"}),
                      "primary key column 'id' not found in data (available columns: ID, name)");
  expect_create_error({{"a", "1"}}, PrimaryKey::columns({"a", "b", "c"}),
                      "primary key column 'b' not found in data (available columns: a)");
  expect_create_error({}, PrimaryKey::columns({"a"}),
                      "primary key column 'a' not found in data (available columns: )");
  expect_create_error({{"id", "1"}}, PrimaryKey::auto_id(),
                      "cannot add an auto id: the data already has a column named 'id' (use "
                      "--primary-key id instead)");
}

}  // namespace
}  // namespace morvel
