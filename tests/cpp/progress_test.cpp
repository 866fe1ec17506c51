#include "cli/progress.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "core/io.hpp"

namespace morvel::cli {
namespace {

using core::Stage;
using std::chrono::milliseconds;

constexpr std::uint64_t mib = 1024 * 1024;
constexpr std::uint64_t gib = 1024 * mib;

// A clock that stands still until a test moves it.
class FakeClock final : public Clock {
 public:
  Instant now() noexcept override { return now_; }
  void set(milliseconds since_start) { now_ = Instant{} + since_start; }

 private:
  Instant now_;
};

// What the terminal was sent, one entry per drawing: its text, or "" for an erasing. Each must
// start at the beginning of the line and clear what a longer line before it left.
std::vector<std::string> drawings(const core::StringSink& terminal) {
  std::vector<std::string> out;
  std::string_view rest = terminal.bytes();
  while (!rest.empty()) {
    EXPECT_EQ(rest.front(), '\r') << rest;
    const std::size_t end = rest.find('\r', 1);
    std::string_view drawing = rest.substr(1, end == std::string_view::npos ? end : end - 1);
    EXPECT_TRUE(drawing.ends_with("\x1b[K")) << drawing;
    drawing.remove_suffix(std::min<std::size_t>(drawing.size(), 3));
    out.emplace_back(drawing);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  }
  return out;
}

// The line last drawn over `total` input bytes when a reading in `stage` reports `done` bytes
// `elapsed` after its first report, of none; or as its first report when `elapsed` is 0.
void expect_line(std::uint64_t total, Stage stage, std::uint64_t done, milliseconds elapsed,
                 const std::string& expected) {
  FakeClock clock;
  core::StringSink terminal;
  ProgressLine line(total, terminal, clock);
  if (elapsed > milliseconds(0)) line.update(0, stage);
  clock.set(elapsed);
  line.update(done, stage);
  const std::vector<std::string> drawn = drawings(terminal);
  EXPECT_EQ(drawn.empty() ? "" : drawn.back(), expected);
}

TEST(ProgressLine, ShowsTheStageTheBytesTheRateAndTheTimeLeft) {
  const milliseconds second(1000);
  expect_line(gib, Stage::Converting, 350 * mib, second,
              "converting 350 MiB of 1.0 GiB, 350 MiB/s, 2 s left");
  expect_line(gib, Stage::Checking, 412 * mib, milliseconds(200),
              "checking 412 MiB of 1.0 GiB, 2.0 GiB/s, 1 s left");
  expect_line(gib, Stage::Converting, 10 * mib, second,
              "converting 10 MiB of 1.0 GiB, 10 MiB/s, 1 min 42 s left");
  expect_line(100 * gib, Stage::Converting, 1536, milliseconds(100),
              "converting 1.5 KiB of 100 GiB, 15 KiB/s, 1941 h 48 min left");
  // A first report has no rate yet.
  expect_line(gib, Stage::Converting, 4 * mib, milliseconds(0), "converting 4.0 MiB of 1.0 GiB");
  // Rounding picks the unit: 1023.96 MiB, and 9.96 MiB.
  expect_line(gib - 40 * 1024, Stage::Checking, 1000, milliseconds(0),
              "checking 1000 B of 1.0 GiB");
  expect_line(gib, Stage::Checking, 10 * mib - 40 * 1024, milliseconds(0),
              "checking 10 MiB of 1.0 GiB");
  // A decoded input can outgrow its file.
  expect_line(100 * mib, Stage::Converting, 120 * mib, second,
              "converting 100 MiB of 100 MiB, 100 MiB/s, 0 s left");
}

TEST(ProgressLine, RedrawsAtMostTenTimesASecondAndMeasuresEachReadingApart) {
  FakeClock clock;
  core::StringSink terminal;
  ProgressLine line(gib, terminal, clock);
  const auto at = [&](int ms, std::uint64_t done, Stage stage) {
    clock.set(milliseconds(ms));
    line.update(done, stage);
  };
  at(0, 4 * mib, Stage::Checking);
  at(60, 300 * mib, Stage::Checking);
  at(99, 400 * mib, Stage::Checking);
  at(100, 512 * mib, Stage::Checking);
  at(150, 4 * mib, Stage::Converting);  // the rate is measured from here
  at(200, 24 * mib, Stage::Converting);
  at(250, 30 * mib, Stage::Converting);
  at(1150, 104 * mib, Stage::Converting);
  at(1300, 2 * mib, Stage::Converting);  // read from the start again
  EXPECT_EQ(drawings(terminal), (std::vector<std::string>{
                                    "checking 4.0 MiB of 1.0 GiB",
                                    "checking 512 MiB of 1.0 GiB, 5.0 GiB/s, 1 s left",
                                    "converting 24 MiB of 1.0 GiB",
                                    "converting 104 MiB of 1.0 GiB, 100 MiB/s, 10 s left",
                                    "converting 2.0 MiB of 1.0 GiB",
                                }));
}

TEST(ProgressLine, ErasesItselfForAMessageAndAtTheEnd) {
  FakeClock clock;
  core::StringSink terminal;
  {
    ProgressLine line(gib, terminal, clock);
    line.erase();  // nothing shows yet
    EXPECT_EQ(terminal.bytes(), "");
    line.update(4 * mib, Stage::Converting);
    line.erase();
    line.erase();
    clock.set(milliseconds(50));
    line.update(8 * mib, Stage::Converting);  // not due yet: the line stays away
    clock.set(milliseconds(100));
    line.update(16 * mib, Stage::Converting);
  }
  EXPECT_EQ(drawings(terminal),
            (std::vector<std::string>{"converting 4.0 MiB of 1.0 GiB", "",
                                      "converting 16 MiB of 1.0 GiB, 120 MiB/s, 9 s left", ""}));
  core::StringSink untouched;
  { ProgressLine never_drawn(gib, untouched, clock); }
  EXPECT_EQ(untouched.bytes(), "");
}

}  // namespace
}  // namespace morvel::cli
