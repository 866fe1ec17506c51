#include "load/loader.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <charconv>
#include <string>
#include <vector>

#include "load/client_library.hpp"
#include "test_support.hpp"

// Loads into SQLite, in the process: what every engine's load shares (the reading, the pieces on
// threads, all or nothing, the record of a refused row) and what SQLite's own binding does.

namespace morvel::load {
namespace {

using convert::ConversionOptions;
using convert::Format;

// Each row of a table as "type:value" per column, values as SQLite keeps them (doubles in their
// shortest exact form).
std::vector<std::string> rows_of(const std::string& path, const std::string& table) {
  const SqliteClient& api = *sqlite_client().value();
  sqlite3* database = nullptr;
  api.sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* query = nullptr;
  const std::string select = "SELECT * FROM \"" + table + "\" ORDER BY rowid";
  std::vector<std::string> rows;
  if (api.sqlite3_prepare_v2(database, select.c_str(), -1, &query, nullptr) == SQLITE_OK) {
    while (api.sqlite3_step(query) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < api.sqlite3_column_count(query); ++i) {
        if (i > 0) row += '|';
        switch (api.sqlite3_column_type(query, i)) {
          case SQLITE_NULL:
            row += "null";
            break;
          case SQLITE_FLOAT: {
            char digits[32];
            const auto end =
                std::to_chars(digits, digits + 32, api.sqlite3_column_double(query, i));
            row += "real:" + std::string(digits, end.ptr);
            break;
          }
          default:
            row += (api.sqlite3_column_type(query, i) == SQLITE_INTEGER ? "integer:" : "text:") +
                   std::string(reinterpret_cast<const char*>(api.sqlite3_column_text(query, i)));
        }
      }
      rows.push_back(row);
    }
  }
  api.sqlite3_finalize(query);
  api.sqlite3_close_v2(database);
  return rows;
}

struct Loaded {
  std::string error;  // "" after a load that went through
  std::vector<std::string> rows;
  std::vector<std::string> warnings;
};

// Loads `input` into table t of the database file at `path`, in pieces of `piece` bytes.
Loaded load_into(const std::string& path, std::string_view input, ConversionOptions options,
                 std::size_t piece = readers::ReadLimits{}.piece_bytes) {
  options.table_name = "t";
  core::MemorySource source(input);
  testing::WarningsKept monitor;
  const Target target{sql::Dialect::Sqlite, path, {}, {}, {}};
  auto loaded =
      load(source, std::move(options), target, &monitor, readers::ReadLimits{.piece_bytes = piece});
  Loaded outcome{loaded ? "" : loaded.error().message, rows_of(path, "t"), monitor.warnings};
  return outcome;
}

TEST(SqliteLoad, KeepsEachValueInItsColumnsType) {
  const testing::TempDir directory;
  const Loaded loaded = load_into(directory.file("a.db"),
                                  "i,f,b,t,n\n"
                                  "007,6.877000000000002,TRUE, x ,null\n"
                                  "-0,1e999,false,007,\n",
                                  {.create_table = true});
  EXPECT_EQ(loaded.error, "");
  EXPECT_EQ(loaded.rows,
            (std::vector<std::string>{"integer:7|real:6.877000000000002|integer:1|text:x|null",
                                      "integer:0|real:inf|integer:0|text:007|null"}));
}

TEST(SqliteLoad, TakesJsonRecordsWithOtherKeys) {
  const testing::TempDir directory;
  const Loaded loaded = load_into(
      directory.file("a.db"), "{\"a\": 1}\n{\"b\": \"x\", \"a\": 2.5}\n{\"a\": 3}\n",
      {.format = Format::Json, .create_table = true, .schema_from = convert::SchemaFrom::All});
  EXPECT_EQ(loaded.error, "");
  EXPECT_EQ(loaded.rows,
            (std::vector<std::string>{"real:1|null", "real:2.5|text:x", "real:3|null"}));
}

// A load warns as a script does of dates that are none, once per column, in pieces too.
TEST(SqliteLoad, WarnsOfDatesThatAreNone) {
  const testing::TempDir directory;
  std::string input = "d\n";
  for (int i = 0; i < 50; ++i) input += "2024-01-01\n2024-02-30\n";
  for (const std::size_t piece : {std::size_t{5}, readers::ReadLimits{}.piece_bytes}) {
    const Loaded loaded = load_into(directory.file(std::to_string(piece) + ".db"), input,
                                    {.create_table = true, .jobs = 3}, piece);
    EXPECT_EQ(loaded.error, "");
    EXPECT_EQ(loaded.warnings,
              (std::vector<std::string>{
                  "column 'd' holds '2024-02-30' in record 2, shaped like a date but no real one, "
                  "which a DATE column refuses; use --schema-from all to type each column from "
                  "every record"}));
  }
}

TEST(SqliteLoad, LeavesNothingWhenARowIsRefused) {
  const testing::TempDir directory;
  std::string input = "k,v\n";
  for (int i = 1; i <= 40; ++i) input += std::to_string(i) + ",some text\n";
  input += "7,again\n";
  const std::string refusal = "record 41 (line: 42, byte: " + std::to_string(input.rfind("7,")) +
                              "): SQLite: UNIQUE constraint failed: t.k";
  const ConversionOptions keyed{.create_table = true, .primary_key = "k"};
  // However the input is cut and read, on one thread or three.
  for (const std::size_t piece : {std::size_t{32}, std::size_t{1} << 20}) {
    for (const unsigned jobs : {1U, 3U}) {
      ConversionOptions options = keyed;
      options.jobs = jobs;
      const std::string path = directory.file("new" + std::to_string(piece * jobs) + ".db");
      EXPECT_EQ(load_into(path, input, options, piece).error, refusal);
      // The file this load made is gone again.
      EXPECT_NE(::access(path.c_str(), F_OK), 0);
    }
  }
  const std::string kept = directory.file("kept.db");
  EXPECT_EQ(load_into(kept, "k,v\n1,a\n", keyed).error, "");
  EXPECT_EQ(load_into(kept, "k,v\n2,b\n1,c\n", keyed).error,
            "record 2 (line: 3, byte: 8): SQLite: UNIQUE constraint failed: t.k");
  EXPECT_EQ(rows_of(kept, "t"), (std::vector<std::string>{"integer:1|text:a"}));
}

TEST(SqliteLoad, RunsAgainOverTheSameKeys) {
  const testing::TempDir directory;
  const std::string path = directory.file("a.db");
  ConversionOptions options{.create_table = true, .primary_key = "k"};
  EXPECT_EQ(load_into(path, "k,v\n1,a\n2,b\n", options).error, "");
  options.on_conflict = sql::OnConflict::Ignore;
  EXPECT_EQ(load_into(path, "k,v\n2,x\n3,c\n", options).rows,
            (std::vector<std::string>{"integer:1|text:a", "integer:2|text:b", "integer:3|text:c"}));
  options.on_conflict = sql::OnConflict::Replace;
  EXPECT_EQ(load_into(path, "k,v\n1,y\n", options).rows,
            (std::vector<std::string>{"integer:1|text:y", "integer:2|text:b", "integer:3|text:c"}));
}

// Stops a load at its first check-in, as Ctrl-C does.
class StopAtOnce final : public core::Monitor {
 public:
  core::Status check() override {
    return std::unexpected(core::Error{core::ErrorKind::Interrupted, "interrupted"});
  }
  void warn(core::Notice) override {}
};

TEST(SqliteLoad, LeavesNothingWhenStopped) {
  const testing::TempDir directory;
  const std::string path = directory.file("a.db");
  std::string input = "k,v\n";
  while (input.size() < 2 * core::Checkpoints::interval) input += "12345,some text\n";
  core::MemorySource source(input);
  StopAtOnce monitor;
  const auto loaded =
      load(source, {.create_table = true}, {sql::Dialect::Sqlite, path, {}, {}, {}}, &monitor);
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().kind, core::ErrorKind::Interrupted);
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST(SqliteLoad, RefusesWhatShapesAScript) {
  const testing::TempDir directory;
  EXPECT_EQ(load_into(directory.file("a.db"), "a\n1\n", {.batch_size = 10}).error,
            "COPY blocks and batches shape a script: a load sends the rows its own way");
  EXPECT_EQ(load_into(directory.file("a.db"), "a\n1\n", {.primary_key = "a"}).error,
            "a primary key needs the table to be created");
}

// A client library is looked for when a load first needs it; one that is missing or lacks a
// function (as an older release would) is an error to show, with the package to install.
template <class Client>
void expect_unloadable(const core::Result<Client>& opened, const std::string& message,
                       const std::string& hint) {
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().kind, core::ErrorKind::Open);
  EXPECT_EQ(opened.error().message, message);
  ASSERT_TRUE(opened.error().hint.has_value());
  EXPECT_EQ(opened.error().hint->text, hint);
}

TEST(ClientLibrary, NamesWhatCouldNotBeLoaded) {
  expect_unloadable(open_postgres_client({"libpq.so.99", "PostgreSQL", "libpq5"}),
                    "the PostgreSQL client library could not be loaded (libpq.so.99: cannot open "
                    "shared object file: No such file or directory)",
                    "install the package that provides libpq.so.99 (libpq5 on Debian)");
  expect_unloadable(open_mysql_client({"libsqlite3.so.0", "MySQL", "libmariadb3"}),
                    "the MySQL client library could not be loaded (libsqlite3.so.0: undefined "
                    "symbol: mysql_close)",
                    "install the package that provides libsqlite3.so.0 (libmariadb3 on Debian)");
}

}  // namespace
}  // namespace morvel::load
