#include "sql/inference.hpp"

#include <gtest/gtest.h>

#include <string>

namespace morvel {
namespace {

void expect_type(std::string_view value, DataType expected) {
  EXPECT_EQ(DataType::infer(value), expected) << "value: '" << value << "'";
}

TEST(Inference, NullAndBooleanWords) {
  expect_type("", DataType::Null);
  expect_type("   \t ", DataType::Null);
  expect_type("null", DataType::Null);
  expect_type("NULL", DataType::Null);
  expect_type("Null", DataType::Null);
  expect_type(" nUlL ", DataType::Null);
  expect_type("nul", DataType::Text);
  expect_type("nulls", DataType::Text);
  expect_type("TRUE", DataType::Boolean);
  expect_type("True", DataType::Boolean);
  expect_type("false", DataType::Boolean);
  for (const char* word : {"yes", "no", "y", "n", "t", "f", "on", "off", "Y", "truee"}) {
    expect_type(word, DataType::Text);
  }
  expect_type("1", DataType::Integer);
  expect_type("0", DataType::Integer);
}

TEST(Inference, IntegersWithinSixtyFourBits) {
  expect_type(" 42 ", DataType::Integer);
  expect_type("007", DataType::Integer);
  expect_type("-0", DataType::Integer);
  expect_type("+5", DataType::Integer);
  expect_type("9223372036854775807", DataType::Integer);
  expect_type("-9223372036854775808", DataType::Integer);
  expect_type("+0009223372036854775807", DataType::Integer);
  expect_type("-0009223372036854775808", DataType::Integer);
  expect_type("9223372036854775808", DataType::Float);
  expect_type("-9223372036854775809", DataType::Float);
  expect_type("99999999999999999999999", DataType::Float);
  expect_type("+", DataType::Text);
  expect_type("-", DataType::Text);
  expect_type("+-5", DataType::Text);
  expect_type("1 2", DataType::Text);
}

TEST(Inference, FloatGrammar) {
  for (const char* value : {"1.", ".5", "1e5", "1E+05", "-0.0", "inf", "-Infinity", "NaN", "+nan",
                            "INF", "1.5e-7", "1e400", "0.000", "+.5e-3"}) {
    expect_type(value, DataType::Float);
  }
  for (const char* value : {".", "e5", "1e", "1,5", "1_000", "0x1F", "1.2.3", "--1", "1e+", "inf1",
                            "infin", "nan.0", "1.5f", ".e1", "+."}) {
    expect_type(value, DataType::Text);
  }
}

TEST(Inference, DatesUuidsAndTimestamps) {
  expect_type("2024-01-15", DataType::Date);
  expect_type("9999-99-99", DataType::Date);
  expect_type("2024-1-15", DataType::Text);
  expect_type("2024/01/15", DataType::Text);
  expect_type("15-01-2024", DataType::Text);
  expect_type("123e4567-e89b-12d3-a456-426614174000", DataType::Uuid);
  expect_type("123E4567-E89B-12D3-A456-426614174000", DataType::Uuid);
  expect_type("123e4567-e89b-12d3-a456-42661417400g", DataType::Text);
  expect_type(std::string(36, '-'), DataType::Uuid);
  expect_type("2024-01-15T10:30:00", DataType::Timestamp);
  expect_type("2024-01-15 10:30:00", DataType::Timestamp);
  expect_type("2024-01-15 10:30", DataType::Text);
  expect_type("2024-01-15t10:30:00", DataType::Text);
  expect_type("2024-01-15 and some words", DataType::Timestamp);
  expect_type("2024-01-15xxxxxxxxxT", DataType::Timestamp);
  expect_type("2024-01-15xxxxxxxxxx", DataType::Text);
  // A 36-byte value that is not a UUID is still tested as a timestamp.
  expect_type("2024-01-15T10:30:00.000000000+00:00", DataType::Timestamp);
  // A two-byte character over bytes 9 and 10 breaks the date shape.
  expect_type("2024-01-1\xC3\xA9 10:30:00", DataType::Text);
}

TEST(Inference, TrimsEveryUnicodeWhiteSpace) {
  for (const char* space : {"\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0",
                            "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA8",
                            "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"}) {
    const std::string s = space;
    expect_type(s + "12" + s, DataType::Integer);
    expect_type(s + s, DataType::Null);
    EXPECT_EQ(sql::inference::trim_white_space(s + "a b" + s), "a b");
  }
  // U+200B ZERO WIDTH SPACE and U+180E are not White_Space.
  expect_type("\xE2\x80\x8B" "12", DataType::Text);
  expect_type("12\xE1\xA0\x8E", DataType::Text);
}

}  // namespace
}  // namespace morvel
