#include "sql/split.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/pipeline.hpp"
#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;
using namespace sql;

// The statements of `script`, found in the whole of it, or as it arrives a byte at a time with
// each statement taken off its front once found, as the conversion's thread does. The script is
// written a line break pair at a time (the blank line after CREATE TABLE), so one never arrives
// split.
std::vector<std::string> split(Dialect dialect, std::string_view script, bool is_bytewise) {
  StatementSplitter splitter(dialect);
  std::vector<std::string> statements;
  std::size_t taken = 0;  // bytes of the script gone from the front of the view
  for (std::size_t arrived = is_bytewise ? 0 : script.size(); arrived <= script.size(); ++arrived) {
    if (arrived > 0 && arrived < script.size() && script.substr(arrived - 1, 2) == "\n\n") continue;
    while (const auto end = splitter.next_end(script.substr(taken, arrived - taken))) {
      statements.emplace_back(script.substr(taken, *end));
      splitter.drop(*end);
      taken += *end;
    }
  }
  return statements;
}

void expect_split(Dialect dialect, std::string_view script, std::vector<std::string> statements) {
  EXPECT_EQ(split(dialect, script, false), statements) << script;
  EXPECT_EQ(split(dialect, script, true), statements) << script;
}

TEST(StatementSplitter, EndsAtSemicolonsOutsideQuotes) {
  expect_split(Dialect::Postgres,
               "BEGIN;\nCREATE TABLE IF NOT EXISTS \"a;\n\"\"b\" (\n  \"x\" TEXT\n);\n\n"
               "INSERT INTO \"t\" (\"x\") VALUES ('a\\');\nCOMMIT;\n",
               {"BEGIN;\n", "CREATE TABLE IF NOT EXISTS \"a;\n\"\"b\" (\n  \"x\" TEXT\n);\n\n",
                "INSERT INTO \"t\" (\"x\") VALUES ('a\\');\n", "COMMIT;\n"});
  expect_split(Dialect::Sqlite, "INSERT INTO \"t\" (\"x\") VALUES ('it''s;\n'||char(0)||'`');\n",
               {"INSERT INTO \"t\" (\"x\") VALUES ('it''s;\n'||char(0)||'`');\n"});
  // MySQL escapes with a backslash inside string literals, and only there.
  expect_split(Dialect::Mysql,
               "INSERT INTO `t;\n\\` (`x`) VALUES ('a\\\\'';\n', '\\';\n');\nINSERT INTO `t` "
               "(`x`) VALUES\n('\"'),\n(';\n');\n",
               {"INSERT INTO `t;\n\\` (`x`) VALUES ('a\\\\'';\n', '\\';\n');\n",
                "INSERT INTO `t` (`x`) VALUES\n('\"'),\n(';\n');\n"});
  // A statement not yet ended stays behind.
  expect_split(Dialect::Postgres, "COMMIT;\nINSERT INTO \"t\" VALUES ('a;\n", {"COMMIT;\n"});
  expect_split(Dialect::Postgres, "COMMIT;", {});
}

TEST(StatementSplitter, TakesCopyBlocksWhole) {
  expect_split(Dialect::Postgres,
               "COPY \"t;\" (\"a\") FROM stdin;\nx;\n\\\\.\n';\n\\.\nCOPY \"t\" (\"b\") FROM "
               "stdin;\n\\N\n\\.\nCOMMIT;\n",
               {"COPY \"t;\" (\"a\") FROM stdin;\nx;\n\\\\.\n';\n\\.\n",
                "COPY \"t\" (\"b\") FROM stdin;\n\\N\n\\.\n", "COMMIT;\n"});
  expect_split(Dialect::Postgres, "COPY \"t\" (\"a\") FROM stdin;\n1\n\\.", {});
}

// Hostile values through the conversion itself: every script splits into its statements.
TEST(StatementSplitter, SplitsWhatTheConversionWrites) {
  const std::string csv = "a,b\n\"x;\n\\.\ny\",\"it's;\n\"\n\"\\\",\"\"\";\"\n\"\\.\",\"`;\n`\"\n";
  struct Case {
    convert::ConversionOptions options;
    std::size_t statements;
  };
  for (const Dialect dialect : {Dialect::Postgres, Dialect::Sqlite, Dialect::Mysql}) {
    std::vector<Case> cases = {
        {{.dialect = dialect, .create_table = true}, 4},
        {{.dialect = dialect, .create_table = true, .batch_size = 2}, 3},
        {{.dialect = dialect, .create_table = true, .transaction = true}, 6},
    };
    if (dialect == Dialect::Postgres) cases.push_back({{.create_table = true, .copy = true}, 2});
    for (Case& c : cases) {
      auto checked = convert::check_options(c.options);
      ASSERT_TRUE(checked.has_value()) << checked.error().message;
      MemorySource source(csv);
      auto script = convert::convert_to_buffer(source, *checked);
      ASSERT_TRUE(script.has_value()) << script.error().message;
      const auto statements = split(dialect, script->view(), false);
      EXPECT_EQ(statements.size(), c.statements) << script->view();
      std::string joined;
      for (const std::string& statement : statements) joined += statement;
      EXPECT_EQ(joined, script->view());
    }
  }
}

}  // namespace
}  // namespace morvel
