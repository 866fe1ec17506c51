#include "core/error.hpp"

#include <string.h>

#include <utility>

namespace morvel::core {

Error invalid(std::string message) { return Error{ErrorKind::Invalid, std::move(message)}; }

Error os_error(ErrorKind kind, int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* description = strerror_r(code, buffer, sizeof buffer);
  std::string message = description;
  message += " (os error ";
  message += std::to_string(code);
  message += ')';
  return Error{kind, std::move(message)};
}

}  // namespace morvel::core
