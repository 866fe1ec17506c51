#include "cli/progress.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace morvel::cli {
namespace {

using namespace std::chrono_literals;

// Back to the start of the line, and clear from the cursor to its end.
constexpr std::string_view line_start = "\r";
constexpr std::string_view clear_rest = "\x1b[K";

void append_number(std::string& out, std::uint64_t number) {
  std::array<char, 20> digits;
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), number).ptr;
  out.append(digits.data(), end);
}

// A size in binary units, whole from 10 up and to a tenth below ("512 B", "1.5 KiB", "412 MiB"),
// so that it keeps two or three significant digits. Worked out in integers and doubles, never
// through a locale's decimal point.
void append_size(std::string& out, double bytes) {
  constexpr std::array<std::string_view, 5> units = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  // Rounding decides the unit, so that 1023.96 MiB reads "1.0 GiB", not "1024 MiB".
  while (unit + 1 < units.size() && std::llround(bytes) >= 1024) {
    bytes /= 1024;
    ++unit;
  }
  const auto tenths = static_cast<std::uint64_t>(std::llround(bytes * 10));
  if (unit > 0 && tenths < 100) {
    append_number(out, tenths / 10);
    out += '.';
    append_number(out, tenths % 10);
  } else {
    append_number(out, static_cast<std::uint64_t>(std::llround(bytes)));
  }
  out += ' ';
  out += units[unit];
}

// "45 s", "3 min 20 s", "2 h 5 min": two units at most, as an estimate has no more precision.
void append_duration(std::string& out, std::uint64_t seconds) {
  if (seconds >= 3600) {
    append_number(out, seconds / 3600);
    out += " h ";
    append_number(out, seconds % 3600 / 60);
    out += " min";
    return;
  }
  if (seconds >= 60) {
    append_number(out, seconds / 60);
    out += " min ";
  }
  append_number(out, seconds % 60);
  out += " s";
}

}  // namespace

ProgressLine::ProgressLine(std::uint64_t total, core::ByteSink& terminal, Clock& clock) noexcept
    : total_(total), terminal_(terminal), clock_(clock) {}

ProgressLine::~ProgressLine() { erase(); }

void ProgressLine::update(std::uint64_t done, core::Stage stage) {
  // A decoded input can be longer than the file it came from.
  done = std::min(done, total_);
  const Clock::Instant now = clock_.now();
  // Each stage is measured from its first report, not from the start: standard input is read in
  // whole before the first one, at a speed of its own.
  if (!stage_ || stage != *stage_ || done < last_done_) {
    stage_start_ = now;
    stage_bytes_ = done;
  }
  stage_ = stage;
  last_done_ = done;
  if (last_drawing_ && now - *last_drawing_ < redraw_interval) return;
  last_drawing_ = now;
  // One write per drawing, so that the terminal never shows half of one.
  std::string drawing(line_start);
  drawing += text(done, now);
  drawing += clear_rest;
  (void)terminal_.write(drawing);
  (void)terminal_.flush();
  is_shown_ = true;
}

void ProgressLine::erase() {
  if (!is_shown_) return;
  is_shown_ = false;
  std::string erasing(line_start);
  erasing += clear_rest;
  (void)terminal_.write(erasing);
  (void)terminal_.flush();
}

std::string ProgressLine::text(std::uint64_t done, Clock::Instant now) const {
  std::string out = *stage_ == core::Stage::Checking ? "checking " : "converting ";
  append_size(out, static_cast<double>(done));
  out += " of ";
  append_size(out, static_cast<double>(total_));
  // A rate measured over less than a redraw interval swings too widely to be worth reading.
  const std::chrono::duration<double> elapsed = now - stage_start_;
  if (elapsed < redraw_interval || done == stage_bytes_) return out;
  const double rate = static_cast<double>(done - stage_bytes_) / elapsed.count();
  out += ", ";
  append_size(out, rate);
  out += "/s, ";
  // Capped so that the conversion to an integer stays defined for a stalled reading.
  const double left = std::min(std::ceil(static_cast<double>(total_ - done) / rate), 1e7);
  append_duration(out, static_cast<std::uint64_t>(left));
  out += " left";
  return out;
}

}  // namespace morvel::cli
