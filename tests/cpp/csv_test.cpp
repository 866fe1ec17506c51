#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "readers/read_input.hpp"
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

// The shared vectors, but for the errors after a CR: a lone CR or a CR LF ends a line at the CR,
// as it ends a record, so the line named is the one an editor shows (the bytes stay as they are).
std::vector<ReaderCase> csv_vectors() {
  const std::vector<std::pair<std::string_view, int>> lines_after_cr = {
      {"count/crlf_second_record", 3},
      {"count/crlf_blank_lines", 5},
      {"utf8/record3_crlf", 4},
      {"pos/crlf_inside_quoted_then_count_error", 4},
      {"pos/cr_inside_quoted_then_count_error", 4},
      {"pos/count_error_sep_1", 4},
      {"pos/utf8_error_sep_2", 3},
      {"pos/count_error_sep_4", 6},
      {"pos/utf8_error_sep_4", 4}};
  std::vector<ReaderCase> cases = testing::load_reader_cases("csv_cases.jsonl");
  std::size_t changed = 0;
  for (ReaderCase& vector : cases) {
    for (const auto& [id, line] : lines_after_cr) {
      if (vector.id != id) continue;
      // "(line: N" in a field-count error, "(line N" in a UTF-8 one.
      std::string& error = vector.error.value();
      const std::size_t from = error.find_first_of("0123456789", error.find("(line"));
      error.replace(from, error.find(',', from) - from, std::to_string(line));
      ++changed;
    }
  }
  EXPECT_EQ(changed, lines_after_cr.size());
  return cases;
}

class CsvVectors : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(CsvVectors, MatchesExpectedRowsAndError) {
  testing::expect_reader_case(stream_csv, GetParam(), {7});
}

INSTANTIATE_TEST_SUITE_P(Vectors, CsvVectors, ::testing::ValuesIn(csv_vectors()),
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

namespace morvel {
namespace {

using namespace core;
using readers::ReadOptions;

struct OptionCase {
  std::string name;
  ReadOptions options;
  std::string input;
  std::vector<testing::Pairs> rows;
  std::string error = {};                  // empty: none
  std::vector<std::string> warnings = {};  // what the monitor hears
};

void PrintTo(const OptionCase& c, std::ostream* out) { *out << c.name; }

ReadOptions delimited(char byte) {
  ReadOptions options;
  options.delimiter = {byte, false};
  options.delimiter_is_chosen = true;
  return options;
}

ReadOptions with(void (*change)(ReadOptions&)) {
  ReadOptions options;
  change(options);
  return options;
}

const std::string count_error = "found record with 1 fields, but the previous record has 2 fields";

std::vector<OptionCase> option_cases() {
  return {
      {"semicolon", delimited(';'), "a;b\n1,5;x\n", {{{"a", "1,5"}, {"b", "x"}}}},
      {"tab", delimited('\t'), "a\tb\n1\t\"x\ty\"\n", {{{"a", "1"}, {"b", "x\ty"}}}},
      // The header's most used byte outside quotes; a comma when there is none.
      {"auto",
       with([](ReadOptions& o) { o.delimiter.is_automatic = true; }),
       "a;\"b,c,d\";e|f\n1;2;3\n",
       {{{"a", "1"}, {"b,c,d", "2"}, {"e|f", "3"}}}},
      {"auto without one",
       with([](ReadOptions& o) { o.delimiter.is_automatic = true; }),
       "a\n1\n",
       {{{"a", "1"}}}},
      // Positions keep counting every line, skipped and comment lines included.
      {"skip lines",
       with([](ReadOptions& o) { o.skip_lines = 2; }),
       "Title \"quoted\n3 records\r\na,b\n1,2\n3\n",
       {{{"a", "1"}, {"b", "2"}}},
       "CSV error: record 2 (line: 5, byte: 33): " + count_error},
      {"comment lines",
       with([](ReadOptions& o) { o.comment = '#'; }),
       "# a 5\" screen\na,b\n#,#\n1,\"#\n2\"\n\n# end\n3\n",
       {{{"a", "1"}, {"b", "#\n2"}}},
       "CSV error: record 2 (line: 8, byte: 37): " + count_error},
      {"no header",
       with([](ReadOptions& o) { o.has_header = false; }),
       "1,2\n3,4\n5\n",
       {{{"column_1", "1"}, {"column_2", "2"}}, {{"column_1", "3"}, {"column_2", "4"}}},
       "CSV error: record 3 (line: 3, byte: 8): " + count_error},
      // Without a header, each record has the columns of its own fields.
      {"ragged without a header",
       with([](ReadOptions& o) {
         o.has_header = false;
         o.allow_short_rows = true;
       }),
       "1,2\n3,4,5\n6\n",
       {{{"column_1", "1"}, {"column_2", "2"}},
        {{"column_1", "3"}, {"column_2", "4"}, {"column_3", "5"}},
        {{"column_1", "6"}}}},
      {"short rows",
       with([](ReadOptions& o) { o.allow_short_rows = true; }),
       "a,b,c\n1\n2,3\n4,5,6,7\n",
       {{{"a", "1"}, {"b", ""}, {"c", ""}}, {{"a", "2"}, {"b", "3"}, {"c", ""}}},
       "CSV error: record 3 (line: 4, byte: 12): found record with 4 fields, but the previous "
       "record has 3 fields",
       {"2 records had fewer fields than the header; their missing fields are NULL"}},
      {"one short row",
       with([](ReadOptions& o) { o.allow_short_rows = true; }),
       "a,b\n1\n",
       {{{"a", "1"}, {"b", ""}}},
       "",
       {"1 record had fewer fields than the header; its missing fields are NULL"}},
      {"null words",
       with([](ReadOptions& o) {
         o.null_words = readers::NullWords({"NA", "-"});
       }),
       "a,b,c\nNA, - ,na\n",
       {{{"a", "NA"}, {"b", " - "}, {"c", "na"}}}},
      // A header that looks separated by another byte is worth a word, unless the user chose.
      {"delimiter hint",
       {},
       "a;b;c|d\n1;2;3\n",
       {{{"a;b;c|d", "1;2;3"}}},
       "",
       {"the CSV header is one column, 'a;b;c|d', holding ';': if ';' separates the fields, use "
        "--delimiter ';'"}},
      {"tab hint",
       {},
       "a\tb\n",
       {},
       "",
       {"the CSV header is one column, 'a\tb', holding a tab: if a tab separates the fields, use "
        "--tsv"}},
      {"no hint when chosen", delimited(','), "a;b\n", {}},
      {"single quote",
       with([](ReadOptions& o) { o.quote = '\''; }),
       "a,b\n'x,''y''',\"z\"\n'two\nlines',\n",
       {{{"a", "x,'y'"}, {"b", "\"z\""}}, {{"a", "two\nlines"}, {"b", ""}}}},
      {"unbalanced other quote",
       with([](ReadOptions& o) { o.quote = '\''; }),
       "a\n\"\n'\n",
       {},
       "Malformed CSV: unbalanced quotes detected"},
      // Blank runs separate fields; those at a line's ends and lines of blanks alone do not.
      {"white space",
       with([](ReadOptions& o) { o.delimiter = *readers::Delimiter::parse("whitespace"); }),
       "  a\t b  \n \t \n1 \"x  y\"\t\n\"\"   \"q\"\"\"z\n3\n",
       {{{"a", "1"}, {"b", "x  y"}}, {{"a", ""}, {"b", "q\"z"}}},
       "CSV error: record 3 (line: 5, byte: 35): " + count_error},
      {"white space and a comment",
       with([](ReadOptions& o) {
         o.delimiter = *readers::Delimiter::parse("whitespace");
         o.comment = '#';
       }),
       "# title\na b\n# note\n 1 2\n",
       {{{"a", "1"}, {"b", "2"}}}},
  };
}

class CsvOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(CsvOptions, ReadAsAsked) {
  const OptionCase& c = GetParam();
  MemorySource source(c.input);
  const testing::ReaderOutcome outcome =
      testing::collect_rows(readers::stream_csv, source, c.options);
  EXPECT_EQ(outcome.rows, c.rows);
  EXPECT_EQ(outcome.error ? outcome.error->message : "", c.error);
  EXPECT_EQ(outcome.warnings, c.warnings);
}

INSTANTIATE_TEST_SUITE_P(Options, CsvOptions, ::testing::ValuesIn(option_cases()),
                         [](const auto& test) { return testing::test_name_of(test.param.name); });

TEST(CsvParser, TypesNullWordsAndPaddingAsNull) {
  ReadOptions options;
  options.null_words = readers::NullWords({"NA"});
  options.allow_short_rows = true;
  MemorySource source("a,b,c\n NA ,7\n");
  const auto outcome = testing::collect_rows(readers::stream_csv, source, options);
  ASSERT_EQ(outcome.types.size(), 1u);
  EXPECT_EQ(outcome.types[0],
            (std::vector<DataType>{DataType::Null, DataType::Integer, DataType::Null}));
}

// Decoded inputs read as their UTF-8 would; positions in messages are bytes of the input as
// the user has it.
TEST(CsvParser, DecodesOtherEncodings) {
  const auto read = [](std::string_view input, const char* encoding) {
    ReadOptions options;
    options.encoding = *Encoding::find(encoding);
    MemorySource source(input);
    return testing::collect_rows(readers::stream_csv, source, options);
  };
  const auto latin1 = read("name\nna\xEFve\n", "latin1");
  EXPECT_EQ(latin1.rows, (std::vector<testing::Pairs>{{{"name", "na\xC3\xAFve"}}}));
  // In cp1258 a letter and the accent after it are one character: decoded together, not a byte
  // at a time.
  EXPECT_EQ(read("name\na\xEC\n", "cp1258").rows,
            (std::vector<testing::Pairs>{{{"name", "\xC3\xA1"}}}));
  // UTF-16 with its byte-order mark, little-endian: a,b LF 1,2 LF, then a short record.
  const std::string utf16(
      "\xFF\xFE"
      "a\0,\0b\0\n\0"
      "1\0,\0\xE9\0\n\0"
      "3\0\n\0",
      22);
  const auto wide = read(utf16, "utf-16");
  EXPECT_EQ(wide.rows, (std::vector<testing::Pairs>{{{"a", "1"}, {"b", "\xC3\xA9"}}}));
  ASSERT_TRUE(wide.error.has_value());
  EXPECT_EQ(wide.error->message, "CSV error: record 2 (line: 3, byte: 18): " + count_error);
  // A byte the encoding lacks fails the input before any record.
  const auto invalid = read("a,b\n1,2\n3,x\x81y\n", "cp1252");
  EXPECT_TRUE(invalid.rows.empty());
  ASSERT_TRUE(invalid.error.has_value());
  EXPECT_EQ(invalid.error->message,
            "CSV error: record 2 (line: 3, byte: 8): byte 0x81 at byte 11 is not valid cp1252");
  // The record is counted as the reading cuts records, whatever the delimiter: a quoted field
  // holds a line break.
  for (const auto& [delimiter, text] : {std::pair{",", "a,b\n1,\"x\ny\"\n3,x\x81y\n"},
                                        std::pair{";", "a;b\n1;\"x\ny\"\n3;x\x81y\n"},
                                        std::pair{"auto", "a;b\n1;\"x\ny\"\n3;x\x81y\n"}}) {
    ReadOptions options;
    options.delimiter = *readers::Delimiter::parse(delimiter);
    options.encoding = *Encoding::find("cp1252");
    MemorySource source(text);
    const auto quoted = testing::collect_rows(readers::stream_csv, source, options);
    ASSERT_TRUE(quoted.error.has_value()) << delimiter;
    EXPECT_EQ(quoted.error->message,
              "CSV error: record 2 (line: 4, byte: 12): byte 0x81 at byte 15 is not valid cp1252")
        << delimiter;
  }
  const auto cut = read(std::string("\xFF\xFE"
                                    "a\0\n\0"
                                    "1",
                                    7),
                        "utf-16");
  ASSERT_TRUE(cut.error.has_value());
  EXPECT_EQ(cut.error->message,
            "CSV error: record 1 (line: 2, byte: 6): the input ends inside a utf-16 character at "
            "byte 6");
  // Python's spellings of iconv's names work too.
  EXPECT_EQ(read("name\nna\xEFve\n", "latin-1").rows, latin1.rows);
  EXPECT_EQ(read("name\nna\xEFve\n", "ISO_8859_1").rows, latin1.rows);
  EXPECT_EQ(Encoding::find("no-such-encoding").error().message,
            "unknown encoding 'no-such-encoding' (for instance: utf-8, latin1, cp1252, utf-16, "
            "shift_jis, gb18030; `iconv -l` lists every name)");
  EXPECT_FALSE(Encoding::find("UTF8")->has_value());
}

}  // namespace
}  // namespace morvel
