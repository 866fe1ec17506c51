#include "parsers/csv_parser.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace morvel {
namespace {

using parsers::csv_parser::stream_csv;
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
  const ReaderCase& c = GetParam();
  // Once from memory and once through small reads, which must not change anything.
  MemorySource memory(c.input);
  testing::ScriptedSource stream(c.input, 7);
  for (ByteSource* source : {static_cast<ByteSource*>(&memory), static_cast<ByteSource*>(&stream)}) {
    const Outcome outcome = read_csv(*source);
    EXPECT_EQ(outcome.rows, c.rows);
    if (c.error) {
      ASSERT_TRUE(outcome.error.has_value());
      EXPECT_EQ(outcome.error->message, *c.error);
      EXPECT_EQ(outcome.error->kind, ErrorKind::Invalid);
    } else {
      EXPECT_FALSE(outcome.error.has_value()) << outcome.error->message;
    }
  }
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

TEST(CsvParser, ChecksFieldCountBeforeEncoding) {
  const Outcome outcome = read_csv("a,b\n\xFF\n");
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->message,
            "CSV error: record 1 (line: 2, byte: 4): found record with 1 fields, but the previous "
            "record has 2 fields");
}

}  // namespace
}  // namespace morvel
