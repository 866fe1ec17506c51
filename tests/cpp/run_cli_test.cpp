#include "cli/run_cli.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;
using cli::run_cli;

namespace fs = std::filesystem;

using testing::TempDir;

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// Closes the write end of `pipe_fds` and reads the pipe to its end.
std::string drain(const int (&pipe_fds)[2]) {
  ::close(pipe_fds[1]);
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
  ::close(pipe_fds[0]);
  return bytes;
}

struct Outcome {
  std::optional<int> status;
  std::string out;  // empty when `out_fd` was given
  std::string err;
};

// Runs "morvel" + `arguments` with standard error on a pipe, standard output on a pipe unless
// `out_fd` is given, and standard input from `in_fd`, else a pipe holding `input`. Everything
// must fit in a pipe's buffer.
Outcome run(std::vector<std::string> arguments, std::string_view input = "", int out_fd = -1,
            int in_fd = -1) {
  arguments.insert(arguments.begin(), "morvel");
  int in[2], out[2], err[2];
  EXPECT_EQ(::pipe(in) | ::pipe(out) | ::pipe(err), 0);
  EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(in[1]);
  Outcome outcome;
  outcome.status =
      run_cli(arguments, in_fd < 0 ? in[0] : in_fd, out_fd < 0 ? out[1] : out_fd, err[1]);
  ::close(in[0]);
  outcome.out = drain(out);
  outcome.err = drain(err);
  return outcome;
}

void expect_failure(const Outcome& outcome, std::string_view message) {
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "morvel: " + std::string(message) + "\n");
}

const std::string people_csv = "id,name\n1,Ann\n2,O'Brien\n";
const std::string people_sql =
    "INSERT INTO \"morvel_table\" (\"id\", \"name\") VALUES (1, 'Ann');\n"
    "INSERT INTO \"morvel_table\" (\"id\", \"name\") VALUES (2, 'O''Brien');\n";

TEST(CliMain, ConvertsStandardStreamsAndFiles) {
  const Outcome piped = run({}, people_csv);
  EXPECT_EQ(piped.status, std::nullopt);
  EXPECT_EQ(piped.out, people_sql);
  EXPECT_EQ(piped.err, "");
  TempDir dir;
  write_file(dir.file("in.csv"), "n\n7\n");
  write_file(dir.file("out.sql"), std::string(20000, 'x'));  // longer than the result
  const Outcome files = run({"-i", dir.file("in.csv"), "-o", dir.file("out.sql"), "-d", "mysql"},
                            "stdin,is\nnot,read\n");
  EXPECT_EQ(files.status, std::nullopt);
  EXPECT_EQ(files.out + files.err, "");
  EXPECT_EQ(read_file(dir.file("out.sql")), "INSERT INTO `morvel_table` (`n`) VALUES (7);\n");
}

TEST(CliMain, LoadsIntoADatabaseWithoutAWord) {
  TempDir dir;
  const std::string to = "sqlite:///" + dir.file("people.db");
  const Outcome loaded = run({"--to", to, "--create-table", "-k", "id"}, people_csv);
  EXPECT_EQ(loaded.status, std::nullopt);
  EXPECT_EQ(loaded.out + loaded.err, "");
  expect_failure(run({"--to", to, "--create-table", "-k", "id"}, "id,name\n3,Cy\n1,Ann\n"),
                 "record 2 (line: 3, byte: 13): SQLite: UNIQUE constraint failed: "
                 "morvel_table.id");
  expect_failure(run({"--to", "sqlite:///" + dir.file("no/such/dir.db")}, people_csv),
                 "cannot open the SQLite database '" + dir.file("no/such/dir.db") +
                     "': unable to open database file");
  expect_failure(run({"--to", to, "-i", dir.file("missing.csv")}),
                 "No such file or directory (os error 2)");
}

TEST(CliMain, KeepsTheStatementsBeforeABadRecord) {
  TempDir dir;
  std::string csv = "n\n";
  std::string sql;
  for (int n = 1; n <= 9; ++n) {
    csv += std::to_string(n) + "\n";
    sql += "INSERT INTO \"morvel_table\" (\"n\") VALUES (" + std::to_string(n) + ");\n";
  }
  write_file(dir.file("in.csv"), csv + "10,extra\n11\n");
  const std::string message =
      "CSV error: record 10 (line: 11, byte: 20): found record with 2 fields, but the previous "
      "record has 1 fields";
  expect_failure(run({"-i", dir.file("in.csv"), "-o", dir.file("out.sql")}), message);
  EXPECT_EQ(read_file(dir.file("out.sql")), sql);
  // With both streams on one descriptor, as after "2>&1", the message follows the statements.
  int both[2];
  ASSERT_EQ(::pipe(both), 0);
  EXPECT_EQ(run_cli({"morvel", "-i", dir.file("in.csv")}, -1, both[1], both[1]), 1);
  EXPECT_EQ(drain(both), sql + "morvel: " + message + "\n");
}

TEST(CliMain, ChecksEverythingBeforeTouchingTheOutput) {
  TempDir dir;
  const std::string kept = dir.file("kept.sql");
  const std::string absent = dir.file("absent.sql");
  write_file(kept, "keep me\n");
  const std::string missing = "No such file or directory (os error 2)";
  for (const std::string& output : {kept, absent}) {
    expect_failure(run({"-i", dir.file("missing.csv"), "-o", output}), missing);
    expect_failure(run({"-o", output, "--create-table", "-k", ""}, people_csv),
                   "primary key column list is empty");
    EXPECT_EQ(run({"-o", output, "--auto-id"}, people_csv).status, 2);
    // A Python caller can pass a table name no shell can.
    expect_failure(run({"-o", output, "-t", std::string("t\0", 2)}, people_csv),
                   "table name 't\\0' contains a NUL character, which no SQL identifier can hold");
  }
  EXPECT_FALSE(fs::exists(absent));
  EXPECT_EQ(read_file(kept), "keep me\n");
}

TEST(CliMain, RefusesAnOutputThatIsTheInput) {
  TempDir dir;
  const std::string data = dir.file("data.csv");
  write_file(data, people_csv);
  fs::create_directory(dir.file("sub"));
  fs::create_hard_link(data, dir.file("link.csv"));
  for (const std::string& output : {data, dir.file("sub/../data.csv"), dir.file("link.csv")}) {
    expect_failure(run({"-i", data, "-o", output}),
                   "input and output are the same file '" + output + "'");
  }
  const int redirected = ::open(data.c_str(), O_RDONLY);  // standard input from the file
  expect_failure(run({"-o", data}, "", -1, redirected),
                 "input and output are the same file '" + data + "'");
  ::close(redirected);
  EXPECT_EQ(read_file(data), people_csv);
  // Only a regular file would lose its content; a device on both sides is harmless.
  EXPECT_EQ(run({"-i", "/dev/null", "-o", "/dev/null"}).status, std::nullopt);
}

TEST(CliMain, ReportsWriteFailures) {
  const int full = ::open("/dev/full", O_WRONLY);
  const std::string no_space = "No space left on device (os error 28)";
  expect_failure(run({}, people_csv, full), no_space);
  expect_failure(run({"-o", "/dev/full"}, people_csv), no_space);
  expect_failure(run({"--help"}, "", full), no_space);
  ::close(full);
}

TEST(CliMain, SendsHelpVersionAndUsageErrorsToTheirStreams) {
  const Outcome help = run({"--help"}, people_csv);
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Turn raw data into ready-to-run SQL.\n")) << help.out;
  const Outcome version = run({"-V"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out + version.err, "morvel 1.1.0\n");
  const Outcome usage = run({"--verbose"}, people_csv);
  EXPECT_EQ(usage.status, 2);
  EXPECT_TRUE(usage.err.starts_with("error: unexpected argument '--verbose'\n")) << usage.err;
  EXPECT_EQ(help.err + usage.out, "");
}

// A monitor that stops the run the first time it is asked.
class Stopper final : public Monitor {
 public:
  Status check() override {
    ++calls;
    return std::unexpected(Error{ErrorKind::Interrupted, "interrupted"});
  }
  void warn(Notice) override {}
  int calls = 0;
};

// A reader that closed the output pipe and a stop the caller asked for end the run quietly,
// with the statuses a shell shows for SIGPIPE and SIGINT.
TEST(CliMain, StopsQuietlyForAClosedPipeAndWhenAsked) {
  ::signal(SIGPIPE, SIG_IGN);
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  ::close(out[0]);
  const Outcome closed = run({}, people_csv, out[1]);
  EXPECT_EQ(closed.status, 141);
  EXPECT_EQ(closed.err, "");
  const Outcome help_closed = run({"--help"}, "", out[1]);
  EXPECT_EQ(help_closed.status, 141);
  EXPECT_EQ(help_closed.err, "");
  ::close(out[1]);

  // Six megabytes of input pass a checkpoint, where the monitor is asked.
  std::string big = "a,b\n";
  while (big.size() < 6 * 1024 * 1024) big += "1,2\n";
  TempDir dir;
  write_file(dir.file("big.csv"), big);
  int err[2];
  ASSERT_EQ(::pipe(err), 0);
  Stopper stopper;
  const auto status = run_cli({"morvel", "-i", dir.file("big.csv"), "-o", dir.file("out.sql")}, 0,
                              1, err[1], &stopper);
  EXPECT_EQ(status, 130);
  EXPECT_GE(stopper.calls, 1);
  EXPECT_EQ(drain(err), "");
  EXPECT_LT(read_file(dir.file("out.sql")).size(), 2 * big.size());
}

const std::string usage_tail =
    "Usage: morvel [OPTIONS] [INPUT...]\nRun with --help for more information.\n";

// Runs "morvel" + `arguments` over `input` and compares the whole outcome.
void expect_run(std::vector<std::string> arguments, std::string_view input, std::string_view out,
                std::string_view err, std::optional<int> status = std::nullopt) {
  const Outcome outcome = run(arguments, input);
  EXPECT_EQ(outcome.out, out) << input;
  EXPECT_EQ(outcome.err, err) << input;
  EXPECT_EQ(outcome.status, status) << input;
}

std::string insert(std::string_view columns, std::string_view values) {
  return "INSERT INTO \"morvel_table\" (" + std::string(columns) + ") VALUES (" +
         std::string(values) + ");\n";
}

TEST(CliMain, MakesHeaderNamesTheEnginesTake) {
  const std::string two = insert(R"("column_1", "a")", "1, 2");
  expect_run({}, ",a\n1,2\n", insert(R"("", "a")", "1, 2"),
             "morvel: warning: column 1 of the CSV header has no name, which PostgreSQL and MySQL "
             "refuse; use --fix-names to name it column_1\n");
  expect_run({"-d", "sqlite"}, ",a\n1,2\n",
             "INSERT INTO \"morvel_table\" (\"\", \"a\") VALUES (1, 2);\n", "");
  expect_run({"--fix-names"}, ",a\n1,2\n", two,
             "morvel: warning: header names renamed: '' (column 1) to 'column_1'\n");
  expect_run({"--fix-names"}, "a,b,a,a_2,\n1,2,3,4,5\n",
             insert(R"("a", "b", "a_3", "a_2", "column_5")", "1, 2, 3, 4, 5"),
             "morvel: warning: header names renamed: 'a' (column 3) to 'a_3', '' (column 5) to "
             "'column_5'\n");
  // SQLite and MySQL take names that differ in letter case alone for one name.
  expect_run({}, "a,A\n1,2\n", insert(R"("a", "A")", "1, 2"), "");
  expect_run({"-d", "sqlite"}, "a,A\n1,2\n", "",
             "morvel: duplicate column name 'A' in CSV header\n", 1);
  expect_run({"-d", "mysql", "--fix-names"}, "a,A\n1,2\n",
             "INSERT INTO `morvel_table` (`a`, `A_2`) VALUES (1, 2);\n",
             "morvel: warning: header names renamed: 'A' (column 2) to 'A_2'\n");
  // The auto id's column comes first.
  expect_run({"-d", "sqlite", "--create-table", "--auto-id"}, "ID,x\n1,2\n", "",
             "morvel: cannot add an auto id: the data already has a column named 'ID', which "
             "sqlite takes for 'id'\n",
             1);
  expect_run({"--create-table", "--auto-id", "--fix-names"}, "id,x\n1,2\n",
             "CREATE TABLE IF NOT EXISTS \"morvel_table\" (\n  \"id\" BIGSERIAL PRIMARY KEY,\n  "
             "\"id_2\" BIGINT,\n  \"x\" BIGINT\n);\n\n" +
                 insert(R"("id_2", "x")", "1, 2"),
             "morvel: warning: header names renamed: 'id' (column 1) to 'id_2'\n");
}

TEST(CliMain, ReadsRowNames) {
  const std::string rows =
      insert(R"("row_names", "a")", "'r1', 1") + insert(R"("row_names", "a")", "'r2', 2");
  // R's write.table leaves the row names unnamed; pandas and write.csv name them "".
  expect_run({"--row-names"}, "\"a\"\n\"r1\",1\n\"r2\",2\n", rows, "");
  expect_run({"--row-names"}, ",a\nr1,1\nr2,2\n", rows, "");
  expect_run({"--row-names", "--fix-names"}, "row_names\nr1,1\n",
             insert(R"("row_names", "row_names_2")", "'r1', 1"),
             "morvel: warning: header names renamed: 'row_names' (column 2) to 'row_names_2'\n");
  expect_run({"--row-names", "--no-header"}, "", "",
             "error: '--row-names' cannot be used with '--no-header'\n" + usage_tail, 2);
  expect_run({"-f", "json", "--fix-names"}, "", "",
             "error: the fix-names and row-names options are for CSV input, not JSON: a JSON "
             "record's keys are its own\n" +
                 usage_tail,
             2);
}

TEST(CliMain, HintsAtTheLikelyCause) {
  const std::string longer = "found record with 3 fields, but the previous record has 2 fields\n";
  expect_run({}, "\"a\",\"b\"\n\"r1\",1,2\n\"r2\",3,4\n", "",
             "morvel: CSV error: record 1 (line: 2, byte: 8): " + longer +
                 "morvel: hint: the first record has one field more than the header, as R writes "
                 "row names: use --row-names to read them into a column row_names\n",
             1);
  // A lone longer record is a stray delimiter, not a sign of row names or of a title.
  expect_run({}, "a,b\n1,2,3\n4,5\n", "",
             "morvel: CSV error: record 1 (line: 2, byte: 4): " + longer, 1);
  expect_run({}, "Sales\n\nby region\nid,n\n1,2\n", insert(R"("Sales")", "'by region'"),
             "morvel: CSV error: record 2 (line: 4, byte: 17): found record with 2 fields, but the "
             "previous record has 1 fields\nmorvel: hint: one-field lines above the header look "
             "like a title: use --skip-lines 3 to skip them\n",
             1);
  expect_run({"--skip-lines", "2"}, "Sales\n\nby region\nid,n\n1,2\n", "",
             "morvel: CSV error: record 1 (line: 4, byte: 17): found record with 2 fields, but "
             "the previous record has 1 fields\nmorvel: hint: one-field lines above the header "
             "look like a title: use --skip-lines 3 to skip them\n",
             1);
  expect_run({"--skip-lines", "3"}, "Sales\n\nby region\nid,n\n1,2\n",
             insert(R"("id", "n")", "1, 2"), "");
  // Lines that end in a lone CR are counted as lines, for the error and for the hint alike.
  expect_run({}, "Sales\r\rby region\rid,n\r1,2\r", insert(R"("Sales")", "'by region'"),
             "morvel: CSV error: record 2 (line: 4, byte: 17): found record with 2 fields, but the "
             "previous record has 1 fields\nmorvel: hint: one-field lines above the header look "
             "like a title: use --skip-lines 3 to skip them\n",
             1);
  expect_run(
      {}, "size\r\n5\" screen\r\n", "",
      "morvel: Malformed CSV: unbalanced quotes detected\nmorvel: hint: the quote at line 2, "
      "byte 7 is never closed\n",
      1);
  const std::string bad_field =
      "morvel: CSV parse error: record 1 (line 2, field: 0, byte: 2): invalid utf-8: invalid "
      "UTF-8 in field 0 near byte index 3\n";
  expect_run({}, "a\ncaf\xE9\n", "",
             bad_field +
                 "morvel: hint: the input is not UTF-8; if it is Latin-1, use --encoding "
                 "latin1\n",
             1);
  expect_run({}, "a\n\x93q\x94\n", "",
             "morvel: CSV parse error: record 1 (line 2, field: 0, byte: 2): invalid utf-8: "
             "invalid UTF-8 in field 0 near byte index 0\nmorvel: hint: the input is not UTF-8; "
             "if it is Windows-1252, use --encoding cp1252\n",
             1);
  expect_run({"-f", "json"}, "{\"a\": \"\x81\x40\"}\n", "",
             "morvel: stream did not contain valid UTF-8 at line 1\nmorvel: hint: the input is not "
             "UTF-8: name its encoding with --encoding NAME\n",
             1);
  expect_run({"-f", "json"}, "[{\"a\": \"caf\xE9\"}]", "",
             "morvel: invalid unicode code point at line 1 column 13\nmorvel: hint: the input is "
             "not UTF-8; if it is Latin-1, use --encoding latin1\n",
             1);
  const std::string lines = "{\"a\": 1, \"b\": 2}\n{\"a\": 3, \"b\": 4}\n";
  expect_run({}, lines, insert(R"("{""a"": 1", " ""b"": 2}")", R"('{"a": 3', '"b": 4}')"),
             "morvel: warning: the CSV header begins with '{', as JSON Lines do: if the input is "
             "JSON Lines, use --format json\n");
  expect_run({"-f", "csv"}, lines,
             insert(R"("{""a"": 1", " ""b"": 2}")", R"('{"a": 3', '"b": 4}')"), "");
}

TEST(CliMain, TakesADashAsAFileName) {
  TempDir dir;
  const fs::path before = fs::current_path();
  fs::current_path(dir.file(""));
  write_file("-", people_csv);
  const Outcome from_dash = run({"--input", "-"}, "other,input\n1,2\n");
  const Outcome onto_itself = run({"-i", "-", "-o", "-"});
  const Outcome to_dash = run({"--output", "-"}, "a\n1\n");
  fs::current_path(before);
  EXPECT_EQ(from_dash.out, people_sql);
  expect_failure(onto_itself, "input and output are the same file '-'");
  EXPECT_EQ(to_dash.status, std::nullopt);
  EXPECT_EQ(read_file(dir.file("-")), "INSERT INTO \"morvel_table\" (\"a\") VALUES (1);\n");
}

}  // namespace
}  // namespace morvel
