#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "core/error.hpp"

namespace morvel::core {

// What a conversion is doing when it reports its progress: a first reading that only looks
// through the input before any output is written (a CSV's quotes, the columns of every record,
// a JSON array's syntax), or the reading that writes the output.
enum class Stage : std::uint8_t { Checking, Converting };

// Lets the caller of a long conversion look in on it: to stop it (a pending Ctrl-C), to show how
// far it has come, and to hear what it warns of. Conversions call progress() and check() about
// every few megabytes of input, and byte streams call check() whenever a system call was
// interrupted by a signal. Every call comes from the thread that started the conversion.
class Monitor {
 public:
  Monitor() = default;
  Monitor(const Monitor&) = delete;  // a monitor watches one conversion
  Monitor& operator=(const Monitor&) = delete;
  virtual ~Monitor() = default;

  // Asked whether to go on. An error (ErrorKind::Interrupted for a stop) ends the conversion
  // with that error, unchanged.
  [[nodiscard]] virtual Status check() = 0;

  // Told that `input_bytes` of the input have been read through in `stage`. Never fails.
  virtual void progress(std::uint64_t /*input_bytes*/, Stage /*stage*/) {}

  // Told that the input has nothing more for the moment, before the conversion waits for it: what
  // is ready should go out now, so that a slow stream's statements come out as its records
  // arrive. Fails as writing it out does, which ends the conversion with that error.
  [[nodiscard]] virtual Status idle() { return {}; }

  // Told of something that does not stop the conversion but may cost the user data or a load:
  // the notice says what and what to do, and the face that shows it words any option it advises.
  virtual void warn(Notice notice) = 0;
};

// Calls a monitor, if there is one, each time a reader's position passes another interval.
// Cheap when nothing is due: one comparison.
class Checkpoints {
 public:
  // Bytes of input between two calls: a few milliseconds of work.
  static constexpr std::uint64_t interval = 4 * 1024 * 1024;

  explicit Checkpoints(Monitor* monitor, Stage stage = Stage::Converting) noexcept
      : monitor_(monitor), next_(monitor != nullptr ? interval : never), stage_(stage) {}

  // Tells the monitor of the progress and asks it whether to go on when `position` has passed
  // the next interval. Fails as the monitor does.
  [[nodiscard]] Status reached(std::uint64_t position) {
    if (position < next_) return {};
    next_ = position + interval;
    monitor_->progress(position, stage_);
    return monitor_->check();
  }

  // The monitor, or null. Never fails.
  [[nodiscard]] Monitor* monitor() const noexcept { return monitor_; }

 private:
  static constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

  Monitor* monitor_;
  std::uint64_t next_;
  Stage stage_;
};

}  // namespace morvel::core
