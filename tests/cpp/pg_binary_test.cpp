#include "load/pg_binary.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace morvel::load {
namespace {

using core::DataType;

// The binary field of one value `text` in a column of type `column`, as hex bytes after the
// tuple's field count, or "text" when the row must go in the text format.
std::string field_of(std::string_view text, PgType column, bool is_utc = true) {
  const core::Row row = testing::row_of({{"c", std::string(text)}});
  core::ByteBuffer out;
  const PgType columns[] = {column};
  if (!append_binary_row(out, row, nullptr, columns, is_utc)) {
    EXPECT_TRUE(out.empty());
    return "text";
  }
  std::string hex;
  for (const char c : out.view().substr(2)) {
    static constexpr char digits[] = "0123456789abcdef";
    hex += digits[static_cast<unsigned char>(c) >> 4];
    hex += digits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

TEST(PgBinary, WritesWhatTheServerWouldReadFromTheText) {
  EXPECT_EQ(field_of("", PgType::Int8), "ffffffff");
  EXPECT_EQ(field_of("007", PgType::Int8), "000000080000000000000007");
  EXPECT_EQ(field_of("-1", PgType::Int8), "00000008ffffffffffffffff");
  EXPECT_EQ(field_of("2", PgType::Float8), "000000084000000000000000");
  EXPECT_EQ(field_of("TRUE", PgType::Bool), "0000000101");
  EXPECT_EQ(field_of("2000-01-02", PgType::Date), "0000000400000001");
  EXPECT_EQ(field_of("1999-12-31", PgType::Date), "00000004ffffffff");
  EXPECT_EQ(field_of("2000-01-01 00:00:01.5Z", PgType::Timestamptz), "00000008000000000016e360");
  EXPECT_EQ(field_of("2000-01-01T01:00:00+01:00", PgType::Timestamptz), "000000080000000000000000");
  EXPECT_EQ(field_of("2000-01-01", PgType::Timestamptz), "000000080000000000000000");
  EXPECT_EQ(field_of("123e4567-E89B-12d3-a456-426614174000", PgType::Uuid),
            "00000010123e4567e89b12d3a456426614174000");
  EXPECT_EQ(field_of(" 1.50 ", PgType::Text), "00000004312e3530");
  EXPECT_EQ(field_of("true", PgType::Text), "0000000474727565");
}

TEST(PgBinary, LeavesToTheServerWhatOnlyItsReadingGetsRight) {
  EXPECT_EQ(field_of("2.5", PgType::Int8), "text");
  EXPECT_EQ(field_of("abc", PgType::Int8), "text");
  EXPECT_EQ(field_of("1e999", PgType::Float8), "text");
  EXPECT_EQ(field_of("1e-999", PgType::Float8), "text");
  EXPECT_EQ(field_of("nan", PgType::Float8), "text");
  EXPECT_EQ(field_of("1", PgType::Bool), "text");
  EXPECT_EQ(field_of("2024-02-30", PgType::Date), "text");
  EXPECT_EQ(field_of("0000-01-01", PgType::Date), "text");
  EXPECT_EQ(field_of("2024-01-15 10:30:00", PgType::Timestamptz, false), "text");
  EXPECT_EQ(field_of("2024-01-15 10:30:00.1234567Z", PgType::Timestamptz), "text");
  EXPECT_EQ(field_of("2024-01-15 10:30:00+16:00", PgType::Timestamptz), "text");
  EXPECT_EQ(field_of("2024-01-15 and some words", PgType::Timestamptz), "text");
  EXPECT_EQ(field_of("1", PgType::Other), "text");
}

}  // namespace
}  // namespace morvel::load
