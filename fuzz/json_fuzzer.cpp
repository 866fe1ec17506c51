// Pushes arbitrary bytes through the JSON reader and statement generation, and holds the reader
// to a second, independent JSON parser: the same documents accepted, the same objects handed
// over with the same keys in byte order, and value texts that mean the same JSON values.

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/data_type.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "fuzz_support.hpp"
#include "readers/read_input.hpp"

namespace morvel::fuzz {
namespace {

using nlohmann::json;
using readers::stream_json;

// Arrays and objects open inside one another that the reader accepts, counting the outermost.
constexpr std::size_t max_levels = 127;
constexpr std::string_view recursion_limit = "recursion limit exceeded";

// What a JSON text holds outside its strings.
struct Layout {
  std::size_t nesting = 0;             // how deeply arrays and objects nest
  bool white_outside_strings = false;  // JSON white space, which the compact form never has
};

// The layout of `text`, a JSON text: one walk that skips strings with their escapes.
Layout layout_of(std::string_view text) {
  Layout layout;
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      layout.nesting = std::max(layout.nesting, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      layout.white_outside_strings = true;
    }
  }
  return layout;
}

std::optional<json> reference_parse(std::string_view text) {
  // The reference stops at a NUL byte as if the text ended there; JSON allows none anywhere.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  json value = json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// No floats anywhere and no integer zero (which might have been written -0): the reference
// parser's own compact form is then exactly ours.
bool prints_like_reference(const json& value) {
  switch (value.type()) {
    case json::value_t::number_float:
      return false;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
      return value != 0;
    case json::value_t::array:
    case json::value_t::object:
      for (const json& element : value) {
        if (!prints_like_reference(element)) return false;
      }
      return true;
    default:
      return true;
  }
}

void check_value_text(const std::string& text, const json& value, const std::string& note) {
  switch (value.type()) {
    case json::value_t::null:
      MORVEL_FUZZ_CHECK(text == "NULL", note);
      return;
    case json::value_t::boolean:
      MORVEL_FUZZ_CHECK(text == (value.get<bool>() ? "true" : "false"), note);
      return;
    case json::value_t::string:
      MORVEL_FUZZ_CHECK(text == value.get_ref<const std::string&>(), note);
      return;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
      // The reference reads -0 as the integer 0; we keep it as a float.
      MORVEL_FUZZ_CHECK(text == value.dump() || (value == 0 && text == "-0.0"), note);
      return;
    case json::value_t::number_float:
      MORVEL_FUZZ_CHECK(text.find_first_of(".e") != std::string::npos, note);
      MORVEL_FUZZ_CHECK(reference_parse(text) == value, note);
      return;
    default:
      break;
  }
  // Arrays and objects: compact text that means the same value.
  MORVEL_FUZZ_CHECK(!layout_of(text).white_outside_strings, note);
  MORVEL_FUZZ_CHECK(reference_parse(text) == value, note);
  if (prints_like_reference(value)) MORVEL_FUZZ_CHECK(text == value.dump(), note);
}

void check_row(const std::vector<Collected::Entry>& row, const json& object) {
  MORVEL_FUZZ_CHECK(row.size() == object.size(), "entries against keys: " + object.dump());
  std::size_t i = 0;
  // The reference keeps object members in a map ordered by the keys' bytes.
  for (const auto& [key, value] : object.items()) {
    const std::string note = "key [" + key + "] text [" + row[i].text + "] value " + value.dump();
    MORVEL_FUZZ_CHECK(row[i].name == key, note);
    check_value_text(row[i].text, value, note);
    ++i;
  }
}

// Compares the rows read with the objects the reference found, then how the reading ended.
struct Expectation {
  std::vector<json> objects;
  bool fails = false;
  // When set, the reader's message must be exactly this or start with it.
  std::optional<std::string> message;
  bool message_is_prefix = false;
  // A line the reference refuses: the message must place the error on this line, counted in the
  // whole input.
  std::optional<std::size_t> parse_error_line;
  // A lone CR within the line ends a line of the messages too: the error may stand on any line
  // up to this one.
  std::size_t parse_error_last_line = 0;
};

void check_against(const Collected& read, const Expectation& expected) {
  MORVEL_FUZZ_CHECK(read.rows.size() == expected.objects.size(),
                    std::to_string(read.rows.size()) + " rows read, the reference has " +
                        std::to_string(expected.objects.size()) +
                        (read.error ? "; error: " + read.error->message : std::string()));
  for (std::size_t r = 0; r < read.rows.size(); ++r) check_row(read.rows[r], expected.objects[r]);
  MORVEL_FUZZ_CHECK(read.error.has_value() == expected.fails,
                    read.error ? "unexpected error: " + read.error->message
                               : std::string("accepted, the reference refuses"));
  if (read.error && expected.message) {
    const std::string& message = read.error->message;
    MORVEL_FUZZ_CHECK(expected.message_is_prefix ? message.starts_with(*expected.message)
                                                 : message == *expected.message,
                      "'" + message + "' against '" + *expected.message + "'");
  }
  if (read.error && expected.parse_error_line) {
    bool is_placed = false;
    for (std::size_t line = *expected.parse_error_line;
         line <= std::max(*expected.parse_error_line, expected.parse_error_last_line); ++line) {
      const std::string at = " at line " + std::to_string(line) + " column ";
      is_placed = is_placed || read.error->message.find(at) != std::string::npos;
    }
    MORVEL_FUZZ_CHECK(is_placed, read.error->message);
  }
}

// The array layout: one document, all or nothing.
void check_array(std::string_view input, const Collected& read) {
  const std::optional<json> document = reference_parse(input);
  if (read.error && read.error->message.starts_with(recursion_limit)) {
    // The limit may strike before a syntax error further on that the reference reports.
    MORVEL_FUZZ_CHECK(read.rows.empty(), "rows before a failure of the array layout");
    if (document) {
      MORVEL_FUZZ_CHECK(layout_of(input).nesting > max_levels, "limit struck too early");
    }
    return;
  }
  Expectation expected;
  if (!document || layout_of(input).nesting > max_levels) {
    expected.fails = true;
  } else {
    for (const json& element : *document) {
      if (element.is_object()) expected.objects.push_back(element);
    }
  }
  check_against(read, expected);
}

// Whether the input is read as an array: its first byte after a byte-order mark and white space.
bool starts_array(std::string_view input) {
  if (input.starts_with(core::utf8_byte_order_mark)) {
    input.remove_prefix(core::utf8_byte_order_mark.size());
  }
  const std::size_t first = input.find_first_not_of(" \t\n\r");
  return first != std::string_view::npos && input[first] == '[';
}

// The line layout: line by line until the first line that fails.
void check_lines(std::string_view input, const Collected& read) {
  Expectation expected;
  std::string_view rest = input;
  while (!rest.empty() && !expected.fails) {
    // Lines count every line end before, a lone CR's too, as the messages do.
    const std::size_t number =
        1 + core::count_line_ends(input.substr(0, input.size() - rest.size()));
    const std::string at = " at line " + std::to_string(number);
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t last_line = number + core::count_line_ends(line);
    if (find_invalid_utf8(line)) {
      expected.fails = true;
      expected.message = "stream did not contain valid UTF-8" + at;
      break;
    }
    // A byte-order mark may open the input; elsewhere it is a character where a value must start.
    // The reference skips one at the start of what it parses.
    // Columns count every byte of the line, the skipped mark's too.
    std::size_t column = 1;
    if (number == 1 && line.starts_with(core::utf8_byte_order_mark)) {
      line.remove_prefix(core::utf8_byte_order_mark.size());
      column += core::utf8_byte_order_mark.size();
    }
    if (trim_white_space(line).empty()) continue;
    if (line.starts_with(core::utf8_byte_order_mark)) {
      expected.fails = true;
      expected.message = "expected value" + at + " column " + std::to_string(column);
      break;
    }
    const std::optional<json> document = reference_parse(line);
    if (!document) {
      expected.fails = true;
      expected.parse_error_line = number;
      expected.parse_error_last_line = last_line;
      break;
    }
    if (layout_of(line).nesting > max_levels) {
      expected.fails = true;
      expected.message = std::string(recursion_limit) + " at line ";
      expected.message_is_prefix = true;
      expected.parse_error_line = number;
      expected.parse_error_last_line = last_line;
      break;
    }
    if (document->is_object()) expected.objects.push_back(*document);
  }
  check_against(read, expected);
}

}  // namespace
}  // namespace morvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvel;
  using namespace morvel::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // Small reads take the streaming paths (a growing buffer, lines split across reads).
  const Collected held = collect_both_ways(stream_json, input);

  if (input.empty()) {
    MORVEL_FUZZ_CHECK(held.rows.empty() && !held.error, "empty input");
  } else if (starts_array(input)) {
    check_array(input, held);
  } else {
    check_lines(input, held);
  }
  return 0;
}
