#include "readers/csv.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;

using readers::stream_csv;
using testing::Pairs;
using testing::ReaderCase;

using Outcome = testing::ReaderOutcome;

Outcome read_csv(ByteSource& source) { return testing::collect_rows(stream_csv, source); }

Outcome read_csv(std::string_view text) {
  MemorySource source(text);
  return read_csv(source);
}

class CsvVectors : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(CsvVectors, MatchesExpectedRowsAndError) {
  testing::expect_reader_case(stream_csv, GetParam(), {7});
}

INSTANTIATE_TEST_SUITE_P(Vectors, CsvVectors,
                         ::testing::ValuesIn(testing::load_reader_cases("csv_cases.jsonl")),
                         [](const auto& test) { return testing::test_name_of(test.param.id); });

TEST(CsvParser, TypesEveryFieldOnItsOwn) {
  const Outcome outcome = read_csv("a,b,c\n5,true,\nabc, 2.5 ,2024-01-15\n");
  ASSERT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.types, (std::vector<std::vector<DataType>>{
                               {DataType::Integer, DataType::Boolean, DataType::Null},
                               {DataType::Text, DataType::Float, DataType::Date}}));
}

// Records are checked for UTF-8 as wholes, and field by field only when a whole is not UTF-8;
// the next non-ASCII byte is looked for once and remembered across records.
TEST(CsvParser, ChecksUtf8RecordByRecord) {
  const std::string head = "h1,h2\na,b\n\xC3\xA9,x\nc,d\n";
  const Outcome valid = read_csv(head);
  EXPECT_FALSE(valid.error.has_value());
  EXPECT_EQ(valid.rows.size(), 3u);
  // Invalid right after a valid non-ASCII record, and two records after it.
  for (const std::string& between : {std::string(), std::string("e,f\n")}) {
    const std::string text = head + between + "g,h\xFF\n";
    const Outcome outcome = read_csv(text);
    EXPECT_EQ(outcome.rows.size(), between.empty() ? 3u : 4u);
    ASSERT_TRUE(outcome.error.has_value());
    const std::size_t record = between.empty() ? 4 : 5;
    EXPECT_EQ(outcome.error->message,
              "CSV parse error: record " + std::to_string(record) + " (line " +
                  std::to_string(record + 1) +
                  ", field: 1, byte: " + std::to_string(text.size() - 5) +
                  "): invalid utf-8: invalid UTF-8 in field 1 near byte index 1");
  }
  // Records over several 64-byte blocks, with the bad byte far from the record's start.
  const std::string wide(150, 'x');
  const std::string long_text = "h1,h2\n" + wide + ",\xC3\xA9\n" + wide + "," + wide + "\xC3\n";
  const Outcome far = read_csv(long_text);
  EXPECT_EQ(far.rows.size(), 1u);
  ASSERT_TRUE(far.error.has_value());
  EXPECT_EQ(far.error->message,
            "CSV parse error: record 2 (line 3, field: 1, byte: 160): invalid "
            "utf-8: invalid UTF-8 in field 1 near byte index 150");
  // A character split by a quote is not UTF-8 as written, but its field is once the quotes go.
  const Outcome split = read_csv("h\n\"\xC3\"\xA9\n\xC3\xA0\n");
  EXPECT_FALSE(split.error.has_value());
  EXPECT_EQ(split.rows, (std::vector<Pairs>{{{"h", "\xC3\xA9"}}, {{"h", "\xC3\xA0"}}}));
}

TEST(CsvParser, ReturnsTheSinkErrorUnchangedAndStops) {
  MemorySource source("a\n1\n2\n3\n");
  int calls = 0;
  auto refuse_second = [&](Row) -> Status {
    if (++calls == 2) return std::unexpected(Error{ErrorKind::Io, "disk full"});
    return {};
  };
  auto status = stream_csv(source, refuse_second);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind, ErrorKind::Io);
  EXPECT_EQ(status.error().message, "disk full");
  EXPECT_EQ(calls, 2);
}

TEST(CsvParser, ReportsReadFailureBeforeAnyRow) {
  testing::ScriptedSource source("a,b\n1,2\n", 4, "Input/output error (os error 5)");
  const Outcome outcome = read_csv(source);
  EXPECT_TRUE(outcome.rows.empty());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->kind, ErrorKind::Io);
  EXPECT_EQ(outcome.error->message, "Input/output error (os error 5)");
}

TEST(CsvParser, CountsPositionsAcrossLongInputs) {
  std::string text = "id,text\n";
  for (int i = 0; i < 5000; ++i) text += std::to_string(i) + ",\"multi\nline \"\"quoted\"\"\"\n";
  text += "oops\n";
  const Outcome outcome = read_csv(text);
  EXPECT_EQ(outcome.rows.size(), 5000u);
  EXPECT_EQ(outcome.rows.back()[1].second, "multi\nline \"quoted\"");
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->message,
            "CSV error: record 5001 (line: 10002, byte: " + std::to_string(text.size() - 5) +
                "): found record with 1 fields, but the previous record has 2 fields");
}

// An input that ends right after a delimiter ends with an empty field. Found by fuzzing: the
// field search went on from the end of the input and read past it.
TEST(CsvParser, ReadsAnEmptyFieldAfterTheLastByte) {
  // Each input sits in a heap block of exactly its size, so that AddressSanitizer reports a read
  // of even one byte past it; a std::string has its terminator and spare capacity there.
  auto expect_rows = [](const std::string& input, const std::vector<Pairs>& rows) {
    const auto exact = std::make_unique<char[]>(input.size());
    std::memcpy(exact.get(), input.data(), input.size());
    MemorySource source(std::string_view(exact.get(), input.size()));
    // The reader parses a memory source where it lies, so the block's end is the input's end.
    ASSERT_EQ(source.contiguous()->data(), exact.get());
    const Outcome outcome = read_csv(source);
    EXPECT_FALSE(outcome.error.has_value()) << outcome.error->message;
    EXPECT_EQ(outcome.rows, rows) << "input of " << input.size() << " bytes";
  };
  const Outcome empty_names = read_csv(",");
  ASSERT_TRUE(empty_names.error.has_value());
  EXPECT_EQ(empty_names.error->message, "duplicate column name '' in CSV header");
  expect_rows("a,b\n1,", {{{"a", "1"}, {"b", ""}}});
  // Past the first 64 bytes the search has classified whole blocks before it reaches the end.
  const std::string wide(70, 'x');
  expect_rows("a,b\n" + wide + ",", {{{"a", wide}, {"b", ""}}});
  expect_rows("a,b\n" + wide + ",\n", {{{"a", wide}, {"b", ""}}});
  expect_rows("a,b\n\"" + wide + "\",", {{{"a", wide}, {"b", ""}}});
  expect_rows("a," + wide + ",\n1,2,", {{{"a", "1"}, {wide, "2"}, {"", ""}}});
}

TEST(CsvParser, ChecksFieldCountBeforeEncoding) {
  const Outcome outcome = read_csv("a,b\n\xFF\n");
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->message,
            "CSV error: record 1 (line: 2, byte: 4): found record with 1 fields, but the previous "
            "record has 2 fields");
}

}  // namespace
}  // namespace morvel
