#include "core/data_type.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/text.hpp"

namespace morvel {
namespace {

using namespace core;

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
    EXPECT_EQ(trim_white_space(s + "a b" + s), "a b");
  }
  // U+200B ZERO WIDTH SPACE and U+180E are not White_Space.
  expect_type(
      "\xE2\x80\x8B"
      "12",
      DataType::Text);
  expect_type("12\xE1\xA0\x8E", DataType::Text);
}

// A line ends at LF, at a lone CR and once at CR LF, also when the blocks fed cut a CR LF.
TEST(LineEnds, CountsEachLineEndOnceWhereverTheBlocksAreCut) {
  for (const auto& [text, ends, last_start] :
       std::vector<std::tuple<std::string, std::uint64_t, std::size_t>>{{"", 0, 0},
                                                                        {"a,b", 0, 0},
                                                                        {"a\nb\n", 2, 4},
                                                                        {"a\rb\rc", 2, 4},
                                                                        {"a\r\nb\r\n\r\nc", 3, 8},
                                                                        {"\n\r\r\n\n\r", 5, 6}}) {
    EXPECT_EQ(count_line_ends(text), ends) << text;
    EXPECT_EQ(last_line_start(text), last_start) << text;
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      LineEnds fed;
      fed.feed(std::string_view(text).substr(0, cut));
      fed.feed(std::string_view(text).substr(cut));
      EXPECT_EQ(fed.count(), ends) << text << " cut at " << cut;
    }
  }
}

// The rules written out plainly, one test after the other, as the reference for the classifier,
// which takes shortcuts (first-byte dispatch, eight bytes at a time).
namespace reference {

using core::equals_ascii_folded;
using core::is_digit;

bool is_integer(std::string_view s) {
  const bool negative = s[0] == '-';
  if (s[0] == '+' || negative) s.remove_prefix(1);
  if (s.empty()) return false;
  for (char c : s) {
    if (!is_digit(c)) return false;
  }
  while (s.size() > 1 && s[0] == '0') s.remove_prefix(1);
  if (s.size() != 19) return s.size() < 19;
  return s <= (negative ? "9223372036854775808" : "9223372036854775807");
}

bool is_float(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  if (s[0] == '+' || s[0] == '-') ++i;
  const std::string_view word = s.substr(i);
  if (equals_ascii_folded(word, "inf") || equals_ascii_folded(word, "infinity") ||
      equals_ascii_folded(word, "nan"))
    return true;
  std::size_t digits = 0;
  while (i < n && is_digit(s[i])) ++i, ++digits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < n && is_digit(s[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == n;
}

bool has_date_shape(std::string_view s) {
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!is_digit(s[i])) return false;
  }
  return s[4] == '-' && s[7] == '-';
}

bool is_uuid(std::string_view s) {
  if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  for (char c : s) {
    const bool hex = is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '-') return false;
  }
  return true;
}

DataType infer(std::string_view value) {
  const std::string_view s = trim_white_space(value);
  const std::size_t n = s.size();
  if (n == 0 || equals_ascii_folded(s, "null")) return DataType::Null;
  if (equals_ascii_folded(s, "true") || equals_ascii_folded(s, "false")) return DataType::Boolean;
  if (is_integer(s)) return DataType::Integer;
  if (is_float(s)) return DataType::Float;
  if (n == 10 && has_date_shape(s)) return DataType::Date;
  if (n == 36 && is_uuid(s)) return DataType::Uuid;
  if (n >= 19 && has_date_shape(s) && s.find_first_of("T ", 10) != std::string_view::npos)
    return DataType::Timestamp;
  return DataType::Text;
}

}  // namespace reference

// Values near every rule's edges: built from pieces of numbers, dates, UUIDs and words, with
// random lengths and random bytes swapped in, then cut at every length.
TEST(Inference, AgreesWithThePlainRulesOnGeneratedValues) {
  std::mt19937 random(2024);
  const std::vector<std::string> pieces = {"0",
                                           "1",
                                           "7",
                                           "9",
                                           "12345678",
                                           "9223372036854775807",
                                           "-",
                                           "+",
                                           ".",
                                           "e",
                                           "E",
                                           "-5",
                                           "1e",
                                           "inf",
                                           "Infinity",
                                           "nan",
                                           "NULL",
                                           "true",
                                           "False",
                                           "T",
                                           " ",
                                           "\t",
                                           ":",
                                           "2024",
                                           "-01-",
                                           "15",
                                           "T10:30:00",
                                           "12d3",
                                           "-a456-",
                                           "abcdef",
                                           "ABCDEF",
                                           "g",
                                           "\xC2\xA0",
                                           "\xE3\x80\x80",
                                           "\xC3\xA9",
                                           "00",
                                           "000000000000000000"};
  constexpr std::string_view alphabet = "0123456789+-.eETtnNaAfF: x/\xC3\x80";
  std::size_t checked = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string value;
    const int count = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < count; ++i) value += pieces[random() % pieces.size()];
    if (random() % 3 == 0 && !value.empty()) {
      value[random() % value.size()] = alphabet[random() % alphabet.size()];
    }
    for (std::size_t cut = 0; cut <= value.size(); ++cut) {
      const std::string_view v(value.data(), cut);
      ASSERT_EQ(DataType::infer(v), reference::infer(v)) << "value: '" << v << "'";
      ++checked;
    }
  }
  // Shapes that only a long value has: a UUID and timestamps with every byte replaced in turn.
  for (std::string base :
       {std::string("123e4567-e89b-12d3-a456-426614174000"),
        std::string("2024-01-15T10:30:00.000000000+00:00"), std::string("2024-01-15 10:30:00"),
        std::string("2024-01-15"), std::string("12345678.5"), std::string("-1234.5678e+10")}) {
    for (std::size_t at = 0; at < base.size(); ++at) {
      for (const char c : alphabet) {
        std::string value = base;
        value[at] = c;
        ASSERT_EQ(DataType::infer(value), reference::infer(value)) << "value: '" << value << "'";
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 100000u);
}

void expect_change(std::string_view text, NumberChange expected) {
  EXPECT_EQ(number_change(DataType::infer(text), text), expected) << "value: '" << text << "'";
}

TEST(NumberChange, NamesTheNumbersWhoseTextTheEnginesChange) {
  for (const std::string_view same : {"2134", "-5", "0", "-0", "1.5", "007.5", "1e-5", "1.5E5",
                                      "NaN", "-Infinity", "abc", "2024-01-15"}) {
    expect_change(same, NumberChange::None);
  }
  for (const std::string_view code : {"02134", "00", "-01", "+5", "+0", "1E5", "02e+3", "-3e8"}) {
    expect_change(code, NumberChange::Code);
  }
  for (const std::string_view long_one : {"9223372036854775808", "-9223372036854775809",
                                          "12345678901234567890", "+00123456789012345678901"}) {
    expect_change(long_one, NumberChange::TooLong);
  }
}

TEST(DoubleKeeps, TellsNumbersADoubleRoundsFromThoseItHolds) {
  for (const std::string_view kept :
       {"1.5", "0.1", "-3.0", "1e-7", "1.7976931348623157e+308", "5e-324", "123456789012345.6",
        "1.2345678901234568e+16", "100000000000000000000", "0.000", "1e+22"}) {
    EXPECT_TRUE(double_keeps(kept)) << kept;
  }
  for (const std::string_view rounded :
       {"12345678901234567.89", "98765432109876543210", "1e-400", "-1e-400",
        "0.1000000000000000001", "9007199254740993", "3.14159265358979323846264338327950288"}) {
    EXPECT_FALSE(double_keeps(rounded)) << rounded;
  }
}

}  // namespace
}  // namespace morvel
