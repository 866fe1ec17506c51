#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "core/error.hpp"

namespace morvel::core {

// Lets the caller of a long conversion look in on it: to stop it (a pending Ctrl-C), to show how
// far it has come, and to hear what it warns of. Readers call check() about every few megabytes
// of input, and byte streams whenever a system call was interrupted by a signal.
class Monitor {
 public:
  Monitor() = default;
  Monitor(const Monitor&) = delete;  // a monitor watches one conversion
  Monitor& operator=(const Monitor&) = delete;
  virtual ~Monitor() = default;

  // Told that `input_bytes` of the input have been read through. An error (ErrorKind::Interrupted
  // for a stop) ends the conversion with that error, unchanged.
  [[nodiscard]] virtual Status check(std::uint64_t input_bytes) = 0;

  // Told of something that does not stop the conversion but may cost the user data or a load:
  // `sentence` says what and what to do, in lower case without a final full stop.
  virtual void warn(std::string sentence) = 0;
};

// Calls a monitor, if there is one, each time a reader's position passes another interval.
// Cheap when nothing is due: one comparison.
class Checkpoints {
 public:
  // Bytes of input between two calls: a few milliseconds of work.
  static constexpr std::uint64_t interval = 4 * 1024 * 1024;

  explicit Checkpoints(Monitor* monitor) noexcept
      : monitor_(monitor), next_(monitor != nullptr ? interval : never) {}

  // Calls the monitor when `position` has passed the next interval. Fails as the monitor does.
  [[nodiscard]] Status reached(std::uint64_t position) {
    if (position < next_) return {};
    next_ = position + interval;
    return monitor_->check(position);
  }

  // The monitor, or null. Never fails.
  [[nodiscard]] Monitor* monitor() const noexcept { return monitor_; }

 private:
  static constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

  Monitor* monitor_;
  std::uint64_t next_;
};

}  // namespace morvel::core
