#include "convert/statement_queue.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "convert/pipeline.hpp"
#include "test_support.hpp"

namespace morvel {
namespace {

using namespace core;
using namespace convert;
using namespace std::chrono_literals;

// Appends the statements of `batch` to `statements`.
void append_statements(const StatementBatch& batch, std::vector<std::string>& statements) {
  std::size_t start = 0;
  for (const std::size_t end : batch.ends) {
    statements.emplace_back(batch.bytes.view().substr(start, end - start));
    start = end;
  }
}

// Everything a queue hands over until its last batch.
struct Taken {
  std::vector<std::string> statements;
  std::vector<std::pair<std::size_t, std::string>> warnings;  // after how many statements
  std::optional<Status> outcome;
};

Taken take_all(StatementQueue& queue) {
  Taken taken;
  for (;;) {
    auto batch = queue.take(100ms);
    if (!batch) continue;
    for (auto& [before, notice] : batch->warnings) {
      taken.warnings.emplace_back(taken.statements.size() + before, notice.text);
    }
    append_statements(*batch, taken.statements);
    if (batch->outcome) {
      taken.outcome = *batch->outcome;
      return taken;
    }
    queue.give_back(std::move(*batch));
  }
}

CheckedOptions checked(ConversionOptions options) {
  auto result = check_options(std::move(options));
  EXPECT_TRUE(result.has_value());
  return std::move(*result);
}

// What the conversion of `csv` writes, or the error it fails with.
Result<std::string> script_of(std::string_view csv, const ConversionOptions& options) {
  MemorySource source(csv);
  auto script = convert_to_buffer(source, checked(options));
  if (!script) return std::unexpected(script.error());
  return std::string(script->view());
}

TEST(StatementQueue, HandsOverEveryStatementWithTheWarningsInPlace) {
  // Several batches' worth, and over 6 MiB, which two threads share in pieces; records 3000
  // and 70000 do not fit the table.
  std::string csv = "id,v,w\n";
  const std::string w = ",text long enough for the input to take several pieces of a megabyte\n";
  for (int i = 1; i <= 100'000; ++i) {
    csv += std::to_string(i) + (i == 3000 || i == 70'000 ? ",x" : ",1") + w;
  }
  for (const unsigned jobs : {1U, 2U}) {
    const ConversionOptions options{.create_table = true, .jobs = jobs};
    StatementQueue queue(std::make_unique<MemorySource>(csv), -1, checked(options));
    const Taken taken = take_all(queue);
    ASSERT_TRUE(taken.outcome && *taken.outcome);
    std::string joined;
    for (const std::string& statement : taken.statements) joined += statement;
    EXPECT_EQ(joined, script_of(csv, options).value_or(""));
    EXPECT_EQ(taken.statements.size(), 100'001U);
    // Before the INSERT of its record, which follows the CREATE TABLE and those before; on
    // several threads, before the piece that holds it.
    ASSERT_EQ(taken.warnings.size(), 1U);
    if (jobs == 1) {
      EXPECT_EQ(taken.warnings[0].first, 3000U);
    }
    EXPECT_LE(taken.warnings[0].first, 3000U);
  }
}

TEST(StatementQueue, StopsWhereverTheConversionStands) {
  std::string csv = "id,v\n";
  for (int i = 0; i < 400'000; ++i) csv += "1,text long enough for several pieces of a megabyte\n";
  // Stopped waiting for room, and stopped before anything was taken, on one thread and on two.
  for (const unsigned jobs : {1U, 2U}) {
    for (const bool takes_one : {true, false}) {
      StatementQueue queue(std::make_unique<MemorySource>(csv), -1, checked({.jobs = jobs}));
      while (takes_one && !queue.take(100ms)) {
      }
      queue.stop();
    }
  }
}

TEST(StatementQueue, EndsWithTheFailureAfterTheStatementsBeforeIt) {
  const std::string_view csv = "a,b\n1,2\n3\n";
  StatementQueue queue(std::make_unique<MemorySource>(csv), -1, checked({}));
  const Taken taken = take_all(queue);
  EXPECT_EQ(taken.statements, std::vector<std::string>{
                                  "INSERT INTO \"morvel_table\" (\"a\", \"b\") VALUES (1, 2);\n"});
  ASSERT_TRUE(taken.outcome && !*taken.outcome);
  const auto expected = script_of(csv, {});
  ASSERT_FALSE(expected.has_value());
  EXPECT_EQ(taken.outcome->error().message, expected.error().message);
}

TEST(StatementQueue, PassesOnWhatASilentStreamGaveAndStopsWhileItWaits) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const Fd writer = Fd::owned(ends[1]);
  const std::string_view lines = "{\"a\": 1}\n{\"a\": 2}\n";
  ASSERT_EQ(::write(ends[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  StatementQueue queue(std::make_unique<FdSource>(Fd::owned(ends[0])), ends[0],
                       checked({.format = Format::Json, .jobs = 1}));
  std::vector<std::string> statements;
  while (statements.size() < 2) {
    if (auto batch = queue.take(100ms)) append_statements(*batch, statements);
  }
  EXPECT_EQ(statements,
            (std::vector<std::string>{"INSERT INTO \"morvel_table\" (\"a\") VALUES (1);\n",
                                      "INSERT INTO \"morvel_table\" (\"a\") VALUES (2);\n"}));
  // The writer stays open and silent: only the stop event wakes the read.
  queue.stop();
}

}  // namespace
}  // namespace morvel
