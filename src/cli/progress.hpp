#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/io.hpp"
#include "core/monitor.hpp"

namespace morvel::cli {

// Inputs larger than this get a progress line; smaller ones are through in well under a second.
inline constexpr std::uint64_t progress_threshold = 64 * 1024 * 1024;

// Tells the progress line the time. Tests put in a clock they move by hand.
class Clock {
 public:
  using Instant = std::chrono::steady_clock::time_point;

  Clock() = default;
  Clock(const Clock&) = delete;  // an interface: a copy would be cut down to it
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  // The current time, never earlier than a time returned before. Never fails.
  [[nodiscard]] virtual Instant now() noexcept = 0;
};

// The system's monotonic clock.
class SteadyClock final : public Clock {
 public:
  [[nodiscard]] Instant now() noexcept override { return std::chrono::steady_clock::now(); }
};

// A line on a terminal that shows how far a reading of `total` input bytes has come: the stage,
// the bytes done, and once the stage has run a redraw interval, its rate and the time it has
// left ("converting 412 MiB of 1.0 GiB, 350 MiB/s, 2 s left"). Each drawing returns to the start
// of the line and clears what a longer one left. Borrows `terminal` and `clock`, which must
// outlive it; errors of the terminal are dropped, as it has no other place to be reported.
class ProgressLine {
 public:
  // Drawings come at most this often.
  static constexpr std::chrono::milliseconds redraw_interval{100};

  ProgressLine(std::uint64_t total, core::ByteSink& terminal, Clock& clock) noexcept;
  ProgressLine(const ProgressLine&) = delete;  // two owners would erase each other's line
  ProgressLine& operator=(const ProgressLine&) = delete;
  // Erases the line, so that nothing of it stays behind a later message or the shell's prompt.
  ~ProgressLine();

  // Takes note that `done` bytes have been read through in `stage` and redraws the line unless
  // the last drawing is younger than redraw_interval; the first update draws at once. The first
  // update, a change of stage, or a position behind the last one (a reading from the start
  // again) begins a new measure of the rate. Never fails.
  void update(std::uint64_t done, core::Stage stage);

  // Removes the line from the terminal if it shows, for a message to take its place; the next
  // update that is due draws it again. Never fails.
  void erase();

 private:
  std::string text(std::uint64_t done, Clock::Instant now) const;

  std::uint64_t total_;
  core::ByteSink& terminal_;
  Clock& clock_;
  std::optional<core::Stage> stage_;
  Clock::Instant stage_start_;     // when the stage shown was first reported
  std::uint64_t stage_bytes_ = 0;  // bytes done when the stage began
  std::uint64_t last_done_ = 0;
  std::optional<Clock::Instant> last_drawing_;
  bool is_shown_ = false;
};

}  // namespace morvel::cli
