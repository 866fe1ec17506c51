#include "cli/args.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace morvel::cli {

// Readable failure output instead of gtest's byte dumps.
void PrintTo(const EarlyExit& exit, std::ostream* out) {
  *out << "{status " << exit.status << (exit.stream == Stream::Stdout ? ", stdout, " : ", stderr, ")
       << ::testing::PrintToString(exit.text) << "}";
}

namespace {

using convert::Format;
using sql::Dialect;

// Parses "morvel" followed by `arguments`, which must be accepted.
Cli parsed(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "morvel");
  auto cli = parse_args(arguments);
  EXPECT_TRUE(cli.has_value()) << (cli ? "" : cli.error().text);
  return cli.value_or(Cli{});
}

const std::string usage_tail =
    "Usage: morvel [OPTIONS] [INPUT...]\nRun with --help for more information.\n";

void expect_usage_error(std::vector<std::string> arguments, const std::string& message) {
  arguments.insert(arguments.begin(), "morvel");
  auto cli = parse_args(arguments);
  ASSERT_FALSE(cli.has_value()) << "accepted: " << ::testing::PrintToString(arguments);
  EXPECT_EQ(cli.error(), (EarlyExit{"error: " + message + "\n" + usage_tail, Stream::Stderr, 2}));
}

TEST(Args, ParsesValuesAndDefaults) {
  const Cli defaults = parsed({});
  EXPECT_EQ(defaults, Cli{});
  const auto without_program_path = parse_args({});
  ASSERT_TRUE(without_program_path.has_value());
  EXPECT_EQ(*without_program_path, Cli{});
  EXPECT_EQ(defaults.options.table_name, "morvel_table");
  EXPECT_EQ(defaults.options.format, Format::Csv);
  EXPECT_EQ(defaults.options.dialect, Dialect::Postgres);
  EXPECT_FALSE(defaults.input || defaults.output || defaults.options.primary_key ||
               defaults.options.create_table || defaults.options.auto_id);
  // -f is given, so no advice is to say the input may be another format.
  const Cli all{"in.csv", "out.sql", {Format::Json, "t", Dialect::Mysql, true, "id, b", false},
                false, true};
  EXPECT_EQ(parsed({"-i", "in.csv", "-o", "out.sql", "-t", "t", "-f", "json", "-d", "mysql",
                    "--create-table", "-k", "id, b"}),
            all);
  EXPECT_EQ(parsed({"--primary-key=id, b", "--create-table", "--dialect=mysql", "--format=json",
                    "--table=t", "--output=out.sql", "--input=in.csv"}),
            all);
  EXPECT_EQ(
      parsed({"-iin.csv", "-oout.sql", "-tt", "-fjson", "-dmysql", "--create-table", "-kid, b"}),
      all);
  EXPECT_EQ(parsed({"-d", "sqlite"}).options.dialect, Dialect::Sqlite);
  EXPECT_EQ(parsed({"--auto-id", "--create-table"}).options.auto_id, true);
  EXPECT_EQ(parsed({"--create-table", "--auto-id"}).options.auto_id, true);
  // The command's own switch, not a conversion option.
  Cli quiet;
  quiet.quiet = true;
  EXPECT_EQ(parsed({"--quiet"}), quiet);
}

TEST(Args, TakesTheInputAsAnArgumentAndItsFormatFromItsName) {
  EXPECT_EQ(parsed({"data.csv"}).input, "data.csv");
  EXPECT_EQ(parsed({"-t", "t", "data.csv", "--create-table"}).input, "data.csv");
  EXPECT_EQ(parsed({"--", "-t"}).input, "-t");
  for (const char* name : {"a.json", "a.jsonl", "dir/a.NDJSON", "a.Json"}) {
    EXPECT_EQ(parsed({name}).options.format, Format::Json) << name;
    EXPECT_EQ(parsed({"-i", name}).options.format, Format::Json) << name;
    EXPECT_EQ(parsed({"-f", "csv", name}).options.format, Format::Csv) << name;
  }
  for (const char* name : {"a.csv", "a.json.gz", "json", ".json", "a.jsonx"}) {
    EXPECT_EQ(parsed({name}).options.format, Format::Csv) << name;
  }
}

TEST(Args, TakesTheDialectsAliasesInAnyCase) {
  EXPECT_EQ(parsed({"-d", "MariaDB"}).options.dialect, Dialect::Mysql);
  EXPECT_EQ(parsed({"-d", "sqlite3"}).options.dialect, Dialect::Sqlite);
  EXPECT_EQ(parsed({"--dialect=PostgreSQL"}).options.dialect, Dialect::Postgres);
  EXPECT_EQ(parsed({"-d", "pg"}).options.dialect, Dialect::Postgres);
}

TEST(Args, AcceptsEdgeValues) {
  EXPECT_EQ(parsed({"-t", ""}).options.table_name, "");
  // An empty inline value must not take the next argument as the value.
  const Cli empty_inline = parsed({"--table=", "--create-table"});
  EXPECT_EQ(empty_inline.options.table_name, "");
  EXPECT_TRUE(empty_inline.options.create_table);
  EXPECT_EQ(parsed({"-k", "", "--create-table"}).options.primary_key, "");
  EXPECT_EQ(parsed({"--input", "-"}).input, "-");
  EXPECT_EQ(parsed({"-o", "-"}).output, "-");
  // A value-taking option takes the next argument as it is, even when it looks like an option.
  EXPECT_EQ(parsed({"-t", "--auto-id"}).options.table_name, "--auto-id");
  EXPECT_EQ(parsed({"-t", "{}"}).options.table_name, "{}");
  EXPECT_EQ(parsed({"--"}), Cli{});
}

TEST(Args, TakesSeveralInputs) {
  const Cli many = parsed({"a.csv", "logs", "b.json"});
  EXPECT_EQ(many.input, std::filesystem::path("a.csv"));
  EXPECT_EQ(many.more_inputs, (std::vector<std::filesystem::path>{"logs", "b.json"}));
  // The names of several are looked at once a folder's files are known: CSV stays the format.
  EXPECT_EQ(many.options.format, convert::Format::Csv);
  // After "--" everything is an input.
  EXPECT_EQ(parsed({"--", "-t", "x"}).more_inputs, std::vector<std::filesystem::path>{"x"});
}

TEST(Args, RejectsUsageErrors) {
  expect_usage_error({"--verbose"}, "unexpected argument '--verbose'");
  expect_usage_error({"-x"}, "unexpected argument '-x'");
  expect_usage_error({"-i", "a.csv", "b.csv"},
                     "'--input <INPUT>' cannot be used with an INPUT argument");
  expect_usage_error({"b.csv", "--input=a.csv"},
                     "'--input <INPUT>' cannot be used with an INPUT argument");
  expect_usage_error({""}, "the file path given to 'INPUT' is empty");
  expect_usage_error({"--table"}, "a value is required for '--table <TABLE>' but none was given");
  expect_usage_error({"-k"},
                     "a value is required for '--primary-key <COLUMNS>' but none was given");
  expect_usage_error({"-Vo"}, "a value is required for '--output <OUTPUT>' but none was given");
  expect_usage_error({"-i", ""}, "the file path given to '--input <INPUT>' is empty");
  expect_usage_error({"--input="}, "the file path given to '--input <INPUT>' is empty");
  expect_usage_error({"--output="}, "the file path given to '--output <OUTPUT>' is empty");
  // The empty inline value is the value: the next argument is not taken for it.
  expect_usage_error({"--output=", "x"}, "the file path given to '--output <OUTPUT>' is empty");
  const std::string dialects =
      " for '--dialect <DIALECT>' (possible values: postgres, sqlite, mysql)";
  expect_usage_error({"--dialect", "oracle"}, "invalid value 'oracle'" + dialects);
  expect_usage_error({"-d", "MySQL"}, "invalid value 'MySQL'" + dialects);
  const std::string formats = " for '--format <FORMAT>' (possible values: csv, json)";
  expect_usage_error({"--format", "JSON"}, "invalid value 'JSON'" + formats);
  expect_usage_error({"--create-table", "--create-table"},
                     "'--create-table' cannot be given more than once");
  expect_usage_error({"-t", "a", "--table", "a"},
                     "'--table <TABLE>' cannot be given more than once");
  expect_usage_error({"--auto-id=yes"},
                     "the switch '--auto-id' takes no value but was given 'yes'");
  expect_usage_error({"--create-table=true"},
                     "the switch '--create-table' takes no value but was given 'true'");
  expect_usage_error({"--create-table="},
                     "the switch '--create-table' takes no value but was given ''");
  const std::string conflict = "'--primary-key <COLUMNS>' cannot be used with '--auto-id'";
  expect_usage_error({"-k", "id", "--auto-id", "--create-table"}, conflict);
  expect_usage_error({"-k", "id", "--auto-id"}, conflict);
  expect_usage_error({"--auto-id", "-k", ""}, conflict);
  expect_usage_error({"--auto-id"}, "'--auto-id' requires '--create-table'");
  expect_usage_error({"-k", "id"}, "'--primary-key <COLUMNS>' requires '--create-table'");
}

TEST(Args, TakesTheDialectFromTheUrlOfTo) {
  const Cli sqlite = parsed({"--to", "sqlite:///a.db"});
  EXPECT_EQ(sqlite.to, "sqlite:///a.db");
  EXPECT_EQ(sqlite.options.dialect, Dialect::Sqlite);
  EXPECT_EQ(parsed({"-d", "mariadb", "--to", "mysql://u@h/db"}).options.dialect, Dialect::Mysql);
  EXPECT_EQ(parsed({"--to", "postgres://h/db", "--transaction"}).options.dialect,
            Dialect::Postgres);
  expect_usage_error({"--to", "sqlite:///a.db", "-d", "postgres"},
                     "'--dialect <DIALECT>' postgres contradicts the sqlite database of "
                     "'--to <URL>'");
  expect_usage_error({"--to", "mysql://u:secret@h", "-t", "x"},
                     "'--to <URL>': the MySQL URL names no database (give sqlite:///relative/"
                     "file.db, sqlite:////absolute/file.db, postgresql://user@host:port/database "
                     "or mysql://user@host:port/database?socket=/path)");
  for (const auto& other : {std::vector<std::string>{"-o", "x.sql"}, {"--copy"},
                            {"--batch-size", "10"}}) {
    std::vector<std::string> arguments = {"--to", "sqlite:///a.db"};
    arguments.insert(arguments.end(), other.begin(), other.end());
    const std::string name = other[0] == "-o" ? "--output <OUTPUT>" : other.size() == 1
                                                                          ? "--copy"
                                                                          : "--batch-size <N>";
    expect_usage_error(arguments, "'--to <URL>' cannot be used with '" + name + "'");
  }
  // What the user typed is quoted, but never a URL's password.
  expect_usage_error({"--too=mysql://u:secret@h/db"},
                     "unexpected argument '--too=mysql://u:***@h/db'");
}

TEST(Args, ReportsTheFirstMistakeInTheOrderWritten) {
  expect_usage_error({"-d", "x", "-f", "y"},
                     "invalid value 'x' for '--dialect <DIALECT>' "
                     "(possible values: postgres, sqlite, mysql)");
  expect_usage_error({"-f", "y", "-d", "x"},
                     "invalid value 'y' for '--format <FORMAT>' (possible values: csv, json)");
  expect_usage_error({"-o", "", "-o", "", "-i", ""},
                     "the file path given to '--output <OUTPUT>' is empty");
}

std::string help_text(std::string_view program) {
  return "Turn raw data into ready-to-run SQL.\n"
         "Usage: " + std::string(program) + " [OPTIONS] [INPUT...]\n"
         "\n"
         "Positionals:\n"
         "  INPUT                       File to read, as with --input; several files and folders "
         "go into one table\n"
         "\n"
         "Options:\n"
         "  -i,--input <INPUT>          File to read (default: standard input)\n"
         "  -o,--output <OUTPUT>        File to write (default: standard output)\n"
         "  --to <URL>                  Load into the database at this URL instead of writing SQL\n"
         "  -t,--table <TABLE> [default: morvel_table]\n"
         "                              Table the statements fill\n"
         "  --schema <NAME>             Schema the table is in (MySQL: database; SQLite: attached database)\n"
         "  -f,--format <FORMAT> [default: csv] [possible values: csv, json]\n"
         "                              Input format; json for a .json, .jsonl or .ndjson input file\n"
         "  -d,--dialect <DIALECT> [default: postgres] [possible values: postgres, sqlite, mysql]\n"
         "                              SQL dialect; postgresql, pg, sqlite3 and mariadb work too\n"
         "  --create-table              Begin with CREATE TABLE IF NOT EXISTS, typed from the first record\n"
         "  -k,--primary-key <COLUMNS>  Comma-separated key columns of the new table\n"
         "  --auto-id                   Give the new table an auto-increment id column as its key\n"
         "  --schema-from <RECORDS> [default: first] [possible values: first, all]\n"
         "                              Type each column from the first record or from all of them\n"
         "  --type <COLUMN=TYPE>        Give a column a type: text, integer, float, boolean, date, timestamp, uuid, json\n"
         "  --null <WORD>               Read this word as NULL, e.g. NA (may be given more than once)\n"
         "  --delimiter <C> [default: ,]\n"
         "                              Byte between CSV fields: a byte, tab, whitespace, or auto (from the header)\n"
         "  --tsv                       Read tab-separated values: --delimiter tab\n"
         "  --comment <C>               Skip CSV lines starting with this byte, before and after the header\n"
         "  --skip-lines <N>            Skip this many lines (a title, a preamble) before the CSV header\n"
         "  --no-header                 Read the first CSV record as data, in columns column_1, column_2, ...\n"
         "  --allow-short-rows          Fill the missing trailing fields of short CSV records with NULL\n"
         "  --quote <C>                 Byte that quotes CSV fields instead of a double quote, e.g. '\n"
         "  --json-path <KEYS>          Read JSON records from the array at these keys, e.g. data.items\n"
         "  --fix-names                 Rename empty (column_N), repeated (name_2) and clashing CSV header names\n"
         "  --row-names                 Read each CSV record's first field as a column row_names (R's row names)\n"
         "  --encoding <NAME> [default: utf-8]\n"
         "                              Decode the input from this encoding (iconv names: latin1, utf-16, ...)\n"
         "  --batch-size <N> [default: 1]\n"
         "                              Put up to N records in each INSERT, a row per line (1 to 100000)\n"
         "  --transaction               Make the script all or nothing: BEGIN (START TRANSACTION) ... COMMIT\n"
         "  --copy                      Write the rows as PostgreSQL COPY blocks, which psql loads fastest\n"
         "  --on-conflict <ACTION> [default: error] [possible values: error, ignore, replace]\n"
         "                              What a record whose key is taken does: fail, be skipped or replace\n"
         "  --jobs <N>                  Threads that convert; one per processor unless given (1 to 256)\n"
         "  --quiet                     Do not show the progress line on a terminal\n"
         "  -h,--help                   Print this help message and exit\n"
         "  -V,--version                Display program version information and exit\n"
         "\n";
}

void expect_early_exit(std::vector<std::string> arguments, const EarlyExit& expected) {
  auto cli = parse_args(arguments);
  ASSERT_FALSE(cli.has_value()) << "accepted: " << ::testing::PrintToString(arguments);
  EXPECT_EQ(cli.error(), expected);
}

TEST(Args, PrintsHelpAndVersionOnStandardOutput) {
  const EarlyExit help{help_text("morvel"), Stream::Stdout, 0};
  const EarlyExit version{"morvel 1.1.0\n", Stream::Stdout, 0};
  expect_early_exit({"morvel", "-h"}, help);
  expect_early_exit({"morvel", "--help"}, help);
  expect_early_exit({"/usr/local/bin/morvel", "--help"}, help);
  // Usage lines name the program as it was called.
  expect_early_exit({"/opt/tools/morvel-x", "--help"},
                    {help_text("morvel-x"), Stream::Stdout, 0});
  expect_early_exit({"./m", "-q"},
                    {"error: unexpected argument '-q'\nUsage: m [OPTIONS] [INPUT...]\n"
                     "Run with --help for more information.\n",
                     Stream::Stderr, 2});
  expect_early_exit({"morvel", "-V"}, version);
  expect_early_exit({"morvel", "--version"}, version);
  // Help is answered before the rules between options are checked.
  expect_early_exit({"morvel", "-k", "id", "--auto-id", "--help"}, help);
  expect_early_exit({"morvel", "--auto-id", "-V"}, version);
}

}  // namespace
}  // namespace morvel::cli
