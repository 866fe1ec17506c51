#include "core/error.hpp"

#include <errno.h>
#include <string.h>

#include <utility>

namespace morvel::core {

Error invalid(std::string message) { return Error{ErrorKind::Invalid, std::move(message)}; }

bool Error::is_broken_pipe() const noexcept { return kind == ErrorKind::Io && code == EPIPE; }

std::string os_description(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  return strerror_r(code, buffer, sizeof buffer);
}

Error os_error(ErrorKind kind, int code) {
  std::string message = os_description(code);
  message += " (os error ";
  message += std::to_string(code);
  message += ')';
  return Error{kind, std::move(message), code};
}

}  // namespace morvel::core
