#include "sql/literal.hpp"

#include <gtest/gtest.h>

#include <string>

namespace morvel {
namespace {

using namespace core;
using namespace sql;

using sql::format_sql_value;

void expect_literal(Dialect dialect, std::string_view value, std::string_view literal) {
  EXPECT_EQ(format_sql_value(value, DataType::infer(value), dialect), literal)
      << dialect.name() << " value: '" << value << "'";
}

void expect_literal_everywhere(std::string_view value, std::string_view literal) {
  for (Dialect d : {Dialect::Postgres, Dialect::Sqlite, Dialect::Mysql}) {
    expect_literal(d, value, literal);
  }
}

TEST(Formatter, NullsAndBooleans) {
  expect_literal_everywhere("", "NULL");
  expect_literal_everywhere("  ", "NULL");
  expect_literal_everywhere("Null", "NULL");
  expect_literal(Dialect::Sqlite, "True", "1");
  expect_literal(Dialect::Sqlite, "false", "0");
  expect_literal(Dialect::Postgres, "true", "TRUE");
  expect_literal(Dialect::Postgres, " FALSE ", "FALSE");
  expect_literal(Dialect::Mysql, "TRUE", "TRUE");
  expect_literal(Dialect::Mysql, "False", "FALSE");
  // A caller may pair any text with Boolean: t and 1 count as true, anything else as false.
  EXPECT_EQ(format_sql_value("t", DataType::Boolean, Dialect::Postgres), "TRUE");
  EXPECT_EQ(format_sql_value(" 1 ", DataType::Boolean, Dialect::Sqlite), "1");
  EXPECT_EQ(format_sql_value("yes", DataType::Boolean, Dialect::Postgres), "FALSE");
  EXPECT_EQ(format_sql_value("text", DataType::Null, Dialect::Postgres), "NULL");
}

TEST(Formatter, NumbersUnchangedAndUnquoted) {
  expect_literal_everywhere(" 42 ", "42");
  expect_literal_everywhere("007", "007");
  expect_literal_everywhere("+7", "+7");
  expect_literal_everywhere("1e5", "1e5");
  expect_literal_everywhere("-0.0", "-0.0");
  expect_literal_everywhere("9223372036854775808", "9223372036854775808");
}

TEST(Formatter, NonFiniteFloatsAreQuoted) {
  expect_literal_everywhere("NaN", "'NaN'");
  expect_literal_everywhere(" -Infinity ", "'-Infinity'");
  expect_literal_everywhere("+inf", "'+inf'");
  expect_literal_everywhere("INFINITY", "'INFINITY'");
  EXPECT_EQ(DataType::infer("NaN"), DataType::Float);
}

TEST(Formatter, QuotedTypes) {
  expect_literal_everywhere("2024-01-15", "'2024-01-15'");
  expect_literal_everywhere("2024-01-15 10:30:00", "'2024-01-15 10:30:00'");
  expect_literal_everywhere("123e4567-e89b-12d3-a456-426614174000",
                            "'123e4567-e89b-12d3-a456-426614174000'");
  expect_literal_everywhere("O'Brien", "'O''Brien'");
  expect_literal_everywhere("''", "''''''");
  expect_literal_everywhere("  padded  ", "'padded'");
  expect_literal_everywhere("line\nbreak\ttab", "'line\nbreak\ttab'");
}

TEST(Formatter, NulBytesNeverStandInsideALiteral) {
  using namespace std::string_view_literals;
  expect_literal(Dialect::Postgres, "a\0b'\\"sv, "'a'||chr(0)||'b''\\'");
  expect_literal(Dialect::Sqlite, "\0a\0"sv, "''||char(0)||'a'||char(0)||''");
  expect_literal(Dialect::Mysql, " a\0'\\ "sv, "'a\\0''\\\\'");
  // Long values take the same path as short ones.
  const std::string long_value = std::string(40, 'x') + '\0' + std::string(40, 'y');
  expect_literal(Dialect::Sqlite, long_value,
                 "'" + std::string(40, 'x') + "'||char(0)||'" + std::string(40, 'y') + "'");
  // A timestamp may hold anything after its date part.
  EXPECT_EQ(format_sql_value("2024-01-15 10:00\0x"sv, DataType::Timestamp, Dialect::Mysql),
            "'2024-01-15 10:00\\0x'");
}

TEST(Formatter, BackslashesDoubledForMysqlOnly) {
  expect_literal(Dialect::Postgres, "C:\\temp\\", "'C:\\temp\\'");
  expect_literal(Dialect::Sqlite, "C:\\temp\\", "'C:\\temp\\'");
  expect_literal(Dialect::Mysql, "C:\\temp\\", "'C:\\\\temp\\\\'");
  expect_literal(Dialect::Mysql, "\\'); DROP TABLE t; --", "'\\\\''); DROP TABLE t; --'");
  expect_literal(Dialect::Mysql, "a\\'b", "'a\\\\''b'");
}

}  // namespace
}  // namespace morvel
