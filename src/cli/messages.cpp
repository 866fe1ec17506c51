#include "cli/messages.hpp"

#include <algorithm>

namespace morvel::cli {
namespace {

using core::OptionRule;

// The usage name of the option keyed `key`, in quotes. A key missing from the table is a
// programmer's error; the key itself still says which option is meant.
std::string quoted_usage_name(std::string_view key) {
  const convert::OptionSpec* option = convert::find_option(key);
  std::string out = "'";
  out += option != nullptr ? usage_name(option->long_name, option->value_name) : std::string(key);
  out += '\'';
  return out;
}

// Whether a shell reads `text` as one word as it stands.
bool is_plain_word(std::string_view text) {
  return !text.empty() && std::ranges::all_of(text, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-_./:,+=@%").find(c) != std::string_view::npos;
  });
}

std::string shell_word(std::string_view text) {
  if (is_plain_word(text)) return std::string(text);
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

}  // namespace

std::string usage_name(std::string_view long_name, std::string_view value_name) {
  std::string name = "--";
  name += long_name;
  if (!value_name.empty()) {
    name += " <";
    name += value_name;
    name += '>';
  }
  return name;
}

std::string command_spelling(const core::OptionRef& option) {
  const convert::OptionSpec* entry = convert::find_option(option.key);
  std::string out = "--";
  out += entry != nullptr ? entry->long_name : option.key;
  if (!option.value.empty()) {
    out += ' ';
    out += shell_word(option.value);
  }
  return out;
}

std::string command_message(const core::Error& error) {
  const auto& [first, second] = error.about.options;
  switch (error.about.rule) {
    case OptionRule::Conflict:
      return quoted_usage_name(first.key) + " cannot be used with " + quoted_usage_name(second.key);
    case OptionRule::Requires:
      return quoted_usage_name(first.key) + " requires " + quoted_usage_name(second.key);
    case OptionRule::Advice:
    case OptionRule::Instead:
      return core::spelled_in(error.message, error.about, command_spelling(first));
    case OptionRule::None:
      break;
  }
  return error.message;
}

std::string command_sentence(const core::Notice& notice) {
  if (notice.about.rule == OptionRule::None) return notice.text;
  return core::spelled_in(notice.text, notice.about, command_spelling(notice.advised()));
}

}  // namespace morvel::cli
