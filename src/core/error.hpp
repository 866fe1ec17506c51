#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace morvel::core {

// How a failure is reported at the two edges: the Python module picks its exception class by it,
// the command line prints every kind the same way, but for a stop asked for and a closed pipe.
enum class ErrorKind : std::uint8_t {
  Invalid,      // bad input data or options (ValueError)
  Io,           // a read or write failed after the stream was open (ValueError)
  Open,         // a file could not be opened (OSError)
  Interrupted,  // the caller's monitor stopped the conversion (see Monitor)
};

// One failure: the user-facing message, written once where the offending value is known.
struct Error {
  ErrorKind kind = ErrorKind::Invalid;
  std::string message;
  int code = 0;  // the errno value of a system failure, else 0

  // Whether writing failed because the reader of a pipe has gone. Never fails.
  [[nodiscard]] bool is_broken_pipe() const noexcept;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

// An Invalid error with the given message. Never fails.
[[nodiscard]] Error invalid(std::string message);

// The system error for errno value `code`: "<description> (os error N)". Never fails.
[[nodiscard]] Error os_error(ErrorKind kind, int code);

// The system's description of errno value `code`, as os_error quotes it. Never fails.
[[nodiscard]] std::string os_description(int code);

}  // namespace morvel::core
