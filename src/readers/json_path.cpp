#include "readers/json_path.hpp"

#include "core/scan.hpp"
#include "readers/json_escape.hpp"
#include "readers/json_syntax.hpp"

namespace morvel::readers::json {

namespace {

namespace scan = core::scan;

bool is_white(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The text has been checked, so every walk below meets well-formed JSON and ends in it.
const char* skip_white(const char* p, const char* end) noexcept {
  while (p != end && is_white(*p)) ++p;
  return p;
}

// The byte after the string whose opening quote is at `p`.
const char* skip_string(const char* p, const char* end) noexcept {
  for (++p;; p += 2) {
    p = scan::find_any<'"', '\\'>(p, end);
    if (*p == '"') return p + 1;
  }
}

// The byte after the value that begins at `p`.
const char* skip_value(const char* p, const char* end) noexcept {
  if (*p == '"') return skip_string(p, end);
  if (*p != '{' && *p != '[') {
    while (p != end && *p != ',' && *p != '}' && *p != ']' && !is_white(*p)) ++p;
    return p;
  }
  std::size_t depth = 0;
  for (;;) {
    if (*p == '"') {
      p = skip_string(p, end);
      continue;
    }
    if (*p == '{' || *p == '[') ++depth;
    if ((*p == '}' || *p == ']') && --depth == 0) return p + 1;
    ++p;
  }
}

// What the value at `p` is, as a message names it.
std::string_view kind_of(char first) noexcept {
  switch (first) {
    case '{':
      return "an object";
    case '[':
      return "an array";
    case '"':
      return "a string";
    case 't':
    case 'f':
      return "a boolean";
    case 'n':
      return "null";
    default:
      return "a number";
  }
}

// The value of the last member named `key` in the object that opens at `p`, or null.
const char* member(const char* p, const char* end, std::string_view key) {
  const char* found = nullptr;
  std::string unescaped;
  p = skip_white(p + 1, end);
  while (*p == '"') {
    const char* const key_end = skip_string(p, end);
    std::string_view raw(p + 1, static_cast<std::size_t>(key_end - p - 2));
    if (raw.find('\\') != std::string_view::npos) {
      unescaped.clear();
      append_unescaped(raw, unescaped);
      raw = unescaped;
    }
    const char* const value = skip_white(skip_white(key_end, end) + 1, end);
    if (raw == key) found = value;
    p = skip_white(skip_value(value, end), end);
    if (*p != ',') break;
    p = skip_white(p + 1, end);
  }
  return found;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

}  // namespace

std::string path_text(std::span<const std::string> keys) {
  std::string text;
  for (const std::string& key : keys) {
    if (!text.empty()) text += '.';
    text += key;
  }
  return text;
}

core::Result<std::size_t> find_path_array(std::string_view text,
                                          std::span<const std::string> keys) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = skip_white(begin, end);
  const std::string path = path_text(keys);
  const auto at = [&](const char* where) {
    // Columns count the bytes read, as the parser's do: the value's first byte is column 1.
    return position_suffix(text, static_cast<std::size_t>(where - begin) + 1);
  };
  const auto refuse = [&](std::string_view what, const char* where) {
    std::string message = "JSON path '";
    message += path;
    message += what;
    message += at(where);
    return std::unexpected(core::invalid(std::move(message)));
  };
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::string reached = "the top level";
    if (i > 0) reached = quoted(path_text(keys.first(i)));
    if (*p != '{') {
      return refuse(
          "' not found: " + reached + " is " + std::string(kind_of(*p)) + ", not an object,", p);
    }
    const char* value = member(p, end, keys[i]);
    if (value == nullptr) {
      return refuse("' not found: " + reached + " has no key " + quoted(keys[i]) + ",", p);
    }
    p = value;
  }
  if (*p != '[') return refuse("' is " + std::string(kind_of(*p)) + ", not an array,", p);
  return static_cast<std::size_t>(p - begin);
}

}  // namespace morvel::readers::json
