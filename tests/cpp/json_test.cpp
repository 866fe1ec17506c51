#include <gtest/gtest.h>

#include <charconv>
#include <random>

#include "readers/json_number.hpp"
#include "readers/read_input.hpp"
#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;

using readers::stream_json;
using testing::Pairs;
using testing::ReaderCase;
using testing::ScriptedSource;

constexpr std::string_view io_failure = "Input/output error (os error 5)";

using Outcome = testing::ReaderOutcome;

Outcome read_json(ByteSource& source) { return testing::collect_rows(stream_json, source); }

// Reads `input` from memory and through a stream of small reads, which must agree.
Outcome read_json(const std::string& input) {
  MemorySource memory(input);
  Outcome outcome = read_json(memory);
  ScriptedSource stream(input, 5);
  const Outcome streamed = read_json(stream);
  EXPECT_EQ(streamed.rows, outcome.rows) << input;
  EXPECT_EQ(streamed.error.has_value(), outcome.error.has_value()) << input;
  if (streamed.error && outcome.error) {
    EXPECT_EQ(streamed.error->message, outcome.error->message);
  }
  return outcome;
}

void expect_rows(const std::string& input, const std::vector<Pairs>& rows) {
  const Outcome outcome = read_json(input);
  EXPECT_EQ(outcome.rows, rows) << input;
  EXPECT_FALSE(outcome.error.has_value()) << input << ": " << outcome.error->message;
}

void expect_error(const std::string& input, std::string_view message, std::size_t rows = 0) {
  const Outcome outcome = read_json(input);
  EXPECT_EQ(outcome.rows.size(), rows) << input;
  ASSERT_TRUE(outcome.error.has_value()) << input;
  EXPECT_EQ(outcome.error->kind, ErrorKind::Invalid) << input;
  EXPECT_EQ(outcome.error->message, message) << input;
}

// The text a number becomes, alone and inside a nested value.
void expect_number_text(const std::string& number, const std::string& text) {
  expect_rows("{\"n\":" + number + "}\n", {{{"n", text}}});
  expect_rows("[{\"n\":[" + number + "]}]", {{{"n", "[" + text + "]"}}});
}

// A stream holding `input` whose read after it fails.
Outcome read_failing(const std::string& input, std::size_t chunk = 4) {
  ScriptedSource source(input, chunk, std::string(io_failure));
  return read_json(source);
}

std::string nested(std::string_view open, std::string_view inner, std::string_view close,
                   int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  text += inner;
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

// The shared vectors, but for the inputs whose layout a byte-order mark or white space before
// the first value no longer decides: they are read as the input after those bytes.
std::vector<ReaderCase> json_vectors() {
  const std::vector<Pairs> one_a = {{{"a", "1"}}};
  const std::vector<std::pair<std::string_view, std::vector<Pairs>>> read_as_arrays = {
      {"layout/array_preceded_by_space_single_line", {{{"a", "1"}}, {{"b", "2"}}}},
      {"layout/array_preceded_by_tab_single_line", one_a},
      {"layout/array_preceded_by_bom_single_line", one_a},
      {"layout/array_preceded_by_space_multiline", one_a},
      {"layout/array_preceded_by_lf_multiline", one_a},
      {"layout/array_preceded_by_bom_multiline", one_a},
      {"blank/bom_before_object_line", one_a}};
  // A lone CR ends a line of the messages, as in an editor, though not a record.
  const std::vector<std::pair<std::string_view, std::string>> errors_after_cr = {
      {"layout/line_cr_only_two_objects", "trailing characters at line 2 column 1"},
      {"ctrl/line_lone_cr_in_value",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"ctrl/array_raw_cr_in_value",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"}};
  std::vector<ReaderCase> cases = testing::load_reader_cases("json_cases.jsonl");
  std::size_t changed = 0;
  for (ReaderCase& vector : cases) {
    for (const auto& [id, rows] : read_as_arrays) {
      if (vector.id != id) continue;
      vector.rows = rows;
      vector.error.reset();
      ++changed;
    }
    for (const auto& [id, error] : errors_after_cr) {
      if (vector.id != id) continue;
      vector.error = error;
      ++changed;
    }
  }
  EXPECT_EQ(changed, read_as_arrays.size() + errors_after_cr.size());
  return cases;
}

class JsonVectors : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(JsonVectors, MatchesExpectedRowsAndError) {
  testing::expect_reader_case(stream_json, GetParam(), {3, 8192});
}

INSTANTIATE_TEST_SUITE_P(Vectors, JsonVectors, ::testing::ValuesIn(json_vectors()),
                         [](const auto& test) { return testing::test_name_of(test.param.id); });

TEST(JsonParser, ChoosesTheLayoutAfterAByteOrderMarkAndWhiteSpace) {
  const std::string bom = "\xEF\xBB\xBF";
  expect_rows(bom + "\r\n\t [{\"a\":1},\n{\"a\":2}]", {{{"a", "1"}}, {{"a", "2"}}});
  expect_rows(bom + "{\"a\":1}\n", {{{"a", "1"}}});
  expect_rows(bom, {});
  expect_rows(bom + " \n \n", {});
  expect_rows("\n\n{\"a\":1}\n", {{{"a", "1"}}});
  // Positions count the mark and the lines before the value.
  expect_error(bom + "\n  [{\"a\":1},]", "trailing comma at line 2 column 12");
  expect_error(bom + "{\"a\":}", "expected value at line 1 column 9");
  expect_error(bom + "\n{\"a\":1}\n[", "EOF while parsing a list at line 3 column 1", 1);
  // A mark anywhere else is a character where a value must start.
  expect_error("\n" + bom + "{\"a\":1}", "expected value at line 2 column 1");
  expect_error(bom + bom + "[]", "expected value at line 1 column 4");
}

TEST(JsonParser, PrintsFloatsByTheShortestDigits) {
  expect_number_text("1.5", "1.5");
  expect_number_text("1E2", "100.0");
  expect_number_text("-0.0", "-0.0");
  expect_number_text("0e5", "0.0");
  expect_number_text("1e-5", "0.00001");
  expect_number_text("1.234e-5", "0.00001234");
  expect_number_text("-2.5e-5", "-0.000025");
  expect_number_text("9.999999999999999e-6", "9.999999999999999e-6");
  expect_number_text("1e-7", "1e-7");
  expect_number_text("-2.5e-10", "-2.5e-10");
  expect_number_text("12345.678", "12345.678");
  expect_number_text("123456789012345.6", "123456789012345.6");
  expect_number_text("1234567890123456.7", "1234567890123456.8");
  expect_number_text("999999999999999.9", "999999999999999.9");
  expect_number_text("9999999999999999.0", "1e+16");
  expect_number_text("12345678901234567.0", "1.2345678901234568e+16");
  expect_number_text("1e15", "1000000000000000.0");
  expect_number_text("1.5e300", "1.5e+300");
  expect_number_text("-1e100", "-1e+100");
  expect_number_text("2.2250738585072014e-308", "2.2250738585072014e-308");
  expect_number_text("4.9e-324", "5e-324");
  expect_number_text("0.1e1", "1.0");
  expect_number_text("0.30000000000000004", "0.30000000000000004");
}

TEST(JsonParser, TakesAFloatAsWrittenOnlyWhenPrintingGivesTheSameText) {
  for (const char* text :
       {"14235.77", "0.5", "-3.0", "0.0", "-0.0", "0.00012", "120.0", "123456789012.345"}) {
    EXPECT_TRUE(readers::json::is_printed_float(text)) << text;
  }
  for (const char* text : {"1.50", "1e5", "0.000001", "1234567890123456.0", "0.00", "00.5"}) {
    EXPECT_FALSE(readers::json::is_printed_float(text)) << text;
  }
  // Whatever it takes as written must be what printing would give.
  std::mt19937 random(11);
  int taken = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string text;
    if (random() % 2) text += '-';
    const int whole = static_cast<int>(random() % 18);
    text += static_cast<char>(whole == 0 ? '0' : '1' + random() % 9);
    for (int i = 1; i < whole; ++i) text += static_cast<char>('0' + random() % 10);
    text += '.';
    const int fraction = 1 + static_cast<int>(random() % 18);
    for (int i = 0; i < fraction; ++i) {
      text += static_cast<char>(random() % 3 == 0 ? '0' : '0' + random() % 10);
    }
    if (!readers::json::is_printed_float(text)) continue;
    ++taken;
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    std::string printed;
    readers::json::append_float(value, printed);
    ASSERT_EQ(printed, text);
  }
  EXPECT_GT(taken, 10000);
}

// Objects usually repeat their keys in the same order, which the reader exploits; any change
// of keys, order or repeats must still give each object its own row.
TEST(JsonParser, OrdersEachObjectByItsOwnKeys) {
  const std::string lines =
      "{\"b\":1,\"a\":2}\n{\"b\":3,\"a\":4}\n{\"a\":5,\"b\":6}\n{\"b\":7,\"a\":8,\"b\":9}\n"
      "{\"b\":10,\"a\":11,\"b\":12}\n{\"c\":13}\n{\"\\u0062\":14,\"a\":15}\n{}\n"
      "{\"b\":16,\"a\":17}\n";
  const std::vector<Pairs> rows = {{{"a", "2"}, {"b", "1"}},   {{"a", "4"}, {"b", "3"}},
                                   {{"a", "5"}, {"b", "6"}},   {{"a", "8"}, {"b", "9"}},
                                   {{"a", "11"}, {"b", "12"}}, {{"c", "13"}},
                                   {{"a", "15"}, {"b", "14"}}, {},
                                   {{"a", "17"}, {"b", "16"}}};
  std::string array = "[";
  for (std::size_t start = 0; start < lines.size();) {
    const std::size_t lf = lines.find('\n', start);
    if (start != 0) array += ',';
    array.append(lines, start, lf - start);
    start = lf + 1;
  }
  array += "]";
  for (const std::string& input : {lines, array}) {
    // A sink that moves each row out, and one that leaves it to the reader to fill again.
    expect_rows(input, rows);
    std::vector<Pairs> kept;
    auto keep = [&](const Row& row) -> Status {
      kept.push_back(testing::pairs_of(row));
      return {};
    };
    MemorySource source(input);
    ASSERT_TRUE(stream_json(source, keep).has_value());
    EXPECT_EQ(kept, rows) << input;
  }
}

// The parser types numbers and literals from the JSON syntax instead of calling DataType::infer;
// each value's type must still be what infer gives for its text, in both layouts.
void expect_typed_as_inferred(const std::string& value) {
  for (const std::string& input : {"{\"n\":" + value + "}\n", "[{\"n\":" + value + "}]"}) {
    const Outcome outcome = read_json(input);
    ASSERT_FALSE(outcome.error.has_value()) << input << ": " << outcome.error->message;
    ASSERT_EQ(outcome.rows.size(), 1u) << input;
    const std::string& text = outcome.rows[0][0].second;
    EXPECT_EQ(outcome.types[0][0], DataType::infer(text)) << input << " -> " << text;
  }
}

class JsonTypes : public ::testing::TestWithParam<int> {};

TEST_P(JsonTypes, NumbersAndLiteralsAreTypedAsInferWould) {
  // Integers of every length around the 18-digit step and the 64-bit limits, fractions and
  // exponents, written as they come and as append_float rewrites them.
  std::mt19937 random(static_cast<unsigned>(GetParam()));
  for (int round = 0; round < 60; ++round) {
    std::string number = random() % 3 == 0 ? "-" : "";
    const std::size_t digits = 1 + random() % 22;
    number += static_cast<char>('1' + random() % 9);
    for (std::size_t i = 1; i < digits; ++i) number += static_cast<char>('0' + random() % 10);
    expect_typed_as_inferred(number);
    std::string fraction = number + "." + std::to_string(random() % 1000);
    expect_typed_as_inferred(fraction);
    expect_typed_as_inferred(fraction + "e" + std::to_string(static_cast<int>(random() % 40) - 20));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, JsonTypes, ::testing::Range(0, 8));

TEST(JsonParser, TypesLiteralsAndEdgeNumbersAsInferWould) {
  for (const std::string value : {"0",
                                  "-0",
                                  "-1",
                                  "999999999999999999",
                                  "-999999999999999999",
                                  "1000000000000000000",
                                  "9223372036854775807",
                                  "9223372036854775808",
                                  "-9223372036854775808",
                                  "-9223372036854775809",
                                  "18446744073709551615",
                                  "18446744073709551616",
                                  "0.5",
                                  "-0.0",
                                  "1e-400000000000",
                                  "1E2",
                                  "1.5e300",
                                  "4.9e-324",
                                  "true",
                                  "false",
                                  "null",
                                  "\"1\"",
                                  "\"true\"",
                                  "\"\"",
                                  "\" null \"",
                                  "[1]",
                                  "{\"a\":1}"}) {
    expect_typed_as_inferred(value);
  }
}

TEST(JsonParser, ChecksLinesForUtf8TogetherAndStillFailsAtTheBadOne) {
  // Lines before the bad one are handed over, whether the reads hold one line or all of them.
  std::string input;
  for (int i = 0; i < 50; ++i) input += "{\"a\":\"\xC3\xA9" + std::to_string(i) + "\"}\n";
  input += "{\"a\":\"\xC3\"}\n{\"a\":1}\n";
  for (const std::size_t chunk : {std::size_t{7}, std::size_t{100}, input.size()}) {
    ScriptedSource source(input, chunk);
    const Outcome outcome = read_json(source);
    EXPECT_EQ(outcome.rows.size(), 50u) << chunk;
    ASSERT_TRUE(outcome.error.has_value()) << chunk;
    EXPECT_EQ(outcome.error->message, "stream did not contain valid UTF-8 at line 51") << chunk;
  }
  expect_error(input, "stream did not contain valid UTF-8 at line 51", 50);
}

TEST(JsonParser, KeepsIntegersWithinSixtyFourBitsAsWritten) {
  expect_number_text("0", "0");
  expect_number_text("-1", "-1");
  expect_number_text("9999999999999999999", "9999999999999999999");
  expect_number_text("18446744073709551615", "18446744073709551615");
  expect_number_text("18446744073709551616", "1.8446744073709552e+19");
  expect_number_text("99999999999999999999", "1e+20");
  expect_number_text("-9223372036854775808", "-9223372036854775808");
  expect_number_text("-9223372036854775809", "-9.223372036854776e+18");
  expect_number_text("-0", "-0.0");
}

TEST(JsonParser, RefusesOnlyNumbersBeyondTheDoubleRange) {
  expect_number_text("1.7976931348623157e308", "1.7976931348623157e+308");
  expect_number_text("0.0000000001e318", "1e+308");
  expect_number_text("1" + std::string(308, '0'), "1e+308");
  expect_number_text("-1e-400", "-0.0");
  expect_error("{\"n\":1.8e308}", "number out of range at line 1 column 12");
  expect_error("{\"n\":-1" + std::string(309, '0') + "}",
               "number out of range at line 1 column 316");
  expect_error("{\"n\":0.00001e314}", "number out of range at line 1 column 16");
}

TEST(JsonParser, TypesValuesFromTheirTextAlone) {
  const Outcome outcome = read_json(R"({"i":42,"s":"42","n":null,"t":"null","b":true,"f":1.5})");
  ASSERT_FALSE(outcome.error.has_value());
  EXPECT_EQ(
      outcome.types,
      (std::vector<std::vector<DataType>>{{DataType::Boolean, DataType::Float, DataType::Integer,
                                           DataType::Null, DataType::Integer, DataType::Null}}));
}

TEST(JsonParser, SerialisesNestedObjectsInKeyOrderWithTheLastRepeatWinning) {
  expect_rows(R"({"o":{"b":{"y":1,"x":2},"a":[{"d":1,"c":2}],"b":{"z":[]}}})"
              "\n",
              {{{"o", R"({"a":[{"c":2,"d":1}],"b":{"z":[]}})"}}});
  expect_rows(R"([{"o":{"\u0062":1,"a":{"k":"\n"},"b":2},"p":{"a":1,"a":2}}])",
              {{{"o", R"({"a":{"k":"\n"},"b":2})"}, {"p", R"({"a":2})"}}});
  expect_rows(R"({"z":1,"\u007a":{"a\u0000":1,"a":2}})", {{{"z", "{\"a\":2,\"a\\u0000\":1}"}}});
}

TEST(JsonParser, ReportsEscapeErrorsAtTheirPositions) {
  // Four hex digits are taken before any is judged.
  expect_error(R"({"a":"\uZ000"})", "invalid escape at line 1 column 12");
  expect_error(R"({"a":"\uZ0)", "EOF while parsing a string at line 1 column 10");
  expect_error(R"({"a":"\ud800\u12)", "EOF while parsing a string at line 1 column 16");
  expect_error(R"({"a":"\ud800\uZZZZ"})", "invalid escape at line 1 column 18");
  // In the array layout a string is checked for UTF-8 only once it closes.
  expect_error("[{\"a\":\"\xff\\q\"}]", "invalid escape at line 1 column 10");
  expect_error("[{\"a\":\"\xff\x01\"}]",
               "control character (\\u0000-\\u001F) found while parsing "
               "a string at line 1 column 9");
  expect_error("[{\"\xff\":1}]", "invalid unicode code point at line 1 column 5");
}

TEST(JsonParser, PlacesRangeErrorsByLayout) {
  // A stream has already read the byte after the number.
  expect_error("[1e400,\n2]", "number out of range at line 1 column 7");
  expect_error("[1e400\n]", "number out of range at line 2 column 0");
  expect_error("{\"a\":1e400 }", "number out of range at line 1 column 10");
  // An exponent beyond 32 bits is refused at the digit that overflows it, in both layouts.
  expect_error("[1e21474836470]", "number out of range at line 1 column 14");
  expect_error("{\"a\":1e21474836470}", "number out of range at line 1 column 18");
  expect_rows("{\"a\":0e21474836470,\"b\":1e-21474836470}", {{{"a", "0.0"}, {"b", "0.0"}}});
  // Within 32 bits the value itself overflows, found after the whole number.
  expect_error("[1e2147483647]", "number out of range at line 1 column 14");
  expect_error("{\"a\":1e2147483647}", "number out of range at line 1 column 17");
}

TEST(JsonParser, CountsColumnsOfLineErrorsWithoutTheLineBreak) {
  expect_error("{\"a\":\r\n", "EOF while parsing a value at line 1 column 5");
  expect_error("{\"a\":\n", "EOF while parsing a value at line 1 column 5");
  // Only a CR before an LF is removed; the last line keeps its CR, which ends a line of the
  // messages as it does in an editor, as does a lone CR within a line.
  expect_error("{\"a\":\r", "EOF while parsing a value at line 2 column 0");
  expect_error("{\"a\":1}\r\r\n{\"a\":\r\r\n", "EOF while parsing a value at line 4 column 0", 1);
  expect_error("{\"a\":1}\r\n{\"b\":2}\r \r\n{\"c\" 1}\n", "expected `:` at line 4 column 6", 2);
}

TEST(JsonParser, LimitsNestingTo127LevelsInBothLayouts) {
  // The top-level array of the array layout is one of the levels.
  expect_rows("[" + nested("{\"a\":", "1", "}", 126) + "]",
              {{{"a", nested("{\"a\":", "1", "}", 125)}}});
  expect_error("[" + nested("{\"a\":", "1", "}", 127) + "]",
               "recursion limit exceeded at line 1 column " + std::to_string(2 + 126 * 5));
  expect_rows(nested("{\"a\":[", "[1]", "]}", 63) + "\n" + nested(" [", "", "]", 127) + "\n",
              {{{"a", "[" + nested("{\"a\":[", "[1]", "]}", 62) + "]"}}});
  expect_error("{}\n" + nested("{\"a\":[", "[[1]]", "]}", 63),
               "recursion limit exceeded at line 2 column 380", 1);
  expect_error(nested("[", "", "]", 128), "recursion limit exceeded at line 1 column 128");
  expect_error(" " + nested("[", "", "]", 128), "recursion limit exceeded at line 1 column 129");
  // Levels close again: siblings do not add up.
  expect_rows("[" + nested("[", "", "]", 126) + "," + nested("[", "", "]", 126) + ",{}]",
              std::vector<Pairs>(1));
}

TEST(JsonParser, ReadsVeryLongLinesWhole) {
  const std::string text(5 * 1024 * 1024, 'x');
  const std::string input =
      "{\"a\":\"" + text + "\",\"b\":1}\n{\"c\":2}\n{\"d\":\"" + text + "\\q\"}";
  ScriptedSource source(input, 100000);
  const Outcome outcome = read_json(source);
  ASSERT_EQ(outcome.rows.size(), 2u);
  EXPECT_EQ(outcome.rows[0][0].second.size(), text.size());
  EXPECT_EQ(outcome.rows[0][1], (std::pair<std::string, std::string>{"b", "1"}));
  EXPECT_EQ(outcome.rows[1], (Pairs{{"c", "2"}}));
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->message,
            "invalid escape at line 3 column " + std::to_string(text.size() + 8));
}

TEST(JsonParser, ReadsLargeArraysFromStreams) {
  std::string input = "[\n";
  for (int i = 0; i < 50000; ++i) input += "{\"i\":" + std::to_string(i) + ",\"s\":\"r\\t\"},\n";
  input += "{}\n]\n";
  ScriptedSource source(input, 4096);
  const Outcome outcome = read_json(source);
  ASSERT_FALSE(outcome.error.has_value());
  ASSERT_EQ(outcome.rows.size(), 50001u);
  EXPECT_EQ(outcome.rows[49999], (Pairs{{"i", "49999"}, {"s", "r\t"}}));
}

TEST(JsonParser, ReportsReadFailuresInTheArrayLayoutWithThePositionReached) {
  struct Case {
    std::string input;
    std::string message;
  };
  const std::string failure(io_failure);
  for (const Case& c : std::initializer_list<Case>{
           {"[{\"a\":1},\n{\"b\"", failure + " at line 2 column 4"},
           {"[1", failure + " at line 1 column 2"},
           {"[1e400", failure + " at line 1 column 6"},
           {"[\"ab", failure + " at line 1 column 4"},
           {"[{\"a\":1}\n", failure + " at line 2 column 0"},
           {"[{\"a\":1}]", failure},
           {"[{\"a\":1}] \n", failure},
       }) {
    const Outcome outcome = read_failing(c.input);
    EXPECT_TRUE(outcome.rows.empty()) << c.input;
    ASSERT_TRUE(outcome.error.has_value()) << c.input;
    EXPECT_EQ(outcome.error->kind, ErrorKind::Io) << c.input;
    EXPECT_EQ(outcome.error->message, c.message) << c.input;
  }
}

TEST(JsonParser, ReportsParseErrorsMetBeforeAReadFailure) {
  for (const auto& [input, message] : std::initializer_list<std::pair<std::string, std::string>>{
           {"[1 2", "expected `,` or `]` at line 1 column 4"},
           {"[1e400,", "number out of range at line 1 column 7"},
           {"[] x", "trailing characters at line 1 column 4"},
       }) {
    const Outcome outcome = read_failing(input);
    ASSERT_TRUE(outcome.error.has_value()) << input;
    EXPECT_EQ(outcome.error->kind, ErrorKind::Invalid) << input;
    EXPECT_EQ(outcome.error->message, message) << input;
  }
}

TEST(JsonParser, ReportsReadFailuresInTheLineLayoutUnchanged) {
  for (const auto& [input, rows] : std::initializer_list<std::pair<std::string, std::size_t>>{
           {"{\"a\":1}\n{\"b\":", 1},
           {"{\"a\":1}\n{\"b\":2}\n", 2},
           {"{\"a\":1}\n{\"b\":2}", 1},
           {"{\"a\":1}\n\xff", 1},
       }) {
    const Outcome outcome = read_failing(input);
    EXPECT_EQ(outcome.rows.size(), rows) << input;
    ASSERT_TRUE(outcome.error.has_value()) << input;
    EXPECT_EQ(outcome.error->kind, ErrorKind::Io) << input;
    EXPECT_EQ(outcome.error->message, io_failure) << input;
  }
}

// An input that cannot be read at all fails as one that fails later does.
TEST(JsonParser, ReportsAnUnreadableStart) {
  const Outcome outcome = read_failing("");
  EXPECT_TRUE(outcome.rows.empty());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->kind, ErrorKind::Io);
  EXPECT_EQ(outcome.error->message, io_failure);
}

// A sink's failure (a full disk) ends the reading: the reader hands over no further record,
// whichever layout the records come in. Records on lines are read as they go, so nothing past
// the second record's read is read; an array is read and checked whole before its first record
// is handed over, so that a syntax error anywhere hands over nothing.
TEST(JsonParser, ReturnsTheSinkErrorUnchangedAndStops) {
  std::string lines;
  std::string array = "[";
  for (int i = 0; i < 1000; ++i) {
    const std::string record = "{\"i\":" + std::to_string(i) + "}";
    lines += record + "\n";
    array += (i == 0 ? "" : ",\n") + record;
  }
  array += "]";
  for (const std::string& input : {lines, array}) {
    const bool is_array = input.front() == '[';
    SCOPED_TRACE(is_array ? "one array" : "one record per line");
    ScriptedSource source(input, 64);
    int calls = 0;
    auto refuse_second = [&](Row) -> Status {
      if (++calls == 2) return std::unexpected(Error{ErrorKind::Io, "disk full (os error 28)"});
      return {};
    };
    auto status = stream_json(source, refuse_second);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().kind, ErrorKind::Io);
    EXPECT_EQ(status.error().message, "disk full (os error 28)");
    EXPECT_EQ(calls, 2);
    if (is_array) {
      EXPECT_EQ(source.consumed(), input.size());
    } else {
      // Both records lie within the first 64 bytes.
      EXPECT_EQ(source.reads(), 1u);
      EXPECT_EQ(source.consumed(), 64u);
    }
  }
}

}  // namespace
}  // namespace morvel

namespace morvel {
namespace {

using namespace core;

testing::ReaderOutcome read_json_with(std::string_view input, const readers::ReadOptions& options) {
  MemorySource source(input);
  return testing::collect_rows(readers::stream_json, source, options);
}

// A word stands for NULL whatever JSON made of it: a string, a number.
TEST(JsonParser, TypesNullWordsAsNull) {
  readers::ReadOptions options;
  options.null_words = readers::NullWords({"NA", "-999"});
  for (const char* input : {R"({"a": "NA", "b": -999, "c": "na", "d": 1})",
                            R"([{"a": "NA", "b": -999, "c": "na", "d": 1}])"}) {
    const auto outcome = read_json_with(input, options);
    ASSERT_EQ(outcome.types.size(), 1u) << input;
    EXPECT_EQ(outcome.types[0], (std::vector<DataType>{DataType::Null, DataType::Null,
                                                       DataType::Text, DataType::Integer}))
        << input;
  }
}

TEST(JsonParser, DecodesOtherEncodings) {
  readers::ReadOptions options;
  options.encoding = *Encoding::find("utf-16le");
  // Two lines, then a line whose error column counts bytes of the input: 2 per character here.
  std::string wide;
  for (const char c : std::string_view("{\"a\":\"\xE9\"}\n[]\n{x")) wide += {c, '\0'};
  const auto outcome = read_json_with(wide, options);
  EXPECT_EQ(outcome.rows, (std::vector<testing::Pairs>{{{"a", "\xC3\xA9"}}}));
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->message, "key must be a string at line 3 column 4");
  // A byte the encoding lacks ends the reading on its line, after the lines before it.
  options.encoding = *Encoding::find("cp1252");
  const auto invalid = read_json_with("{\"a\":1}\n{\"a\":\"\x81\"}\n", options);
  EXPECT_EQ(invalid.rows, (std::vector<testing::Pairs>{{{"a", "1"}}}));
  ASSERT_TRUE(invalid.error.has_value());
  EXPECT_EQ(invalid.error->message,
            "stream did not contain valid cp1252 at line 2 (byte 0x81 at byte 14 is not valid "
            "cp1252)");
  const auto array = read_json_with("[{\"a\":\"\x81\"}]", options);
  EXPECT_TRUE(array.rows.empty());
  ASSERT_TRUE(array.error.has_value());
  EXPECT_EQ(array.error->message,
            "stream did not contain valid cp1252 at line 1 (byte 0x81 at byte 7 is not valid "
            "cp1252)");
}

}  // namespace
// The records of an array inside an object; what is not there is named with its path, and parse
// errors keep their place in the whole file.
TEST(JsonParser, ReadsTheArrayAtAPath) {
  const auto outcome_at = [](std::string_view path, std::string_view input) {
    readers::ReadOptions options;
    for (std::size_t from = 0, dot = 0; dot != std::string_view::npos; from = dot + 1) {
      dot = path.find('.', from);
      options.json_path.emplace_back(path.substr(from, dot - from));
    }
    const auto read = read_json_with(input, options);
    return std::pair(read.rows, read.error ? read.error->message : "");
  };
  const std::string doc = R"({"meta": {"n": 2}, "data": {"items": [{"a": 1}, 7, {"a": "x"}]}})";
  const std::vector<Pairs> items = {{{"a", "1"}}, {{"a", "x"}}};
  EXPECT_EQ(outcome_at("data.items", doc), std::pair(items, std::string()));
  // Keys compare as decoded, and the last of repeated ones counts.
  EXPECT_EQ(outcome_at("data", R"({"data": [{"a": 1}], "d\u0061ta": [{"a": "x"}]})"),
            std::pair(std::vector<Pairs>{{{"a", "x"}}}, std::string()));
  EXPECT_EQ(outcome_at("a", R"({"a": []})"), std::pair(std::vector<Pairs>{}, std::string()));
  const auto refused = [&](std::string_view path, std::string_view input) {
    return outcome_at(path, input).second;
  };
  EXPECT_EQ(refused("data.list", doc),
            "JSON path 'data.list' not found: 'data' has no key 'list', at line 1 column 28");
  EXPECT_EQ(refused("meta.n.x", doc),
            "JSON path 'meta.n.x' not found: 'meta.n' is a number, not an object, at line 1 "
            "column 16");
  EXPECT_EQ(refused("meta", doc),
            "JSON path 'meta' is an object, not an array, at line 1 column 10");
  EXPECT_EQ(refused("data", "[{\"data\": []}]"),
            "JSON path 'data' not found: the top level is an array, not an object, at line 1 "
            "column 1");
  EXPECT_EQ(refused("data", "{\"data\": [\n{\"a\": 1},\n{\"a\" 2}]}"),
            "expected `:` at line 3 column 6");
  EXPECT_EQ(refused("data", ""), "EOF while parsing a value at line 1 column 0");
}

}  // namespace morvel
