#include "core/error.hpp"

#include <errno.h>
#include <string.h>

#include <utility>

namespace morvel::core {

Error invalid(std::string message) { return Error{ErrorKind::Invalid, std::move(message)}; }

Error invalid_instead(std::string message, OptionRef alternative) {
  return Error{ErrorKind::Invalid, std::move(message), 0,
               OptionWords{OptionRule::Instead, {alternative, {}}}};
}

Error option_error(OptionRule rule, std::string message, std::string_view first,
                   std::string_view second) {
  return Error{ErrorKind::Invalid, std::move(message), 0,
               OptionWords{rule, {OptionRef{first}, OptionRef{second}}}};
}

Notice advice(std::string before, OptionRef option, std::string_view after) {
  const std::size_t at = before.size();
  before += after;
  return Notice(std::move(before), OptionWords{OptionRule::Advice, {option, {}}, at});
}

std::string spelled_in(std::string_view text, const OptionWords& about, std::string_view spelling) {
  std::string out;
  if (about.rule == OptionRule::Advice && about.at <= text.size()) {
    out.reserve(text.size() + spelling.size());
    out.append(text.substr(0, about.at)).append(spelling).append(text.substr(about.at));
  } else if (about.rule == OptionRule::Instead) {
    out.reserve(text.size() + spelling.size() + 16);
    out.append(text).append(" (use ").append(spelling).append(" instead)");
  } else {
    out = text;
  }
  return out;
}

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
