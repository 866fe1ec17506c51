#include "parsers/json_syntax.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "lib/scan.hpp"
#include "lib/utf8.hpp"
#include "sql/inference.hpp"

namespace morvel::parsers::json_syntax {

namespace {

constexpr std::string_view eof_list = "EOF while parsing a list";
constexpr std::string_view eof_object = "EOF while parsing an object";
constexpr std::string_view eof_string = "EOF while parsing a string";
constexpr std::string_view eof_value = "EOF while parsing a value";
constexpr std::string_view expected_colon = "expected `:`";
constexpr std::string_view expected_list_comma = "expected `,` or `]`";
constexpr std::string_view expected_object_comma = "expected `,` or `}`";
constexpr std::string_view expected_ident = "expected ident";
constexpr std::string_view expected_value = "expected value";
constexpr std::string_view invalid_escape = "invalid escape";
constexpr std::string_view invalid_number = "invalid number";
constexpr std::string_view number_out_of_range = "number out of range";
constexpr std::string_view invalid_code_point = "invalid unicode code point";
constexpr std::string_view control_character =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view key_must_be_string = "key must be a string";
constexpr std::string_view lone_surrogate = "lone leading surrogate in hex escape";
constexpr std::string_view trailing_comma = "trailing comma";
constexpr std::string_view trailing_characters = "trailing characters";
constexpr std::string_view unexpected_end_of_hex = "unexpected end of hex escape";
constexpr std::string_view recursion_limit = "recursion limit exceeded";

// Arrays and objects open inside one another beyond this count are refused; the outermost one
// counts, so 127 levels are accepted.
constexpr unsigned max_depth = 128;

constexpr auto is_white = [] consteval {
  std::array<bool, 256> table{};
  table[' '] = true;
  table['\t'] = true;
  table['\n'] = true;
  table['\r'] = true;
  return table;
}
();

constexpr std::uint8_t not_hex = 0xFF;
constexpr auto hex_value = [] consteval {
  std::array<std::uint8_t, 256> table{};
  table.fill(not_hex);
  for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table['a' + c] = static_cast<std::uint8_t>(10 + c);
    table['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return table;
}
();

unsigned char byte_at(const char* p) noexcept { return static_cast<unsigned char>(*p); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The four hex digits at `p`, which the scan has already accepted.
unsigned hex4(const char* p) noexcept {
  return (unsigned{hex_value[byte_at(p)]} << 12) | (unsigned{hex_value[byte_at(p + 1)]} << 8) |
         (unsigned{hex_value[byte_at(p + 2)]} << 4) | unsigned{hex_value[byte_at(p + 3)]};
}

// Whether the `count` digits at `digits` are at most `limit` (written with as many digits).
bool fits(const char* digits, std::size_t count, std::string_view limit) noexcept {
  return count < limit.size() ||
         (count == limit.size() && std::memcmp(digits, limit.data(), count) <= 0);
}

// The number text [first, last), already accepted by the scan and known to be in range, as
// the nearest double. from_chars refuses values too small for a double; JSON reads them as zero.
double to_double(const char* first, const char* last) noexcept {
  double value = 0;
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) value = *first == '-' ? -0.0 : 0.0;
  return value;
}

// Whether the number text [first, last) lies beyond the largest double.
bool exceeds_double(const char* first, const char* last) noexcept {
  double value = 0;
  const auto result = std::from_chars(first, last, value);
  return result.ec == std::errc::result_out_of_range || std::isinf(value);
}

// Reads the escape after a backslash at `p` (already accepted by the scan), advancing `p`, and
// returns the code point it stands for.
char32_t read_escape(const char*& p) noexcept {
  switch (*p++) {
    case 'b':
      return 0x08;
    case 'f':
      return 0x0C;
    case 'n':
      return 0x0A;
    case 'r':
      return 0x0D;
    case 't':
      return 0x09;
    case 'u': {
      const unsigned unit = hex4(p);
      p += 4;
      if (unit < 0xD800 || unit > 0xDBFF) return unit;
      const unsigned low = hex4(p + 2);
      p += 6;
      return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    default:
      return static_cast<unsigned char>(p[-1]);
  }
}

void append_utf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    const char bytes[] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 2);
  } else if (c < 0x10000) {
    const char bytes[] = {static_cast<char>(0xE0 | (c >> 12)),
                          static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[] = {
        static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 4);
  }
}

// The compact form of one character inside a serialised string.
void append_escaped(char32_t c, std::string& out) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case 0x08:
      out += "\\b";
      return;
    case 0x09:
      out += "\\t";
      return;
    case 0x0A:
      out += "\\n";
      return;
    case 0x0C:
      out += "\\f";
      return;
    case 0x0D:
      out += "\\r";
      return;
    default:
      break;
  }
  if (c >= 0x20) {
    append_utf8(c, out);
    return;
  }
  constexpr std::string_view digits = "0123456789abcdef";
  const char bytes[] = {'\\', 'u', '0', '0', digits[c >> 4], digits[c & 0xF]};
  out.append(bytes, sizeof bytes);
}

// Appends the string content `raw` (between the quotes, escapes accepted by the scan) with its
// escapes resolved: `Escaped` decides whether each escaped character is written as itself or
// in the compact serialisation.
template <bool Escaped>
void append_unescaped(std::string_view raw, std::string& out) {
  const char* p = raw.data();
  const char* const end = p + raw.size();
  for (;;) {
    const void* hit = std::memchr(p, '\\', static_cast<std::size_t>(end - p));
    if (hit == nullptr) {
      out.append(p, end);
      return;
    }
    const char* backslash = static_cast<const char*>(hit);
    out.append(p, backslash);
    p = backslash + 1;
    const char32_t c = read_escape(p);
    if constexpr (Escaped) {
      append_escaped(c, out);
    } else {
      append_utf8(c, out);
    }
  }
}

}  // namespace

std::string position_suffix(std::string_view text, std::size_t offset) {
  const std::string_view read = text.substr(0, offset);
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
  const std::size_t last_break = read.rfind('\n');
  const std::size_t column =
      last_break == std::string_view::npos ? offset : offset - last_break - 1;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string describe(const SyntaxError& error, std::string_view text) {
  std::string message(error.description);
  message += position_suffix(text, error.offset);
  return message;
}

bool is_printed_float(std::string_view number) noexcept {
  // Only the positional form without an exponent is taken: [-] int . fraction.
  if (!number.empty() && number[0] == '-') number.remove_prefix(1);
  const std::size_t point = number.find('.');
  if (point == std::string_view::npos || point == 0 || point + 1 == number.size()) return false;
  const std::string_view whole = number.substr(0, point);
  const std::string_view fraction = number.substr(point + 1);
  for (const char c : number.substr(0, point)) {
    if (!is_digit(c)) return false;
  }
  for (const char c : fraction) {
    if (!is_digit(c)) return false;
  }
  if (whole.size() > 1 && whole[0] == '0') return false;
  // A whole number prints with ".0", anything else without trailing zeros.
  if (fraction != "0" && fraction.back() == '0') return false;
  // Up to 15 significant digits a decimal survives the trip through a double (DBL_DIG), so
  // the shortest digits that read back are its own; the exponent must also be one that prints
  // positionally (-5 to 15).
  if (whole != "0") return whole.size() + fraction.size() <= 15;
  std::size_t zeros = 0;
  while (zeros < fraction.size() && fraction[zeros] == '0') ++zeros;
  if (zeros == fraction.size()) return fraction.size() == 1;  // 0.0
  return zeros <= 4 && fraction.size() - zeros <= 15;
}

void append_float(double value, std::string& out) {
  if (value == 0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // The scientific form of to_chars gives the shortest digits that read back to the same
  // double, nearest to the value on a tie; only their layout is ours.
  char buffer[40];
  const auto printed =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(printed.ptr - buffer));
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  char digits[24];
  int count = 0;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digits[count++] = c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + 2, text.data() + text.size(), exponent);
  if (text[e + 1] == '-') exponent = -exponent;

  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out.append(digits, static_cast<std::size_t>(count));
    } else if (exponent < count - 1) {
      out.append(digits, static_cast<std::size_t>(exponent + 1));
      out += '.';
      out.append(digits + exponent + 1, static_cast<std::size_t>(count - exponent - 1));
    } else {
      out.append(digits, static_cast<std::size_t>(count));
      out.append(static_cast<std::size_t>(exponent - count + 1), '0');
      out += ".0";
    }
    return;
  }
  out += digits[0];
  if (count > 1) {
    out += '.';
    out.append(digits + 1, static_cast<std::size_t>(count - 1));
  }
  out += exponent < 0 ? "e-" : "e+";
  char exponent_digits[8];
  const auto written = std::to_chars(exponent_digits, exponent_digits + sizeof exponent_digits,
                                     exponent < 0 ? -exponent : exponent);
  out.append(exponent_digits, written.ptr);
}

void Parser::reset(std::string_view text) noexcept {
  begin_ = text.data();
  end_ = text.data() + text.size();
  // A stream's strings need a UTF-8 check only when the text has invalid bytes somewhere; one
  // pass over the whole text is much cheaper than checking every string.
  checks_utf8_ = origin_ == Origin::Stream && find_invalid_utf8(text).has_value();
  error_ = SyntaxError{};
}

const char* Parser::fail(std::string_view description, const char* after) noexcept {
  error_ = SyntaxError{description, static_cast<std::size_t>(after - begin_), false};
  return nullptr;
}

const char* Parser::fail_at_end(std::string_view description) noexcept {
  error_ = SyntaxError{description, static_cast<std::size_t>(end_ - begin_), true};
  return nullptr;
}

[[gnu::always_inline]] inline const char* Parser::skip_white(const char* p) const noexcept {
  // Between tokens there is usually nothing or one blank ("key": value, ", "); the loop is for
  // pretty-printed input.
  if (p == end_ || !is_white[byte_at(p)]) return p;
  ++p;
  if (p == end_ || !is_white[byte_at(p)]) return p;
  while (p != end_ && is_white[byte_at(p)]) ++p;
  return p;
}

bool Parser::finish(const char* p) noexcept {
  p = skip_white(p);
  if (p == end_) return true;
  fail(trailing_characters, p + 1);
  return false;
}

bool Parser::check() {
  const char* p = skip_white(begin_);
  if (p == end_) {
    fail_at_end(eof_value);
    return false;
  }
  p = check_value(p, 0);
  return p != nullptr && finish(p);
}

Parser::Parsed Parser::parse(Row& row) {
  const char* p = skip_white(begin_);
  if (p == end_) {
    fail_at_end(eof_value);
    return Parsed::Failed;
  }
  if (*p != '{') {
    p = check_value(p, 0);
    return p != nullptr && finish(p) ? Parsed::Other : Parsed::Failed;
  }
  p = parse_row_object(p, 0);
  if (p == nullptr || !finish(p)) return Parsed::Failed;
  build_row(row);
  return Parsed::Object;
}

Status Parser::hand_over_elements(RowSink sink) {
  // check() has seen every string of this text.
  checks_utf8_ = false;
  std::optional<Error> refused;
  Row row;
  const char* p = walk_array(skip_white(begin_) + 1, [&](const char* element) -> const char* {
    if (*element != '{') return check_value(element, 1);
    const char* after = parse_row_object(element, 1);
    if (after == nullptr) return nullptr;
    build_row(row);
    if (auto accepted = sink(std::move(row)); !accepted) {
      refused = std::move(accepted.error());
      return nullptr;
    }
    return after;
  });
  if (refused) return std::unexpected(std::move(*refused));
  // Unreachable after a successful check(); reported rather than ignored all the same.
  if (p == nullptr) return std::unexpected(invalid(describe(error_, {begin_, end_})));
  return {};
}

// `p` is after the opening bracket; `element` gets each element at its first byte, which is
// neither white space nor the closing bracket, and returns the byte after it or nullptr.
template <class Element>
const char* Parser::walk_array(const char* p, Element&& element) {
  p = skip_white(p);
  if (p == end_) return fail_at_end(eof_list);
  if (*p == ']') return p + 1;
  for (;;) {
    p = element(p);
    if (p == nullptr) return nullptr;
    p = skip_white(p);
    if (p == end_) return fail_at_end(eof_list);
    if (*p == ']') return p + 1;
    if (*p != ',') return fail(expected_list_comma, p + 1);
    p = skip_white(p + 1);
    if (p == end_) return fail_at_end(eof_value);
    if (*p == ']') return fail(trailing_comma, p + 1);
  }
}

// `p` is after the opening brace; `on_member(raw_key, escaped, value)` gets each key's content
// between its quotes and the first byte of its value, and returns the byte after the value or
// nullptr.
template <class OnMember>
const char* Parser::walk_object(const char* p, OnMember&& on_member) {
  p = skip_white(p);
  if (p == end_) return fail_at_end(eof_object);
  if (*p == '}') return p + 1;
  for (;;) {
    if (*p != '"') return fail(*p == '}' ? trailing_comma : key_must_be_string, p + 1);
    const char* key = p;
    bool escaped = false;
    p = scan_string(p, escaped);
    if (p == nullptr) return nullptr;
    const std::string_view raw_key(key + 1, static_cast<std::size_t>(p - key - 2));
    p = skip_white(p);
    if (p == end_) return fail_at_end(eof_object);
    if (*p != ':') return fail(expected_colon, p + 1);
    p = skip_white(p + 1);
    if (p == end_) return fail_at_end(eof_value);
    p = on_member(raw_key, escaped, p);
    if (p == nullptr) return nullptr;
    p = skip_white(p);
    if (p == end_) return fail_at_end(eof_object);
    if (*p == '}') return p + 1;
    if (*p != ',') return fail(expected_object_comma, p + 1);
    p = skip_white(p + 1);
    if (p == end_) return fail_at_end(eof_value);
  }
}

// `depth` counts the arrays and objects open around the value at `p`.
const char* Parser::check_value(const char* p, unsigned depth) {
  switch (*p) {
    case '"': {
      bool escaped = false;
      return scan_string(p, escaped);
    }
    case 'n':
      return match_word(p, "null");
    case 't':
      return match_word(p, "true");
    case 'f':
      return match_word(p, "false");
    case '[':
      if (depth + 1 >= max_depth) return fail(recursion_limit, p + 1);
      return walk_array(p + 1,
                        [&](const char* element) { return check_value(element, depth + 1); });
    case '{':
      if (depth + 1 >= max_depth) return fail(recursion_limit, p + 1);
      return walk_object(p + 1, [&](std::string_view, bool, const char* value) {
        return check_value(value, depth + 1);
      });
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      bool is_float = false;
      return scan_number(p, is_float);
    }
    default:
      return fail(expected_value, p + 1);
  }
}

// Appends the compact serialisation of the value at `p` to the arena.
const char* Parser::write_value(const char* p, unsigned depth) {
  switch (*p) {
    case '"': {
      bool escaped = false;
      const char* after = scan_string(p, escaped);
      if (after == nullptr) return nullptr;
      if (!escaped) {
        arena_.append(p, after);
      } else {
        arena_ += '"';
        append_unescaped<true>({p + 1, static_cast<std::size_t>(after - p - 2)}, arena_);
        arena_ += '"';
      }
      return after;
    }
    case '[': {
      if (depth + 1 >= max_depth) return fail(recursion_limit, p + 1);
      arena_ += '[';
      bool first = true;
      const char* after = walk_array(p + 1, [&](const char* element) {
        if (!first) arena_ += ',';
        first = false;
        return write_value(element, depth + 1);
      });
      arena_ += ']';
      return after;
    }
    case '{': {
      if (depth + 1 >= max_depth) return fail(recursion_limit, p + 1);
      const std::size_t open = arena_.size();
      const std::size_t base = members_.size();
      const std::size_t keys_base = keys_.size();
      arena_ += '{';
      const char* after = walk_object(p + 1, [&](std::string_view raw_key, bool escaped,
                                                 const char* value) {
        if (members_.size() > base) arena_ += ',';
        const std::size_t start = arena_.size();
        const TextRef key = key_ref(raw_key, escaped);
        arena_ += '"';
        if (escaped) {
          append_unescaped<true>(raw_key, arena_);
        } else {
          arena_.append(raw_key);
        }
        arena_ += "\":";
        const char* next = write_value(value, depth + 1);
        members_.push_back(Member{key, TextRef{Store::Arena, nullptr, start, arena_.size() - start},
                                  members_.size()});
        return next;
      });
      if (after != nullptr) reorder_object(open, base);
      arena_ += '}';
      members_.resize(base);
      keys_.resize(keys_base);
      return after;
    }
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      bool is_float = false;
      const char* after = scan_number(p, is_float);
      if (after == nullptr) return nullptr;
      if (is_float) {
        append_float(to_double(p, after), arena_);
      } else {
        arena_.append(p, after);
      }
      return after;
    }
    default: {
      // Literals are written as they were read.
      const char* after = check_value(p, depth);
      if (after != nullptr) arena_.append(p, after);
      return after;
    }
  }
}

// Parses the object at `p` into members_ as (key, value text) pairs for a row.
const char* Parser::parse_row_object(const char* p, unsigned depth) {
  if (depth + 1 >= max_depth) return fail(recursion_limit, p + 1);
  arena_.clear();
  keys_.clear();
  members_.clear();
  keys_match_ = true;
  may_hold_nul_ = false;
  return walk_object(p + 1, [&](std::string_view raw_key, bool escaped, const char* value) {
    const TextRef key = key_ref(raw_key, escaped);
    // Each key is compared with the key at its place in the last object worked out.
    if (keys_match_) {
      const std::size_t index = members_.size();
      const std::size_t start = index == 0 ? 0 : order_key_ends_[index - 1];
      const std::string_view name = view(key);
      keys_match_ = index < order_key_ends_.size() &&
                    order_key_ends_[index] - start == name.size() &&
                    scan::equal(name.data(), order_keys_.data() + start, name.size());
    }
    TextRef text{};
    const char* next = member_text(value, depth + 1, text);
    members_.push_back(Member{key, text, members_.size()});
    return next;
  });
}

// The value text of a row entry: strings without escapes and integers are views of the input,
// literals are static, and everything else is written to the arena.
// Inlined into its one caller: returned through memory, the text was stored field by field and
// loaded back as a block, which stalled on store forwarding once per member.
[[gnu::always_inline]] inline const char* Parser::member_text(const char* p, unsigned depth,
                                                              TextRef& text) {
  switch (*p) {
    case '"': {
      bool escaped = false;
      const char* after = scan_string(p, escaped);
      if (after == nullptr) return nullptr;
      const std::string_view raw(p + 1, static_cast<std::size_t>(after - p - 2));
      if (!escaped) {
        text = TextRef{Store::Fixed, raw.data(), 0, raw.size()};
      } else {
        may_hold_nul_ = true;
        const std::size_t start = arena_.size();
        append_unescaped<false>(raw, arena_);
        text = TextRef{Store::Arena, nullptr, start, arena_.size() - start};
      }
      return after;
    }
    case 'n':
    case 't':
    case 'f': {
      const char* after = check_value(p, depth);
      if (after == nullptr) return nullptr;
      const std::string_view literal = *p == 'n' ? "NULL" : *p == 't' ? "true" : "false";
      text = TextRef{Store::Fixed, literal.data(), 0, literal.size(),
                     std::uint8_t{*p == 'n' ? DataType::Null : DataType::Boolean}};
      return after;
    }
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      bool is_float = false;
      const char* after = scan_number(p, is_float);
      if (after == nullptr) return nullptr;
      // JSON allows no leading zeros and no plus sign, so an integer's text is its own, and so
      // is a float's when it is already written the way append_float would write it.
      // The kind is settled here where DataType::infer would give it without a doubt: a JSON
      // number with a fraction or exponent matches its float grammar, and an integer of at most
      // 18 characters fits 64 bits. Longer integers are left to it.
      const auto size = static_cast<std::size_t>(after - p);
      if (!is_float) {
        text = TextRef{Store::Fixed, p, 0, size,
                       size <= 18 ? std::uint8_t{DataType::Integer} : unknown_kind};
      } else if (is_printed_float({p, size})) {
        text = TextRef{Store::Fixed, p, 0, size, DataType::Float};
      } else {
        const std::size_t start = arena_.size();
        append_float(to_double(p, after), arena_);
        text = TextRef{Store::Arena, nullptr, start, arena_.size() - start, DataType::Float};
      }
      return after;
    }
    default: {
      const std::size_t start = arena_.size();
      const char* after = write_value(p, depth);
      text = TextRef{Store::Arena, nullptr, start, arena_.size() - start};
      return after;
    }
  }
}

// `p` is at the opening quote; returns the byte after the closing one. `escaped` is set when
// the content holds a backslash.
// Most strings close at their first special byte; they are scanned inline, and the rest (escapes,
// errors, strings of a text with invalid UTF-8) go out of line, which spared the common case
// the entry and exit of a full function.
[[gnu::always_inline]] inline const char* Parser::scan_string(const char* p,
                                                              bool& escaped) noexcept {
  const char* q = scan::find_control_or_any<'"', '\\'>(p + 1, end_);
  if (q != end_ && *q == '"' && !checks_utf8_) return q + 1;
  return finish_string(p, q, escaped);
}

// Goes on with the string opened at `p` from the byte `q` the first search stopped at.
const char* Parser::finish_string(const char* p, const char* q, bool& escaped) noexcept {
  for (;;) {
    if (q == end_) return fail_at_end(eof_string);
    if (*q == '"') break;
    if (*q != '\\') return fail(control_character, q + 1);
    escaped = true;
    q = scan_escape(q + 1);
    if (q == nullptr) return nullptr;
    q = scan::find_control_or_any<'"', '\\'>(q, end_);
  }
  // A stream's string is checked as a whole once it is closed, so an error met earlier inside
  // it wins. Escapes are ASCII and cannot complete a broken sequence, so checking the raw
  // content is the same as checking the decoded one.
  if (checks_utf8_ && find_invalid_utf8({p + 1, static_cast<std::size_t>(q - p - 1)})) {
    return fail(invalid_code_point, q + 1);
  }
  return q + 1;
}

// `p` is after a backslash.
const char* Parser::scan_escape(const char* p) noexcept {
  if (p == end_) return fail_at_end(eof_string);
  switch (*p) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return p + 1;
    case 'u':
      return scan_unicode_escape(p + 1);
    default:
      return fail(invalid_escape, p + 1);
  }
}

// `p` is after `\u`. A leading surrogate must be followed by `\u` and a trailing one.
const char* Parser::scan_unicode_escape(const char* p) noexcept {
  unsigned unit = 0;
  p = scan_hex(p, unit);
  if (p == nullptr) return nullptr;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(lone_surrogate, p);
  if (unit < 0xD800 || unit > 0xDBFF) return p;
  if (p == end_) return fail_at_end(eof_string);
  if (*p != '\\') return fail(unexpected_end_of_hex, p + 1);
  ++p;
  if (p == end_) return fail_at_end(eof_string);
  if (*p != 'u') return fail(unexpected_end_of_hex, p + 1);
  p = scan_hex(p + 1, unit);
  if (p == nullptr) return nullptr;
  if (unit < 0xDC00 || unit > 0xDFFF) return fail(lone_surrogate, p);
  return p;
}

// Four hex digits are taken before any of them is judged, so a bad one is reported after the
// fourth, and fewer than four before the end is an unterminated string.
const char* Parser::scan_hex(const char* p, unsigned& unit) noexcept {
  if (end_ - p < 4) return fail_at_end(eof_string);
  for (int i = 0; i < 4; ++i) {
    if (hex_value[byte_at(p + i)] == not_hex) return fail(invalid_escape, p + 4);
  }
  unit = hex4(p);
  return p + 4;
}

// `p` is at the first letter of `word`, which selected it.
const char* Parser::match_word(const char* p, std::string_view word) noexcept {
  ++p;
  for (std::size_t i = 1; i < word.size(); ++i, ++p) {
    if (p == end_) return fail_at_end(eof_value);
    if (*p != word[i]) return fail(expected_ident, p + 1);
  }
  return p;
}

// `p` is at a minus sign or a digit. `is_float` tells whether the number is kept as a double:
// it has a fraction or an exponent, is -0, or lies outside the unsigned and signed 64-bit ranges.
const char* Parser::scan_number(const char* p, bool& is_float) noexcept {
  const char* const start = p;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (p == end_) return fail_at_end(eof_value);
  const char* const digits = p;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) return fail(invalid_number, p + 1);
  } else if (is_digit(*p)) {
    ++p;
    while (p != end_ && is_digit(*p)) ++p;
  } else {
    return fail(invalid_number, p + 1);
  }
  const auto integer_digits = static_cast<std::size_t>(p - digits);
  const bool integer_is_zero = *digits == '0';
  bool is_nonzero = !integer_is_zero;
  // The decimal magnitude m of a nonzero value: 10^(m-1) <= |value| < 10^m.
  std::int64_t magnitude = is_nonzero ? static_cast<std::int64_t>(integer_digits) : 0;
  is_float = false;

  if (p != end_ && *p == '.') {
    ++p;
    const char* const fraction = p;
    while (p != end_ && is_digit(*p)) ++p;
    if (p == fraction) return p == end_ ? fail_at_end(eof_value) : fail(invalid_number, p + 1);
    is_float = true;
    if (!is_nonzero) {
      const char* first = fraction;
      while (first != p && *first == '0') ++first;
      if (first != p) {
        is_nonzero = true;
        magnitude = -(first - fraction);
      }
    }
  }

  if (p != end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    is_float = true;
    bool exponent_is_negative = false;
    if (p != end_ && (*p == '+' || *p == '-')) {
      exponent_is_negative = *p == '-';
      ++p;
    }
    if (p == end_) return fail_at_end(eof_value);
    if (!is_digit(*p)) return fail(invalid_number, p + 1);
    std::int32_t exponent = 0;
    while (p != end_ && is_digit(*p)) {
      const int digit = *p - '0';
      ++p;
      if (exponent > (std::numeric_limits<std::int32_t>::max() - digit) / 10) {
        // An exponent beyond 32 bits is settled on the digit that overflows it: a nonzero
        // number grows without bound, anything else is zero whatever digits follow.
        if (is_nonzero && !exponent_is_negative) return fail(number_out_of_range, p);
        while (p != end_ && is_digit(*p)) ++p;
        return p;
      }
      exponent = exponent * 10 + digit;
    }
    magnitude += exponent_is_negative ? -std::int64_t{exponent} : std::int64_t{exponent};
  }

  if (!is_float) {
    is_float = negative ? integer_is_zero || !fits(digits, integer_digits, "9223372036854775808")
                        : !fits(digits, integer_digits, "18446744073709551615");
  }
  // Below 10^308 a value cannot overflow and from 10^309 on it always does; only the decade in
  // between needs the conversion.
  if (is_float && is_nonzero && magnitude > 308 && (magnitude > 309 || exceeds_double(start, p))) {
    // A stream has already taken the byte after the number by the time the value is converted.
    fail(number_out_of_range, origin_ == Origin::Stream && p != end_ ? p + 1 : p);
    error_.reached_end = p == end_;
    return nullptr;
  }
  return p;
}

Parser::TextRef Parser::key_ref(std::string_view raw, bool escaped) {
  if (!escaped) return TextRef{Store::Fixed, raw.data(), 0, raw.size()};
  may_hold_nul_ = true;
  const std::size_t start = keys_.size();
  append_unescaped<false>(raw, keys_);
  return TextRef{Store::Keys, nullptr, start, keys_.size() - start};
}

std::string_view Parser::view(const TextRef& text) const noexcept {
  switch (text.store) {
    case Store::Fixed:
      return {text.fixed, text.size};
    case Store::Arena:
      return std::string_view(arena_).substr(text.offset, text.size);
    case Store::Keys:
      break;
  }
  return std::string_view(keys_).substr(text.offset, text.size);
}

// Puts members_[base..] in ascending byte order of their keys, equal keys in input order.
// Objects usually arrive with few members, often already in order.
void Parser::sort_members(std::size_t base) {
  const auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
  const auto less = [this](const Member& a, const Member& b) {
    const int order = view(a.key).compare(view(b.key));
    return order < 0 || (order == 0 && a.order < b.order);
  };
  if (!std::is_sorted(first, members_.end(), less)) std::sort(first, members_.end(), less);
}

// Rewrites the members of the nested object whose brace is at arena offset `open` in key order,
// dropping all but the last of repeated keys. An object written in strict order is left alone.
void Parser::reorder_object(std::size_t open, std::size_t base) {
  bool is_strictly_ordered = true;
  for (std::size_t i = base + 1; i < members_.size(); ++i) {
    if (view(members_[i - 1].key) >= view(members_[i].key)) {
      is_strictly_ordered = false;
      break;
    }
  }
  if (is_strictly_ordered) return;
  sort_members(base);
  const std::size_t content = open + 1;
  reorder_.assign(arena_, content, std::string::npos);
  arena_.resize(content);
  bool first = true;
  for (std::size_t i = base; i < members_.size(); ++i) {
    if (i + 1 < members_.size() && view(members_[i].key) == view(members_[i + 1].key)) continue;
    if (!first) arena_ += ',';
    first = false;
    const TextRef& member = members_[i].value;
    arena_.append(reorder_, member.offset - content, member.size);
  }
}

// Sorts the indices of members_ by key, equal keys in input order, and keeps the last of each
// run of equal keys.
void Parser::work_out_order() {
  order_.resize(members_.size());
  for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
  const auto less = [this](std::uint32_t a, std::uint32_t b) {
    const int order = view(members_[a].key).compare(view(members_[b].key));
    return order < 0 || (order == 0 && a < b);
  };
  if (!std::is_sorted(order_.begin(), order_.end(), less)) {
    std::sort(order_.begin(), order_.end(), less);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < order_.size(); ++i) {
    if (i + 1 < order_.size() &&
        view(members_[order_[i]].key) == view(members_[order_[i + 1]].key)) {
      continue;
    }
    order_[kept++] = order_[i];
  }
  order_.resize(kept);
  order_keys_.clear();
  order_key_ends_.clear();
  for (const Member& member : members_) {
    order_keys_.append(view(member.key));
    order_key_ends_.push_back(order_keys_.size());
  }
}

DataType Parser::kind_of(const TextRef& value, std::string_view text) noexcept {
  if (value.kind != unknown_kind) return static_cast<DataType::Kind>(value.kind);
  return DataType::infer(text);
}

void Parser::build_row(Row& row) {
  const bool same_keys = keys_match_ && members_.size() == order_key_ends_.size();
  if (!same_keys) work_out_order();
  // The row still holds the names of the last object when it is the same row and the sink left
  // it alone; then only the texts change. They are views of the input, the arena or static
  // literals, all unchanged until the next object is parsed: copying them into the row cost
  // more than writing them out.
  if (same_keys && named_row_ == &row && row.size() == order_.size()) {
    row.clear_texts();
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const TextRef& value = members_[order_[i]].value;
      const std::string_view text = view(value);
      row.set_text_view(i, text, kind_of(value, text));
    }
  } else {
    std::size_t name_bytes = 0;
    for (const std::uint32_t index : order_) name_bytes += members_[index].key.size;
    row.clear();
    row.reserve(order_.size(), name_bytes, 0);
    for (const std::uint32_t index : order_) {
      const TextRef& value = members_[index].value;
      const std::string_view text = view(value);
      row.append(view(members_[index].key), {}, DataType::Null);
      row.set_text_view(row.size() - 1, text, kind_of(value, text));
    }
    named_row_ = &row;
  }
  // Raw JSON strings cannot hold a control character; only an escape can put a NUL in a text.
  if (!may_hold_nul_) row.note_nul_free();
}

}  // namespace morvel::parsers::json_syntax
