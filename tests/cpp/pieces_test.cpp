#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "convert/pipeline.hpp"
#include "readers/locate.hpp"
#include "test_support.hpp"

// However an input is cut into pieces and on however many threads they are converted, the
// script, the first error and the warnings are those of one thread reading it whole.

namespace morvel {
namespace {

using namespace core;
using namespace convert;

using testing::Converted;

// How a test hands over its input: from memory, from a file, or through a stream of a few bytes
// per read that cannot go back.
constexpr std::size_t from_memory = 0;
constexpr std::size_t from_file = 1;

// One way to convert an input: how it arrives, on how many threads, and the limits besides the
// piece's size: a file held up to `held_bytes` and read twice beyond, pieces shared from
// `sharing_pieces` on.
struct Way {
  std::size_t read;
  unsigned jobs;
  std::uint64_t held_bytes = readers::ReadLimits{}.held_bytes;
  std::size_t sharing_pieces = readers::ReadLimits{}.sharing_pieces;
};

std::ostream& operator<<(std::ostream& out, const Way& way) {
  return out << "read " << way.read << ", jobs " << way.jobs << ", held " << way.held_bytes
             << ", sharing from " << way.sharing_pieces;
}

// Every path: held whole or read twice, on one thread or shared, the first reading in parts.
const Way ways[] = {
    {from_memory, 1},     {from_memory, 4, 0, 1}, {from_file, 4},
    {from_file, 4, 0, 1}, {from_file, 1, 0},      {7, 1},
    {7, 4, 0, 1},
};

// Converts `input` in pieces of `piece` bytes the way `way` says.
Converted convert_cut(const std::string& input, ConversionOptions options, const Way& way,
                      std::size_t piece) {
  options.jobs = way.jobs;
  const readers::ReadLimits limits{piece, way.held_bytes, way.sharing_pieces};
  if (way.read == from_memory) {
    MemorySource source(input);
    return testing::convert_source(source, std::move(options), limits);
  }
  if (way.read == from_file) {
    const testing::TempDir directory;
    const std::string path = directory.file("input");
    std::ofstream(path, std::ios::binary) << input;
    FdSource source(*open_for_reading(path));
    return testing::convert_source(source, std::move(options), limits);
  }
  testing::ScriptedSource source(input, way.read);
  return testing::convert_source(source, std::move(options), limits);
}

void expect_same_however_cut(const std::string& input, const ConversionOptions& options,
                             std::initializer_list<std::size_t> pieces) {
  const Converted whole = convert_cut(input, options, {from_memory, 1}, std::size_t{1} << 30);
  for (const std::size_t piece : pieces) {
    for (const Way& way : ways) {
      EXPECT_EQ(convert_cut(input, options, way, piece), whole)
          << "piece " << piece << ", " << way << ", input:\n"
          << input;
    }
  }
}

// Every byte position is a piece's end for some of these sizes.
constexpr std::initializer_list<std::size_t> small_pieces = {1, 2, 3, 4, 5, 6, 7, 9, 11, 16, 23};

std::string repeated(std::string_view records, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += records;
  return text;
}

TEST(Pieces, CsvGivesTheSameOutcomeHoweverCut) {
  const std::string body = repeated(
      "1,\"two\nlines\",\"a \"\"quote\"\"\"\r\n2,caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80,x\r\n"
      "\n3,,\"\"\r\n",
      4);
  const std::string csv = "\xEF\xBB\xBFid,text,more\r\n" + body;
  expect_same_however_cut(csv, {}, small_pieces);
  expect_same_however_cut(csv, {.create_table = true, .batch_size = 3, .transaction = true},
                          small_pieces);
  expect_same_however_cut(csv, {.create_table = true, .copy = true}, small_pieces);
  expect_same_however_cut(csv, {.create_table = true, .schema_from = SchemaFrom::All},
                          small_pieces);
  // A quote inside an unquoted field is a character, which misleads a guess of where records
  // begin from the quotes before.
  expect_same_however_cut("a\n" + repeated("x\"y\n\"multi\nline\"\n", 4), {}, small_pieces);
  // Comment and skipped lines may hold quotes that count for nothing.
  expect_same_however_cut("a \"title\n# \"note\nx,y\n1,2\n# \"x\n3,\"4\n#\"\n",
                          {.comment = '#', .skip_lines = 1}, small_pieces);
  // Another quote byte cuts pieces where that one, not the double quote, leaves a quoted field.
  const std::string single_quoted = "a,b\n" + repeated("1,'two\nlines'\n2,\"'x ''q''\n y'\n", 4);
  expect_same_however_cut(single_quoted, {.quote = '\''}, small_pieces);
  // Blank runs separate fields, and a blank line may hold blanks.
  const std::string aligned = " a   b\n" + repeated("  1\t\"x \n y\"  \n \t\n22  z \n", 4);
  expect_same_however_cut(aligned, {.delimiter = *readers::Delimiter::parse("whitespace")},
                          small_pieces);
}

TEST(Pieces, CsvFailsAtTheSameRecordHoweverCut) {
  const std::string good = repeated("1,\"a\nb\"\n22,cc\n", 3);
  for (const std::string& csv : {
           "a,b\n1\n" + good,                               // the first record
           "a,b\n" + good + "1,2,3\n" + good,               // a middle one
           "a,b\n" + good + "x\n",                          // the last one
           "a,b\n" + good + std::string(40, '\n') + "x\n",  // after blank lines
           "a,b\n" + good + "1\n" + good + "1,2,3\n",       // one beside a later one
           "a,b\n" + good + "1,\xFF\n" + good,              // a field that is not UTF-8
           "a,\xC3\n" + good,                               // a header that is not UTF-8
           "a,b\n" + good + "\"1,2\n",                      // an unbalanced quote
       }) {
    expect_same_however_cut(csv, {}, small_pieces);
  }
}

// A stream's first reading stops keeping the input after the record with a byte that is not
// UTF-8 and checks on; the outcome is a whole reading's, whatever the reads cut, also for bytes
// never read as fields (lines to skip, comments) and for an unbalanced quote after the record.
void expect_stream_as_whole(const std::string& csv, const ConversionOptions& options) {
  const Converted whole = convert_cut(csv, options, {from_memory, 1}, std::size_t{1} << 30);
  for (const std::size_t chunk : {1, 2, 3, 5, 7}) {
    for (const unsigned jobs : {1U, 4U}) {
      testing::ScriptedSource source(csv, chunk);
      ConversionOptions with_jobs = options;
      with_jobs.jobs = jobs;
      Converted streamed = testing::convert_source(source, with_jobs, {16, 0, 1});
      // The lines of bytes checked after the refused record but not kept are unknown: a hint
      // there names the byte alone.
      std::string byte_alone = whole.hint;
      if (const auto line = byte_alone.find("line "); line != std::string::npos) {
        byte_alone.erase(line, byte_alone.find(", ", line) + 2 - line);
      }
      if (streamed.hint == byte_alone) streamed.hint = whole.hint;
      EXPECT_EQ(streamed, whole) << "chunk " << chunk << ", jobs " << jobs << ", input:\n" << csv;
    }
  }
}

// An unbalanced quote is placed where the field it leaves open begins, before the quotes that
// escape quotes in it, outside comment lines, on the line an editor shows, in every way.
TEST(Pieces, CsvPlacesTheQuoteThatIsNeverClosed) {
  const std::string before = "a,b\n" + repeated("1,\"q\"\"\"\r\n", 50);
  for (const auto& [csv, options, hint] :
       std::initializer_list<std::tuple<std::string, ConversionOptions, std::string>>{
           {before + "2,\"x\"\"y\r3,4\n" + repeated("5,6\n", 50),
            {},
            "the quote at line 52, byte 459 is never closed"},
           {"a\r#\"\r\"x\r" + repeated("5\n", 50),
            {.comment = '#'},
            "the quote at line 3, byte 5 is never closed"},
       }) {
    for (const Way& way : ways) {
      const Converted failed = convert_cut(csv, options, way, 16);
      EXPECT_EQ(failed.error, "Malformed CSV: unbalanced quotes detected") << way;
      EXPECT_EQ(failed.hint, hint) << way;
    }
  }
  // A stream keeps no bytes after a record that is not UTF-8, so their lines are not counted.
  testing::ScriptedSource stream("a,b\n1,\xFF\n2,3\n\"\n", 3);
  EXPECT_EQ(testing::convert_source(stream, {}).hint, "the quote at byte 12 is never closed");
}

TEST(Pieces, CsvStreamAfterARecordThatIsNotUtf8FailsAsAWholeReading) {
  const std::string good = repeated("1,\"caf\xC3\xA9\n\xF0\x9F\x98\x80\"\r\n", 200);
  const std::string bad_record = "2,\"x\n\xE6\x97\",\"\n\"\n";
  for (const auto& [csv, options] :
       std::initializer_list<std::pair<std::string, ConversionOptions>>{
           {"a,b\n" + good + bad_record + good, {}},
           {"a,b\n" + good + bad_record + good + "\"\n", {}},
           {"a,\xFF\n" + good, {}},
           {"\xFF\xFE title\na,b\n" + good, {.skip_lines = 1}},
           {"a,b\n#\xFF\n" + good, {.comment = '#'}},
           // A quote between the two bytes of a character: the field joins them.
           {"a,b\n1,\"Zo\xC3\"\xAB\n" + good, {}},
       }) {
    expect_stream_as_whole(csv, options);
  }
}

TEST(Pieces, CsvWarnsTheSameHoweverCut) {
  const std::string csv = "n,d\n1,2024-01-01\n" + repeated("2,2024-01-02\nx,y\n3\n", 4);
  expect_same_however_cut(csv, {.create_table = true, .allow_short_rows = true}, small_pieces);
  // Dates that are none, in a MySQL table whose DATETIME column takes times in UTC.
  const std::string dates = "d,t\n2024-01-01,2024-01-01 10:00:00Z\n" +
                            repeated("2024-02-30,2024-01-01 10:00:00+01\n2024-01-02,x\n", 4);
  expect_same_however_cut(dates, {.dialect = sql::Dialect::Mysql, .create_table = true},
                          small_pieces);
  expect_same_however_cut(dates, {.dialect = sql::Dialect::Mysql, .batch_size = 3}, small_pieces);
  // Without a header, short records make columns of their own.
  expect_same_however_cut("1,2\n3\n4,5,6\n7\n",
                          {.no_header = true, .allow_short_rows = true, .batch_size = 2},
                          small_pieces);
}

TEST(Pieces, PostgresBatchesEndAtTheSameRepeatedKeysHoweverCut) {
  const std::string csv = "k,v\n" + repeated("1,a\n2,b\n01,c\n3,d\n2,e\n", 4);
  expect_same_however_cut(csv,
                          {.create_table = true,
                           .primary_key = "k",
                           .batch_size = 3,
                           .on_conflict = sql::OnConflict::Replace},
                          small_pieces);
}

TEST(Pieces, JsonWarnsOfRepeatedKeysTheSameHoweverCut) {
  const std::string lines =
      "\xEF\xBB\xBF" + repeated("{\"a\":1}\n{\"a\":1,\"a\":2}\n{\"b\":{\"c\":1,\"c\":2}}\n", 3);
  expect_same_however_cut(lines, {.format = Format::Json}, small_pieces);
  expect_same_however_cut(
      " \n[" + repeated("{\"x\":1,\"x\":2},{\"y\":[{\"x\":1,\"x\":1}]},", 3) + "{}]",
      {.format = Format::Json}, small_pieces);
}

TEST(Pieces, JsonLinesGiveTheSameOutcomeHoweverCut) {
  const std::string lines = repeated(
      "{\"a\":1,\r\"b\":\"x\"}\r\n\n{\"b\":\"caf\xC3\xA9\",\"a\":2}\n[1]\n{}\n{\"c\":{\"d\":[1,2]}}"
      "\n",
      3);
  for (const ConversionOptions& options : {
           ConversionOptions{.format = Format::Json},
           ConversionOptions{.format = Format::Json, .create_table = true, .batch_size = 2},
           ConversionOptions{.format = Format::Json, .create_table = true, .copy = true},
           ConversionOptions{
               .format = Format::Json, .create_table = true, .schema_from = SchemaFrom::All},
           ConversionOptions{
               .format = Format::Json, .schema_from = SchemaFrom::All, .batch_size = 2},
           ConversionOptions{.format = Format::Json, .schema_from = SchemaFrom::All, .copy = true},
       }) {
    expect_same_however_cut(lines, options, small_pieces);
  }
  // An array is checked whole first, then its elements are read in pieces.
  std::string array = "[";
  array += repeated("{\"a\":1,\"b\":\"x\"},\n 2 ,\r{\"b\":\"\xC3\xA9\"},{}, ", 3);
  array += "{}]";
  expect_same_however_cut(array, {.format = Format::Json, .create_table = true, .batch_size = 2},
                          small_pieces);
  expect_same_however_cut(array, {.format = Format::Json, .create_table = true}, small_pieces);
  // The records of an array inside a document are read in pieces all the same.
  expect_same_however_cut("{\"n\": [1],\n \"in\": {\"data\": " + array + "}, \"after\": [{}]}",
                          {.format = Format::Json, .json_path = "in.data"}, small_pieces);
  for (const std::string bad : {"{\"a\":\n", "\xFF\n", "{\"a\": tru}\n"}) {
    for (const std::string& jsonl : {bad + lines, lines + bad + lines, lines + bad}) {
      expect_same_however_cut(jsonl, {.format = Format::Json, .create_table = true}, small_pieces);
    }
  }
}

// An array that comes as a stream is checked through a window of it; every way of breaking one
// must fail with the message and position of the array held whole.
TEST(Pieces, BrokenJsonArraysFailAsWhenHeld) {
  const std::string array =
      "\xEF\xBB\xBF [{\"a\": 1.5e3, \"b\": \"x\\u00e9\\\"\"},\r\n {\"c\": [null,\r true, "
      "{\"d\": -0}]}, 1234, \"caf\xC3\xA9\" ]\n";
  const std::initializer_list<std::size_t> pieces = {1, 5};
  for (std::size_t end = 0; end <= array.size(); ++end) {
    expect_same_however_cut(array.substr(0, end), {.format = Format::Json}, pieces);
  }
  for (std::size_t at = 0; at < array.size(); ++at) {
    for (const char bad : {']', '\xFF'}) {
      std::string broken = array;
      broken[at] = bad;
      expect_same_however_cut(broken, {.format = Format::Json}, pieces);
    }
  }
  for (const std::string other :
       {"[1, 1e999]", "[1e999 ", "[2, 1e4294967296]", "[1] \xFF", "[{\"a\": \"\xC3\"}]"}) {
    expect_same_however_cut(other, {.format = Format::Json}, pieces);
  }
}

// Where row `row` of `input` lies, found from memory and through a stream of 3 bytes per read.
void expect_place(const std::string& input, const ConversionOptions& options, std::uint64_t row,
                  std::optional<readers::RecordPlace> expected) {
  MemorySource memory(input);
  testing::ScriptedSource stream(input, 3);
  for (ByteSource* source :
       {static_cast<ByteSource*>(&memory), static_cast<ByteSource*>(&stream)}) {
    const auto place = readers::locate_row(*source, options.format, read_options(options), row);
    ASSERT_TRUE(place.has_value()) << place.error().message;
    EXPECT_EQ(*place, expected) << "row " << row << " of:\n" << input;
  }
}

TEST(LocateRow, NamesTheRecordLineAndInputByteOfARow) {
  const ConversionOptions json{.format = Format::Json};
  expect_place("a,b\n1,2\n\n3,4\n", {}, 0, readers::RecordPlace{1, 2, 4});
  // As in the reader's own messages, a CSV record begins after the record before it.
  expect_place("a,b\n1,2\n\n3,4\n", {}, 1, readers::RecordPlace{2, 3, 8});
  expect_place("a,b\n1,2\n", {}, 1, std::nullopt);
  expect_place("a\n\"x\ny\"\nz\n", {}, 1, readers::RecordPlace{2, 4, 8});
  expect_place("# note\na\n# more\nz\n", {.comment = '#'}, 0, readers::RecordPlace{1, 4, 16});
  // The byte counts the input as it is encoded: the Latin-1 e-acute takes one byte, not two.
  expect_place("a\n\xE9\nb\n", {.encoding = *Encoding::find("latin1")}, 1,
               readers::RecordPlace{2, 3, 4});
  expect_place("{\"a\":1}\n\n5\n{\"a\":2}\n", json, 1, readers::RecordPlace{4, 4, 11});
  expect_place("[{\"a\":1},\n 7,\n {\"a\":2}]", json, 1, readers::RecordPlace{2, 3, 15});
  expect_place("[{\"a\":1}]", json, 1, std::nullopt);
}

// The options a real file is read with, from its entry in the manifest.
ConversionOptions options_of(const nlohmann::json& entry) {
  ConversionOptions options{.create_table = true};
  if (entry["format"] == "json") options.format = Format::Json;
  const auto text = [&](const char* key) { return entry[key].get<std::string>(); };
  if (entry.contains("delimiter")) options.delimiter = readers::Delimiter{text("delimiter")[0]};
  if (entry.contains("comment")) options.comment = text("comment")[0];
  if (entry.contains("skip_lines")) options.skip_lines = entry["skip_lines"].get<int>();
  options.no_header = !entry.value("header", true);
  options.allow_short_rows = entry.value("short_rows", false);
  if (entry.contains("encoding")) options.encoding = *Encoding::find(text("encoding"));
  if (entry.contains("null_words")) options.null_values = entry["null_words"];
  return options;
}

TEST(Pieces, RealFilesGiveTheSameOutcomeHoweverCut) {
  const std::filesystem::path real = MORVEL_REAL_FILES_DIR;
  std::ifstream manifest(real / "manifest.json");
  const auto entries = nlohmann::json::parse(manifest);
  ASSERT_GT(entries.size(), 90U);
  for (const auto& entry : entries) {
    const std::string file = entry["file"];
    SCOPED_TRACE(file);
    std::ifstream in(real / "files" / file, std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(input.empty());
    expect_same_however_cut(input, options_of(entry), {61, 1009});
  }
}

}  // namespace
}  // namespace morvel
