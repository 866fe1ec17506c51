#include "convert/pipeline.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "convert/batch_keys.hpp"
#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;
using namespace convert;
using namespace sql;

// The script for `csv`, as a Python caller gets it: options checked, then converted in memory,
// then checked for UTF-8.
Result<std::string> csv_to_sql(std::string_view csv, ConversionOptions o = {}) {
  auto checked = check_options(std::move(o));
  if (!checked) return std::unexpected(checked.error());
  MemorySource source(csv);
  auto sql = convert_to_buffer(source, *checked);
  if (!sql) return std::unexpected(sql.error());
  if (auto bad = utf8_error(sql->view())) return std::unexpected(*bad);
  return std::string(sql->view());
}

void expect_sql(std::string_view csv, const ConversionOptions& o, std::string_view sql) {
  auto result = csv_to_sql(csv, o);
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ(*result, sql);
}

void expect_failure(std::string_view csv, const ConversionOptions& o, std::string_view message) {
  auto result = csv_to_sql(csv, o);
  ASSERT_FALSE(result.has_value()) << *result;
  EXPECT_EQ(result.error().message, message);
}

TEST(Pipeline, LaysOutStatements) {
  expect_sql("", {.create_table = true}, "");
  expect_sql("a,b\n", {.create_table = true}, "");
  expect_sql("a\n1\n", {.create_table = true},
             "CREATE TABLE IF NOT EXISTS \"morvel_table\" (\n  \"a\" BIGINT\n);\n\n"
             "INSERT INTO \"morvel_table\" (\"a\") VALUES (1);\n");
  expect_sql("a\n1\nx\n", {},
             "INSERT INTO \"morvel_table\" (\"a\") VALUES (1);\n"
             "INSERT INTO \"morvel_table\" (\"a\") VALUES ('x');\n");
  // The table comes from the first record only.
  expect_sql("a\n\nx\n", {.table_name = "t", .dialect = Dialect::Sqlite, .create_table = true},
             "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"a\" TEXT\n);\n\n"
             "INSERT INTO \"t\" (\"a\") VALUES ('x');\n");
  expect_sql(
      "id,n\n1,x\n",
      {.table_name = "t", .dialect = Dialect::Mysql, .create_table = true, .primary_key = "id"},
      "CREATE TABLE IF NOT EXISTS `t` (\n  `id` BIGINT NOT NULL,\n  `n` TEXT,\n  "
      "PRIMARY KEY (`id`)\n);\n\nINSERT INTO `t` (`id`, `n`) VALUES (1, 'x');\n");
}

TEST(Pipeline, KeepsNulBytesOffTheScriptsLines) {
  using namespace std::string_view_literals;
  // Rows with a NUL take their own path; the rows around them keep theirs.
  expect_sql("v,w\na,b\n\"x\0\n\0y\",1\nc,d\n"sv, {.table_name = "t", .dialect = Dialect::Sqlite},
             "INSERT INTO \"t\" (\"v\", \"w\") VALUES ('a', 'b');\n"
             "INSERT INTO \"t\" (\"v\", \"w\") VALUES ('x'||char(0)||'\n'||char(0)||'y', 1);\n"
             "INSERT INTO \"t\" (\"v\", \"w\") VALUES ('c', 'd');\n"sv);
  // A value of nothing but NUL bytes grows the most: thirteen bytes for each in SQLite.
  std::string all_nul_sql = "INSERT INTO \"t\" (\"v\", \"w\") VALUES ('";
  for (int i = 0; i < 300; ++i) all_nul_sql += "'||char(0)||'";
  all_nul_sql += "', 1);\n";
  expect_sql("v,w\n" + std::string(300, '\0') + ",1\n",
             {.table_name = "t", .dialect = Dialect::Sqlite}, all_nul_sql);
  expect_failure("a\0b\n1\n"sv, {},
                 "column name 'a\\0b' contains a NUL character, which no SQL identifier can hold");
  expect_failure("a\n1\n", {.table_name = std::string("t\0"sv)},
                 "table name 't\\0' contains a NUL character, which no SQL identifier can hold");
}

TEST(Pipeline, ReportsTheRecordErrorUnchanged) {
  expect_failure("a,b\n1,2\n3,4\n5\n", {},
                 "CSV error: record 3 (line: 4, byte: 12): found record with 1 fields, but the "
                 "previous record has 2 fields");
}

// The Python module raises these messages for output that is not UTF-8, naming the first byte
// that is not, as Python's own decoder would.
TEST(Pipeline, NamesWhereTheOutputStopsBeingUtf8) {
  EXPECT_FALSE(utf8_error("").has_value());
  EXPECT_FALSE(utf8_error("INSERT INTO \"t\" VALUES ('\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80');\n")
                   .has_value());
  const std::string ten(10, 'a');
  const std::pair<std::string, std::string_view> cases[] = {
      {"ab\xC3", "incomplete utf-8 byte sequence from index 2"},
      {ten + "\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 10"},
      {"ab\xFF"
       "cd",
       "invalid utf-8 sequence of 1 bytes from index 2"},
      {"'\xE6\x97x'", "invalid utf-8 sequence of 2 bytes from index 1"},
      {ten + "\xC3\xA9\xF0\x9F\x98x", "invalid utf-8 sequence of 3 bytes from index 12"},
  };
  for (const auto& [sql, message] : cases) {
    const std::optional<Error> error = utf8_error(sql);
    ASSERT_TRUE(error.has_value()) << message;
    EXPECT_EQ(error->kind, ErrorKind::Invalid);
    EXPECT_EQ(error->message, message);
  }
}

TEST(Pipeline, ConvertKeepsWhatWasWrittenBeforeAFailure) {
  MemorySource source("a\n1\n2\n\xFF\n");
  StringSink sink;
  auto options = check_options({.table_name = "t", .create_table = true});
  ASSERT_TRUE(options.has_value());
  auto status = convert::convert(source, sink, *options);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(sink.bytes(),
            "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"a\" BIGINT\n);\n\n"
            "INSERT INTO \"t\" (\"a\") VALUES (1);\nINSERT INTO \"t\" (\"a\") VALUES (2);\n");
}

// Every record types the table: a float after integers makes the column a float one, a code
// with a leading zero a text one whose values are all quoted, a column without a value TEXT.
TEST(SchemaFromAll, TypesEachColumnFromEveryRecord) {
  const auto csv =
      testing::convert_text("n,code,when,x\n40,007,2024-01-15,\n40.2,12,2024-01-15 10:30:00,\n",
                            {.create_table = true, .schema_from = SchemaFrom::All});
  EXPECT_EQ(csv.error, "");
  EXPECT_EQ(csv.sql,
            "CREATE TABLE IF NOT EXISTS \"morvel_table\" (\n  \"n\" DOUBLE PRECISION,\n  \"code\" "
            "TEXT,\n  \"when\" TIMESTAMPTZ,\n  \"x\" TEXT\n);\n\n"
            "INSERT INTO \"morvel_table\" (\"n\", \"code\", \"when\", \"x\") VALUES (40, '007', "
            "'2024-01-15', NULL);\n"
            "INSERT INTO \"morvel_table\" (\"n\", \"code\", \"when\", \"x\") VALUES (40.2, '12', "
            "'2024-01-15 10:30:00', NULL);\n");
  EXPECT_TRUE(csv.warnings.empty());
  // JSON records with keys of their own: the table has them all, each INSERT its record's.
  const auto json = testing::convert_text("{\"b\": 1}\n{\"a\": true, \"b\": 2.5}\n",
                                          {.format = Format::Json,
                                           .dialect = sql::Dialect::Sqlite,
                                           .create_table = true,
                                           .schema_from = SchemaFrom::All});
  EXPECT_EQ(json.sql,
            "CREATE TABLE IF NOT EXISTS \"morvel_table\" (\n  \"a\" INTEGER,\n  \"b\" REAL\n);\n\n"
            "INSERT INTO \"morvel_table\" (\"a\", \"b\") VALUES (NULL, 1);\n"
            "INSERT INTO \"morvel_table\" (\"a\", \"b\") VALUES (1, 2.5);\n");
}

// Every record has every column, a missing key NULL, so batches and COPY blocks run unbroken.
TEST(SchemaFromAll, GivesEveryRecordEveryColumn) {
  const std::string lines = "{\"b\": 1}\n{\"a\": true, \"b\": 2}\n{\"a\": false}\n";
  const ConversionOptions all{
      .format = Format::Json, .table_name = "t", .schema_from = SchemaFrom::All};
  ConversionOptions batched = all;
  batched.batch_size = 10;
  EXPECT_EQ(testing::convert_text(lines, batched).sql,
            "INSERT INTO \"t\" (\"a\", \"b\") VALUES\n(NULL, 1),\n(TRUE, 2),\n(FALSE, NULL);\n");
  ConversionOptions copied = all;
  copied.copy = true;
  EXPECT_EQ(testing::convert_text(lines, copied).sql,
            "COPY \"t\" (\"a\", \"b\") FROM stdin;\n\\N\t1\ntrue\t2\nfalse\t\\N\n\\.\n");
  // Without a header, a short record's missing fields too.
  EXPECT_EQ(testing::convert_text("1,2\n3\n", {.table_name = "t",
                                               .schema_from = SchemaFrom::All,
                                               .no_header = true,
                                               .allow_short_rows = true,
                                               .batch_size = 10})
                .sql,
            "INSERT INTO \"t\" (\"column_1\", \"column_2\") VALUES\n(1, 2),\n(3, NULL);\n");
}

// The type the table gives a column of `values`, one per record, typed from every record.
void expect_column_type(std::string_view values, sql::Dialect dialect, std::string_view type) {
  const auto converted = testing::convert_text(
      "v\n" + std::string(values),
      {.dialect = dialect, .create_table = true, .schema_from = SchemaFrom::All});
  const std::string sql = converted.sql;
  const std::size_t at = sql.find(" (\n  ") + 5;
  EXPECT_EQ(sql.substr(at, sql.find('\n', at) - at).substr(4), type) << values;
}

TEST(SchemaFromAll, TypesOnlyRealDatesAndTimesAsSuch) {
  constexpr sql::Dialect pg = sql::Dialect::Postgres;
  constexpr sql::Dialect mysql = sql::Dialect::Mysql;
  expect_column_type("2024-02-29\n0001-01-01\n", pg, "DATE");
  expect_column_type("2024-02-29\n2024-02-30\n", pg, "TEXT");
  expect_column_type("0000-01-01\n", pg, "TEXT");
  expect_column_type("2024-01-15\n2024-01-15 10:30:00+15:59\n", pg, "TIMESTAMPTZ");
  expect_column_type("2024-01-15 24:00:00\n", pg, "TEXT");
  expect_column_type("2024-01-15 and some words\n", pg, "TEXT");
  expect_column_type("2024-01-15T10:30:00+16:00\n", pg, "TEXT");
  expect_column_type("2024-01-15 10:30:00.1234567\n", pg, "TEXT");
  expect_column_type("2016-12-31 23:59:60\n", pg, "TIMESTAMPTZ");
  expect_column_type("2016-12-31 23:59:60\n", mysql, "TEXT");
  expect_column_type("2024-01-15 10:30:00\n2024-01-15\n", mysql, "DATETIME");
  expect_column_type("2024-01-15 10:30:00\n2024-01-15 10:30:00.5Z\n", mysql, "DATETIME(6)");
  expect_column_type("2024-01-15 10:30:00.5\n", pg, "TIMESTAMPTZ");
}

// The values written for `csv` with `options` under MySQL: the tuples of its INSERT statements.
std::vector<std::string> mysql_values(std::string_view csv, ConversionOptions options) {
  options.dialect = sql::Dialect::Mysql;
  std::vector<std::string> values;
  const std::string sql = testing::convert_text(csv, options).sql;
  for (std::size_t at = sql.find("VALUES ("); at != std::string::npos;
       at = sql.find("VALUES (", at + 1)) {
    values.push_back(sql.substr(at + 7, sql.find(';', at) - at - 7));
  }
  return values;
}

// MySQL refuses a zone in a DATETIME's text: in a column the script declared DATETIME, a time
// with one is written as the UTC time it stands for; elsewhere values stay as written.
TEST(Mysql, WritesZonedTimesOfItsOwnDatetimeColumnsInUtc) {
  using Values = std::vector<std::string>;
  const std::string csv =
      "t,x\n2024-03-01T09:15:00+02:00,2024-03-01T09:15:00Z\n"
      "2024-03-01 00:15:00.25-01:30,2024-03-01 09:15:00\n2016-12-31T23:59:60Z,a\n";
  EXPECT_EQ(mysql_values(csv, {.create_table = true}),
            (Values{"('2024-03-01 07:15:00', '2024-03-01 09:15:00')",
                    "('2024-03-01 01:45:00.25', '2024-03-01 09:15:00')",
                    "('2017-01-01 00:00:00', 'a')"}));
  EXPECT_EQ(mysql_values(csv, {}),
            (Values{"('2024-03-01T09:15:00+02:00', '2024-03-01T09:15:00Z')",
                    "('2024-03-01 00:15:00.25-01:30', '2024-03-01 09:15:00')",
                    "('2016-12-31T23:59:60Z', 'a')"}));
  // Typed from every record, x is text and keeps its values as written.
  EXPECT_EQ(mysql_values(csv, {.create_table = true, .schema_from = SchemaFrom::All})[0],
            "('2024-03-01 07:15:00', '2024-03-01T09:15:00Z')");
  // A leap second without a zone, which DATETIME refuses, makes its column text.
  EXPECT_EQ(mysql_values("t\n2016-12-31 23:59:60\n2024-03-01T09:15:00Z\n",
                         {.create_table = true, .schema_from = SchemaFrom::All}),
            (Values{"('2016-12-31 23:59:60')", "('2024-03-01T09:15:00Z')"}));
  // JSON records name their columns each time.
  EXPECT_EQ(
      mysql_values(
          "{\"t\": \"2024-03-01T09:15:00Z\"}\n{\"a\": 1, \"t\": \"2024-03-01T09:15:00+01\"}\n",
          {.format = Format::Json, .create_table = true}),
      (Values{"('2024-03-01 09:15:00')", "(1, '2024-03-01 08:15:00')"}));
}

// A value shaped like a date that is none fails a load into a DATE or timestamp column; told
// once per column, also without a table made, but not when every record types the columns.
TEST(SchemaFromFirst, WarnsOncePerColumnOfDatesThatAreNone) {
  const std::string csv = "d,t\n2024-02-30,2024-01-15 10:30:00\n2024-02-31,2024-01-15 24:00:00\n";
  EXPECT_EQ(testing::convert_text(csv, {}).warnings,
            (std::vector<std::string>{
                "column 'd' holds '2024-02-30' in record 1, shaped like a date but no real one, "
                "which a DATE column refuses; use --schema-from all to type each column from "
                "every record",
                "column 't' holds '2024-01-15 24:00:00' in record 2, shaped like a timestamp but "
                "no real one, which a timestamp column refuses; use --schema-from all to type "
                "each column from every record"}));
  EXPECT_TRUE(testing::convert_text(csv, {.schema_from = SchemaFrom::All}).warnings.empty());
}

// A failing record fails the same way as without the option, after the statements before it.
TEST(SchemaFromAll, FailsWhereTheRecordFails) {
  const auto failed =
      testing::convert_text("a\n1\nx,y\n", {.create_table = true, .schema_from = SchemaFrom::All});
  EXPECT_EQ(failed.error,
            "CSV error: record 2 (line: 3, byte: 4): found record with 2 fields, but the previous "
            "record has 1 fields");
  EXPECT_EQ(failed.sql,
            "CREATE TABLE IF NOT EXISTS \"morvel_table\" (\n  \"a\" BIGINT\n);\n\n"
            "INSERT INTO \"morvel_table\" (\"a\") VALUES (1);\n");
}

// A pipe is kept in a temporary file for the second reading; when the file cannot be made, that
// is the failure reported, in either format.
TEST(SchemaFromAll, ReportsWhyAPipeCannotBeKept) {
  const testing::TempDir directory;
  const std::string missing = directory.file("missing");
  const char* before = std::getenv("TMPDIR");
  const std::optional<std::string> saved =
      before ? std::optional<std::string>(before) : std::nullopt;
  ::setenv("TMPDIR", missing.c_str(), 1);
  for (const Format format : {Format::Csv, Format::Json}) {
    testing::ScriptedSource pipe(format == Format::Csv ? "a\n1\n" : "{\"a\":1}\n", 3);
    const auto failed = testing::convert_source(
        pipe, {.format = format, .create_table = true, .schema_from = SchemaFrom::All});
    EXPECT_EQ(failed.error, "the input could not be kept in a temporary file in '" + missing +
                                "' for a second reading: No such file or directory (os error 2)");
    EXPECT_EQ(failed.sql, "");
  }
  if (saved) {
    ::setenv("TMPDIR", saved->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

// Several files give the script of their concatenation (the headers but the first left out),
// however the reading is cut into pieces and spread over threads, file after file.
TEST(ManyFiles, GiveTheScriptOfTheirConcatenation) {
  const testing::TempDir directory;
  std::vector<std::string> paths;
  std::string whole = "id,name,score\n";
  for (int file = 0; file < 3; ++file) {
    std::string body;
    for (int i = 0; i < 400; ++i) {
      const int id = file * 1000 + i;
      body += std::to_string(id) + ",\"n," + std::to_string(id) + "\"," +
              (file == 2 && i == 5 ? "x" : std::to_string(i % 7)) + "\n";
    }
    paths.push_back(directory.file("part" + std::to_string(file) + ".csv"));
    std::ofstream(paths.back()) << "id,name,score\n" << body;
    whole += body;
  }
  for (const SchemaFrom schema_from : {SchemaFrom::First, SchemaFrom::All}) {
    for (const unsigned jobs : {1U, 2U}) {
      auto checked = check_options({.create_table = true,
                                    .schema_from = schema_from,
                                    .batch_size = 3,
                                    .transaction = true,
                                    .jobs = jobs});
      ASSERT_TRUE(checked.has_value());
      const readers::ReadLimits small{.piece_bytes = 256, .held_bytes = 0, .sharing_pieces = 1};
      StringSink many;
      ASSERT_TRUE(convert_files(paths, many, *checked, nullptr, small).has_value());
      MemorySource source(whole);
      StringSink one;
      ASSERT_TRUE(convert::convert(source, one, *checked, nullptr, small).has_value());
      EXPECT_EQ(many.take().view(), one.take().view()) << jobs;
    }
  }
}

// The parts of a run of two files, each file's text given, read in pieces of 256 bytes on `jobs`
// threads.
struct FilesRun {
  Status done;
  std::string sql;
  std::vector<std::string> warnings;
};

FilesRun convert_two(const testing::TempDir& directory, std::string_view first,
                     std::string_view second, ConversionOptions options) {
  const std::vector<std::string> paths = {directory.file("a.csv"), directory.file("b.csv")};
  std::ofstream(paths[0]) << first;
  std::ofstream(paths[1]) << second;
  auto checked = check_options(std::move(options));
  if (!checked) return {std::unexpected(checked.error()), {}, {}};
  const readers::ReadLimits small{.piece_bytes = 256, .held_bytes = 0, .sharing_pieces = 1};
  StringSink sink;
  testing::WarningsKept kept;
  FilesRun run{convert_files(paths, sink, *checked, &kept, small), {}, {}};
  run.sql = std::string(sink.take().view());
  run.warnings = std::move(kept.warnings);
  return run;
}

// Without a header the first file's first record says how many fields every record of every file
// has; a later file's record with another count is refused in one input's words, counted within
// its file, and nothing of it is written.
TEST(ManyFiles, HoldRecordsWithoutHeaderToTheFirstFilesWidth) {
  const testing::TempDir directory;
  std::string first;
  for (int i = 0; i < 300; ++i) first += std::to_string(i) + "," + std::to_string(i % 5) + "\n";
  for (const unsigned jobs : {1U, 2U}) {
    const auto alone = convert_two(directory, first, "", {.no_header = true, .jobs = jobs});
    ASSERT_TRUE(alone.done.has_value());
    for (const auto& [second, fields] : {std::pair{"5,6,7\n8,9,10\n", 3}, {"5\n", 1}}) {
      const auto run = convert_two(directory, first, second, {.no_header = true, .jobs = jobs});
      ASSERT_FALSE(run.done.has_value());
      EXPECT_EQ(run.done.error().input, directory.file("b.csv"));
      EXPECT_EQ(run.done.error().message,
                "CSV error: record 1 (line: 1, byte: 0): found record with " +
                    std::to_string(fields) + " fields, but the previous record has 2 fields");
      EXPECT_EQ(run.sql, alone.sql) << jobs;
    }
    // With short records allowed each record has its own columns, as in one input.
    const auto ragged = convert_two(directory, first, "5,6,7\n8\n",
                                    {.no_header = true, .allow_short_rows = true, .jobs = jobs});
    ASSERT_TRUE(ragged.done.has_value());
    EXPECT_TRUE(ragged.sql.ends_with(
        "INSERT INTO \"morvel_table\" (\"column_1\", \"column_2\", \"column_3\") VALUES (5, 6, "
        "7);\nINSERT INTO \"morvel_table\" (\"column_1\") VALUES (8);\n"))
        << ragged.sql;
  }
}

// A warning names the file of its record and counts the record within it, whether the record was
// read on the reading's thread or in a piece on another.
TEST(ManyFiles, WarnOfTheRecordInItsOwnFile) {
  const testing::TempDir directory;
  const std::string header = "id,score\n";
  std::string first = header;
  std::string second = header;
  for (int i = 0; i < 300; ++i) {
    first += std::to_string(i) + ",1\n";
    second += std::to_string(i) + (i == 199 ? ",2.5\n" : ",1\n");
  }
  for (const unsigned jobs : {1U, 2U}) {
    const auto run = convert_two(directory, first, second, {.create_table = true, .jobs = jobs});
    ASSERT_TRUE(run.done.has_value());
    EXPECT_EQ(run.warnings, (std::vector<std::string>{
                                directory.file("b.csv") +
                                ": column 'score' is BIGINT from the first record, but record 200 "
                                "holds '2.5', which BIGINT cannot keep; use --schema-from all to "
                                "type each column from every record"}))
        << jobs;
  }
}

// The table from the first record stays as it was; what it cannot keep is told once per column.
TEST(SchemaFromFirst, WarnsOncePerColumnOfWhatTheTableLoses) {
  const auto csv = testing::convert_text("n,f,b\n40,1.5,true\n40.2,2,yes\n41.5,x,no\n",
                                         {.dialect = sql::Dialect::Mysql, .create_table = true});
  EXPECT_EQ(csv.warnings,
            (std::vector<std::string>{
                "column 'n' is BIGINT from the first record, but record 2 holds '40.2', which "
                "BIGINT cannot keep; use --schema-from all to type each column from every record",
                "column 'b' is BOOLEAN from the first record, but record 2 holds 'yes', which "
                "BOOLEAN cannot keep; use --schema-from all to type each column from every record",
                "column 'f' is DOUBLE from the first record, but record 3 holds 'x', which DOUBLE "
                "cannot keep; use --schema-from all to type each column from every record"}));
  const auto json = testing::convert_text("{\"a\": 1}\n{\"a\": 2, \"b\": 3}\n{\"b\": 4}\n",
                                          {.format = Format::Json, .create_table = true});
  EXPECT_EQ(json.warnings, (std::vector<std::string>{
                               "record 2 has a column 'b' that the table, made from the first "
                               "record, lacks; use --schema-from all to make the table from every "
                               "record"}));
  // Without a table to lose values there is nothing to say.
  EXPECT_TRUE(testing::convert_text("n\n40\n40.2\n", {}).warnings.empty());
}

// A number whose text the database does not keep is told once per column, table or not, and
// the SQL stays as it was.
TEST(SchemaFromFirst, WarnsOncePerColumnOfNumbersWhoseTextChanges) {
  const std::string code_advice =
      ", written as a number: the database keeps its value, not its text; use --schema-from all "
      "to keep such values as text";
  for (const bool create_table : {false, true}) {
    const auto csv = testing::convert_text("zip,n,ean\n02134,1.5,1\n+7,1E5,12345678901234567890\n",
                                           {.create_table = create_table});
    EXPECT_EQ(csv.error, "");
    EXPECT_NE(csv.sql.find("VALUES (+7, 1E5, 12345678901234567890);"), std::string::npos);
    std::vector<std::string> expected = {"column 'zip' holds '02134' in record 1" + code_advice,
                                         "column 'n' holds '1E5' in record 2" + code_advice};
    // A BIGINT column says that it cannot keep the long integer, and that says enough.
    expected.push_back(
        create_table
            ? "column 'ean' is BIGINT from the first record, but record 2 holds "
              "'12345678901234567890', which BIGINT cannot keep; use --schema-from all to type "
              "each column from every record"
            : "column 'ean' holds '12345678901234567890' in record 2, an integer beyond 64 bits, "
              "written as a float: a float column keeps only its first 15 to 17 digits; use "
              "--schema-from all to keep every digit");
    if (create_table) std::swap(expected[1], expected[2]);
    EXPECT_EQ(csv.warnings, expected);
  }
  // A text column, which keeps a decimal as written, says nothing of it.
  EXPECT_TRUE(testing::convert_text("a\nn/a\n72000.5\n", {.create_table = true}).warnings.empty());
}

// Numbers a double cannot hold go in an exact column, each written with every digit; codes in a
// text one.
TEST(SchemaFromAll, KeepsEveryDigitInAnExactColumn) {
  const std::string csv =
      "id,amount,zip\n12345678901234567890,1.5,+7\n7,12345678901234567.89,1E5\n";
  const auto expect = [&](std::string_view input, Format format, Dialect dialect,
                          std::string_view expected) {
    const auto converted = testing::convert_text(input, {.format = format,
                                                         .dialect = dialect,
                                                         .create_table = true,
                                                         .schema_from = SchemaFrom::All});
    EXPECT_EQ(converted.error, "");
    EXPECT_EQ(converted.sql, expected);
    EXPECT_TRUE(converted.warnings.empty());
  };
  expect(csv, Format::Csv, Dialect::Postgres,
         "CREATE TABLE IF NOT EXISTS \"morvel_table\" (\n  \"id\" NUMERIC,\n  \"amount\" NUMERIC,\n"
         "  \"zip\" TEXT\n);\n\n"
         "INSERT INTO \"morvel_table\" (\"id\", \"amount\", \"zip\") VALUES "
         "(12345678901234567890, 1.5, '+7');\n"
         "INSERT INTO \"morvel_table\" (\"id\", \"amount\", \"zip\") VALUES "
         "(7, 12345678901234567.89, '1E5');\n");
  expect(csv, Format::Csv, Dialect::Mysql,
         "CREATE TABLE IF NOT EXISTS `morvel_table` (\n  `id` TEXT,\n  `amount` TEXT,\n"
         "  `zip` TEXT\n);\n\n"
         "INSERT INTO `morvel_table` (`id`, `amount`, `zip`) VALUES "
         "('12345678901234567890', '1.5', '+7');\n"
         "INSERT INTO `morvel_table` (`id`, `amount`, `zip`) VALUES "
         "('7', '12345678901234567.89', '1E5');\n");
}

// A JSON number that a double cannot hold is written as the double, as it always was, and told
// once per column; typed from every record, it keeps its own text in an exact column.
TEST(SchemaFromFirst, TellsWhatJsonNumbersBecame) {
  const std::string json =
      "{\"amount\": 12345678901234567.89, \"id\": 98765432109876543210, \"tiny\": 1e-400}\n"
      "{\"amount\": 1.00000000000000000001, \"id\": 1, \"tiny\": 2e-400}\n";
  const auto rounded = testing::convert_text(json, {.format = Format::Json, .table_name = "t"});
  EXPECT_EQ(rounded.sql,
            "INSERT INTO \"t\" (\"amount\", \"id\", \"tiny\") VALUES (1.2345678901234568e+16, "
            "9.876543210987654e+19, 0.0);\n"
            "INSERT INTO \"t\" (\"amount\", \"id\", \"tiny\") VALUES (1.0, 1, 0.0);\n");
  const std::string advice = "; use --schema-from all to keep every digit";
  EXPECT_EQ(rounded.warnings,
            (std::vector<std::string>{
                "column 'amount' holds '12345678901234567.89' in record 1, which a double cannot "
                "hold: it is written as 1.2345678901234568e+16" +
                    advice,
                "column 'id' holds '98765432109876543210' in record 1, which a double cannot "
                "hold: it is written as 9.876543210987654e+19" +
                    advice,
                "column 'tiny' holds '1e-400' in record 1, which a double cannot hold: it is "
                "written as 0.0" +
                    advice}));
  const auto exact = testing::convert_text(json, {.format = Format::Json,
                                                  .table_name = "t",
                                                  .dialect = Dialect::Sqlite,
                                                  .create_table = true,
                                                  .schema_from = SchemaFrom::All});
  EXPECT_EQ(exact.sql,
            "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"amount\" TEXT,\n  \"id\" TEXT,\n"
            "  \"tiny\" TEXT\n);\n\n"
            "INSERT INTO \"t\" (\"amount\", \"id\", \"tiny\") VALUES ('12345678901234567.89', "
            "'98765432109876543210', '1e-400');\n"
            "INSERT INTO \"t\" (\"amount\", \"id\", \"tiny\") VALUES ('1.00000000000000000001', "
            "'1', '2e-400');\n");
  EXPECT_TRUE(exact.warnings.empty());
}

TEST(Options, RefusesCsvOptionsForJson) {
  for (ConversionOptions options :
       {ConversionOptions{.format = Format::Json, .delimiter = readers::Delimiter{';', false}},
        ConversionOptions{.format = Format::Json, .skip_lines = 1},
        ConversionOptions{.format = Format::Json, .no_header = true}}) {
    EXPECT_EQ(check_options(options).error().message,
              "the delimiter, comment, skip-lines, no-header and short-rows options are for CSV "
              "input, not JSON");
  }
  EXPECT_EQ(
      check_options({.delimiter = readers::Delimiter{'#', false}, .comment = '#'}).error().message,
      "the comment character is the delimiter");
}

TEST(Loading, BatchesRowsUntilFullOrTheColumnsChange) {
  EXPECT_EQ(testing::convert_text("a\n1\n2\n3\n", {.table_name = "t", .batch_size = 2}).sql,
            "INSERT INTO \"t\" (\"a\") VALUES\n(1),\n(2);\n"
            "INSERT INTO \"t\" (\"a\") VALUES\n(3);\n");
  EXPECT_EQ(testing::convert_text("{\"a\":1}\n{\"a\":2}\n{\"b\":3}\n{\"b\":4}\n",
                                  {.format = Format::Json, .table_name = "t", .batch_size = 10})
                .sql,
            "INSERT INTO \"t\" (\"a\") VALUES\n(1),\n(2);\n"
            "INSERT INTO \"t\" (\"b\") VALUES\n(3),\n(4);\n");
  // A bad record ends the batch in progress after the last good one.
  const auto bad = testing::convert_text("a\n1\n2\nx,y\n", {.table_name = "t", .batch_size = 5});
  EXPECT_EQ(bad.sql, "INSERT INTO \"t\" (\"a\") VALUES\n(1),\n(2);\n");
  EXPECT_EQ(bad.error,
            "CSV error: record 3 (line: 4, byte: 6): found record with 2 fields, but the previous "
            "record has 1 fields");
}

TEST(Loading, WrapsTheScriptInATransactionThatAFailureLeavesOpen) {
  const std::string create = "CREATE TABLE IF NOT EXISTS \"t\" (\n  \"a\" BIGINT\n);\n\n";
  EXPECT_EQ(testing::convert_text("a\n1\n",
                                  {.table_name = "t", .create_table = true, .transaction = true})
                .sql,
            "BEGIN;\n" + create + "INSERT INTO \"t\" (\"a\") VALUES (1);\nCOMMIT;\n");
  // MySQL commits a CREATE TABLE on its own: the transaction starts after it.
  EXPECT_EQ(
      testing::convert_text(
          "a\n1\n",
          {.table_name = "t", .dialect = Dialect::Mysql, .create_table = true, .transaction = true})
          .sql,
      "CREATE TABLE IF NOT EXISTS `t` (\n  `a` BIGINT\n);\n\nSTART TRANSACTION;\n"
      "INSERT INTO `t` (`a`) VALUES (1);\nCOMMIT;\n");
  EXPECT_EQ(testing::convert_text("a\n1\nx,y\n", {.table_name = "t", .transaction = true}).sql,
            "BEGIN;\nINSERT INTO \"t\" (\"a\") VALUES (1);\n");
  EXPECT_EQ(testing::convert_text("a\n", {.transaction = true}).sql, "");
}

TEST(Loading, WritesCopyBlocksInTheTextFormat) {
  const auto [sql, error, warnings, hint] = testing::convert_text(
      "{\"n\":1,\"s\":\"tab\\there\\\\ \\r\\n.\",\"b\":true}\n{\"n\":2,\"s\":null,\"b\":"
      "false}\n{\"z\":\"\\u0000\"}\n[]\n{\"z\":",
      {.format = Format::Json, .table_name = "t", .copy = true});
  EXPECT_EQ(sql,
            "COPY \"t\" (\"b\", \"n\", \"s\") FROM stdin;\n"
            "true\t1\ttab\\there\\\\ \\r\\n.\n"
            "false\t2\t\\N\n"
            "\\.\n"
            "COPY \"t\" (\"z\") FROM stdin;\n"
            "\\000\n"
            "\\.\n");
  EXPECT_EQ(error, "EOF while parsing a value at line 5 column 5");
}

TEST(Loading, EndsAPostgresBatchBeforeAKeyItHoldsWhenRowsReplace) {
  const auto batches = [](Dialect dialect) {
    const std::string sql =
        testing::convert_text("a,b\n1,x\n2,y\n01,z\n3,w\n", {.table_name = "t",
                                                             .dialect = dialect,
                                                             .create_table = true,
                                                             .primary_key = "a",
                                                             .batch_size = 10,
                                                             .on_conflict = OnConflict::Replace})
            .sql;
    return sql.substr(sql.find(";\n\n") + 3);
  };
  const std::string update = " ON CONFLICT (\"a\") DO UPDATE SET \"b\" = EXCLUDED.\"b\";\n";
  EXPECT_EQ(batches(Dialect::Postgres),
            "INSERT INTO \"t\" (\"a\", \"b\") VALUES\n(1, 'x'),\n(2, 'y')" + update +
                "INSERT INTO \"t\" (\"a\", \"b\") VALUES\n(01, 'z'),\n(3, 'w')" + update);
  // The others take a key twice in one statement, the last row winning.
  EXPECT_EQ(batches(Dialect::Sqlite),
            "INSERT OR REPLACE INTO \"t\" (\"a\", \"b\") VALUES\n(1, 'x'),\n(2, 'y'),\n"
            "(01, 'z'),\n(3, 'w');\n");
}

// Whether two key values, typed as the readers type them, get the same form.
bool same_key_form(std::string_view a, std::string_view b) {
  std::string form_a;
  std::string form_b;
  append_key_form(form_a, a, DataType::infer(a));
  append_key_form(form_b, b, DataType::infer(b));
  return form_a == form_b;
}

TEST(Loading, GivesKeysPostgresReadsAsOneValueOneForm) {
  using Pair = std::pair<std::string_view, std::string_view>;
  for (const auto& [a, b] : std::initializer_list<Pair>{
           {"1", "01"},
           {"1", "1.0"},
           {"1", "+1"},
           {"100", "1e2"},
           {"0", "-0.0"},
           {"NaN", "nan"},
           {"Infinity", "inf"},
           {"t", "TRUE"},
           {"yes", "on"},
           {"off", "f"},
           {"a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11", "{A0EEBC999C0B4EF8BB6D6BB9BD380A11}"},
           {"2024-01-01T10:00:00Z", "2024-01-01 12:00:00+02:00"},
           {"2024-01-01T10:00:00.50Z", "2024-01-01 05:30:00.5-0430"},
           {"2024-01-01", "2024-01-01 00:00"},
           {" x ", "x"}}) {
    EXPECT_TRUE(same_key_form(a, b)) << a << " and " << b;
  }
  for (const auto& [a, b] :
       std::initializer_list<Pair>{{"1", "2"},
                                   {"1", "1.5"},
                                   {"x", "y"},
                                   {"true", "false"},
                                   {"ab", "a b"},
                                   {"2024-01-01T10:00:00Z", "2024-01-01T10:00:00+01:00"},
                                   {"2024-01-01", "2024-01-02"}}) {
    EXPECT_FALSE(same_key_form(a, b)) << a << " and " << b;
  }
}

TEST(Loading, HandlesConflictsTheDialectsWay) {
  // The statement after the CREATE TABLE one.
  const auto conflict = [](Dialect dialect, OnConflict on_conflict, std::uint64_t batch) {
    const std::string sql = testing::convert_text("id,n\n1,a\n", {.table_name = "t",
                                                                  .dialect = dialect,
                                                                  .create_table = true,
                                                                  .primary_key = "id",
                                                                  .batch_size = batch,
                                                                  .on_conflict = on_conflict})
                                .sql;
    return sql.substr(sql.find(";\n\n") + 3);
  };
  EXPECT_EQ(conflict(Dialect::Postgres, OnConflict::Ignore, 1),
            "INSERT INTO \"t\" (\"id\", \"n\") VALUES (1, 'a') ON CONFLICT DO NOTHING;\n");
  EXPECT_EQ(conflict(Dialect::Postgres, OnConflict::Replace, 2),
            "INSERT INTO \"t\" (\"id\", \"n\") VALUES\n(1, 'a') ON CONFLICT (\"id\") DO UPDATE SET "
            "\"n\" = EXCLUDED.\"n\";\n");
  EXPECT_EQ(conflict(Dialect::Sqlite, OnConflict::Ignore, 1),
            "INSERT OR IGNORE INTO \"t\" (\"id\", \"n\") VALUES (1, 'a');\n");
  EXPECT_EQ(conflict(Dialect::Sqlite, OnConflict::Replace, 1),
            "INSERT OR REPLACE INTO \"t\" (\"id\", \"n\") VALUES (1, 'a');\n");
  EXPECT_EQ(conflict(Dialect::Mysql, OnConflict::Ignore, 1),
            "INSERT IGNORE INTO `t` (`id`, `n`) VALUES (1, 'a');\n");
  EXPECT_EQ(conflict(Dialect::Mysql, OnConflict::Replace, 1),
            "REPLACE INTO `t` (`id`, `n`) VALUES (1, 'a');\n");
}

TEST(Loading, RefusesWhatCannotLoad) {
  const std::pair<ConversionOptions, std::string_view> cases[] = {
      {{.batch_size = 0}, "a batch holds 1 to 100000 records, not 0"},
      {{.batch_size = 100001}, "a batch holds 1 to 100000 records, not 100001"},
      {{.dialect = Dialect::Sqlite, .copy = true},
       "COPY is PostgreSQL's: use it with the postgres dialect"},
      {{.on_conflict = OnConflict::Replace},
       "replacing rows on conflict in PostgreSQL needs the key columns: create the table with a "
       "primary key"},
  };
  for (const auto& [options, message] : cases) {
    EXPECT_EQ(testing::convert_text("a\n1\n", options).error, message);
  }
}

}  // namespace
}  // namespace morvel
