#include "readers/json_syntax.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "core/scan.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "readers/json_escape.hpp"
#include "readers/json_messages.hpp"
#include "readers/json_number.hpp"

namespace morvel::readers::json {

using core::DataType;
using core::Row;
namespace scan = core::scan;

namespace {

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

// What a value's first byte makes it, or Invalid when no value starts so.
enum class Start : std::uint8_t { Invalid, String, Literal, Array, Object, Number };

constexpr auto start_of = [] consteval {
  std::array<Start, 256> table{};
  table['"'] = Start::String;
  table['n'] = table['t'] = table['f'] = Start::Literal;
  table['['] = Start::Array;
  table['{'] = Start::Object;
  table['-'] = Start::Number;
  for (int c = '0'; c <= '9'; ++c) table[c] = Start::Number;
  return table;
}
();

unsigned char byte_at(const char* p) noexcept { return static_cast<unsigned char>(*p); }

Start value_start(const char* p) noexcept { return start_of[byte_at(p)]; }

}  // namespace

std::string position_suffix(std::string_view text, std::size_t offset, std::uint64_t first_line) {
  const std::string_view read = text.substr(0, offset);
  const std::uint64_t line = first_line + core::count_line_ends(read);
  const std::size_t column = offset - core::last_line_start(read);
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string describe(const SyntaxError& error, std::string_view text, std::uint64_t first_line) {
  std::string message(error.description);
  message += position_suffix(text, error.offset, first_line);
  return message;
}

void Parser::reset(std::string_view text, bool is_checked) noexcept {
  begin_ = text.data();
  end_ = text.data() + text.size();
  lead_ = 0;
  // A stream's strings need a UTF-8 check only when the text has invalid bytes somewhere; one
  // pass over the whole text is much cheaper than checking every string.
  checks_utf8_ =
      !is_checked && origin_ == Origin::Stream && core::find_invalid_utf8(text).has_value();
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
  fail(message::trailing_characters, p + 1);
  return false;
}

bool Parser::check(core::Checkpoints* checkpoints, std::vector<std::size_t>* starts,
                   std::size_t spacing) {
  const char* p = skip_white(begin_ + lead_);
  if (p == end_) {
    fail_at_end(message::eof_value);
    return false;
  }
  if (*p == '[' && (checkpoints != nullptr || starts != nullptr)) {
    // A long check tells the monitor how far it is at the elements of a top-level array.
    p = check_elements(p + 1, checkpoints, starts, spacing);
  } else {
    p = check_value(p, 0);
  }
  return p != nullptr && finish(p);
}

void Parser::note_starts(std::size_t open, std::vector<std::size_t>& starts, std::size_t spacing) {
  (void)check_elements(begin_ + open + 1, nullptr, &starts, spacing);
}

const char* Parser::check_elements(const char* p, core::Checkpoints* checkpoints,
                                   std::vector<std::size_t>* starts, std::size_t spacing) {
  std::size_t next_start = 0;
  return walk_array(p, [&](const char* element) -> const char* {
    if (checkpoints != nullptr && !pass(checkpoints, element)) return nullptr;
    const auto at = static_cast<std::size_t>(element - begin_);
    if (starts != nullptr && at >= next_start) {
      starts->push_back(at);
      next_start = at + spacing;
    }
    return check_value(element, 1);
  });
}

bool Parser::pass(core::Checkpoints* checkpoints, const char* p) {
  auto go_on = checkpoints->reached(static_cast<std::uint64_t>(p - begin_));
  if (go_on) return true;
  stopped_ = std::move(go_on.error());
  return false;
}

Parser::Parsed Parser::parse() {
  const char* p = skip_white(begin_ + lead_);
  if (p == end_) {
    fail_at_end(message::eof_value);
    return Parsed::Failed;
  }
  if (*p != '{') {
    p = check_value(p, 0);
    return p != nullptr && finish(p) ? Parsed::Other : Parsed::Failed;
  }
  p = parse_row_object(p, 0);
  if (p == nullptr || !finish(p)) return Parsed::Failed;
  build_row();
  return Parsed::Object;
}

core::Status Parser::hand_over_range(std::size_t from, std::size_t to, core::RowSink sink,
                                     std::uint64_t most_rows, std::size_t& next) {
  const char* p = begin_ + from;
  std::uint64_t rows = 0;
  while (p < begin_ + to && rows < most_rows) {
    if (*p != '{') {
      p = check_value(p, 1);
    } else {
      const char* const element = p;
      p = parse_row_object(p, 1);
      if (p != nullptr) {
        build_row();
        if (auto accepted = sink(std::move(row_)); !accepted) {
          next = static_cast<std::size_t>(element - begin_);
          return accepted;
        }
        ++rows;
      }
    }
    // Unreachable after a successful check(); reported rather than ignored all the same.
    if (p == nullptr) return std::unexpected(core::invalid(describe(error_, {begin_, end_})));
    // After the element: white space, then a comma and the next element, or the closing bracket.
    p = skip_white(p);
    if (p != end_ && *p == ',') {
      p = skip_white(p + 1);
    } else {
      p = end_;
    }
  }
  next = static_cast<std::size_t>(p - begin_);
  return {};
}

// `p` is after the opening bracket; `element` gets each element at its first byte, which is
// neither white space nor the closing bracket, and returns the byte after it or nullptr.
template <class Element>
const char* Parser::walk_array(const char* p, Element&& element) {
  p = skip_white(p);
  if (p == end_) return fail_at_end(message::eof_list);
  if (*p == ']') return p + 1;
  for (;;) {
    p = element(p);
    if (p == nullptr) return nullptr;
    p = skip_white(p);
    if (p == end_) return fail_at_end(message::eof_list);
    if (*p == ']') return p + 1;
    if (*p != ',') return fail(message::expected_list_comma, p + 1);
    p = skip_white(p + 1);
    if (p == end_) return fail_at_end(message::eof_value);
    if (*p == ']') return fail(message::trailing_comma, p + 1);
  }
}

// `p` is after the opening brace; `on_member(raw_key, escaped, value)` gets each key's content
// between its quotes and the first byte of its value, and returns the byte after the value or
// nullptr.
template <class OnMember>
const char* Parser::walk_object(const char* p, OnMember&& on_member) {
  p = skip_white(p);
  if (p == end_) return fail_at_end(message::eof_object);
  if (*p == '}') return p + 1;
  for (;;) {
    if (*p != '"')
      return fail(*p == '}' ? message::trailing_comma : message::key_must_be_string, p + 1);
    const char* key = p;
    bool escaped = false;
    p = scan_string(p, escaped);
    if (p == nullptr) return nullptr;
    const std::string_view raw_key(key + 1, static_cast<std::size_t>(p - key - 2));
    p = skip_white(p);
    if (p == end_) return fail_at_end(message::eof_object);
    if (*p != ':') return fail(message::expected_colon, p + 1);
    p = skip_white(p + 1);
    if (p == end_) return fail_at_end(message::eof_value);
    p = on_member(raw_key, escaped, p);
    if (p == nullptr) return nullptr;
    p = skip_white(p);
    if (p == end_) return fail_at_end(message::eof_object);
    if (*p == '}') return p + 1;
    if (*p != ',') return fail(message::expected_object_comma, p + 1);
    p = skip_white(p + 1);
    if (p == end_) return fail_at_end(message::eof_value);
  }
}

// `depth` counts the arrays and objects open around the value at `p`.
const char* Parser::check_value(const char* p, unsigned depth) {
  switch (value_start(p)) {
    case Start::String: {
      bool escaped = false;
      return scan_string(p, escaped);
    }
    case Start::Literal:
      return match_word(p, *p == 'n' ? "null" : *p == 't' ? "true" : "false");
    case Start::Array:
      if (depth + 1 >= max_depth) return fail(message::recursion_limit, p + 1);
      return walk_array(p + 1,
                        [&](const char* element) { return check_value(element, depth + 1); });
    case Start::Object:
      if (depth + 1 >= max_depth) return fail(message::recursion_limit, p + 1);
      return walk_object(p + 1, [&](std::string_view, bool, const char* value) {
        return check_value(value, depth + 1);
      });
    case Start::Number: {
      bool is_float = false;
      return scan_number(p, is_float);
    }
    case Start::Invalid:
      break;
  }
  return fail(message::expected_value, p + 1);
}

// Appends the compact serialisation of the value at `p` to the arena.
const char* Parser::write_value(const char* p, unsigned depth) {
  switch (value_start(p)) {
    case Start::String: {
      bool escaped = false;
      const char* after = scan_string(p, escaped);
      if (after == nullptr || !escaped) {
        if (after != nullptr) arena_.append(p, after);
        return after;
      }
      arena_ += '"';
      append_reescaped({p + 1, static_cast<std::size_t>(after - p - 2)}, arena_);
      arena_ += '"';
      return after;
    }
    case Start::Array:
      return write_array(p, depth);
    case Start::Object:
      return write_object(p, depth);
    case Start::Number: {
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
    case Start::Literal:
    case Start::Invalid:
      break;
  }
  // Literals are written as they were read.
  const char* after = check_value(p, depth);
  if (after != nullptr) arena_.append(p, after);
  return after;
}

const char* Parser::write_array(const char* p, unsigned depth) {
  if (depth + 1 >= max_depth) return fail(message::recursion_limit, p + 1);
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

// Members are written as they come, each remembered by its key, and put in key order once the
// object is closed.
const char* Parser::write_object(const char* p, unsigned depth) {
  if (depth + 1 >= max_depth) return fail(message::recursion_limit, p + 1);
  const std::size_t open = arena_.size();
  const std::size_t base = members_.size();
  const std::size_t keys_base = keys_.size();
  arena_ += '{';
  const char* after =
      walk_object(p + 1, [&](std::string_view raw_key, bool escaped, const char* value) {
        if (members_.size() > base) arena_ += ',';
        const std::size_t start = arena_.size();
        const TextRef key = key_ref(raw_key, escaped);
        arena_ += '"';
        if (escaped) {
          append_reescaped(raw_key, arena_);
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

// Parses the object at `p` into members_ as (key, value text) pairs for a row.
const char* Parser::parse_row_object(const char* p, unsigned depth) {
  if (depth + 1 >= max_depth) return fail(message::recursion_limit, p + 1);
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
  switch (value_start(p)) {
    case Start::String: {
      bool escaped = false;
      const char* after = scan_string(p, escaped);
      if (after == nullptr) return nullptr;
      const std::string_view raw(p + 1, static_cast<std::size_t>(after - p - 2));
      if (!escaped) {
        text = TextRef{Store::Fixed, raw.data(), 0, raw.size()};
      } else {
        const std::size_t start = arena_.size();
        append_unescaped(raw, arena_);
        text = TextRef{Store::Arena, nullptr, start, arena_.size() - start};
        note_nul(arena_, start);
      }
      return after;
    }
    case Start::Literal: {
      const char* after = check_value(p, depth);
      if (after == nullptr) return nullptr;
      const std::string_view literal = *p == 'n' ? "NULL" : *p == 't' ? "true" : "false";
      text = TextRef{Store::Fixed, literal.data(), 0, literal.size(),
                     std::uint8_t{*p == 'n' ? DataType::Null : DataType::Boolean}};
      return after;
    }
    case Start::Number:
      return number_text(p, text);
    case Start::Array:
    case Start::Object:
    case Start::Invalid:
      break;
  }
  const std::size_t start = arena_.size();
  const char* after = write_value(p, depth);
  text = TextRef{Store::Arena, nullptr, start, arena_.size() - start};
  return after;
}

// JSON allows no leading zeros and no plus sign, so an integer's text is its own, and so is a
// float's when it is already written the way append_float would write it. The kind is settled
// here where DataType::infer would give it without a doubt: a JSON number with a fraction or
// exponent matches its float grammar, and an integer of at most 18 characters fits 64 bits.
// Longer integers are left to it.
const char* Parser::number_text(const char* p, TextRef& text) {
  bool is_float = false;
  const char* after = scan_number(p, is_float);
  if (after == nullptr) return nullptr;
  const auto size = static_cast<std::size_t>(after - p);
  if (!is_float) {
    text = TextRef{Store::Fixed, p, 0, size,
                   size <= 18 ? std::uint8_t{DataType::Integer} : unknown_kind};
  } else if (is_printed_float({p, size})) {
    text = TextRef{Store::Fixed, p, 0, size, DataType::Float};
  } else {
    const bool is_kept = core::double_keeps({p, size});
    if (!is_kept && keeps_number_texts_) {
      text = TextRef{Store::Fixed, p, 0, size, DataType::Float};
      return after;
    }
    const std::size_t start = arena_.size();
    append_float(to_double(p, after), arena_);
    text = TextRef{Store::Arena, nullptr, start, arena_.size() - start, DataType::Float};
    // What the double lost is told, once per column, by the conversion.
    if (!is_kept && size <= UINT32_MAX) {
      text.fixed = p;
      text.original_size = static_cast<std::uint32_t>(size);
    }
  }
  return after;
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
    if (q == end_) return fail_at_end(message::eof_string);
    if (*q == '"') break;
    if (*q != '\\') return fail(message::control_character, q + 1);
    escaped = true;
    q = scan_escape(q + 1);
    if (q == nullptr) return nullptr;
    q = scan::find_control_or_any<'"', '\\'>(q, end_);
  }
  // A stream's string is checked as a whole once it is closed, so an error met earlier inside
  // it wins. Escapes are ASCII and cannot complete a broken sequence, so checking the raw
  // content is the same as checking the decoded one.
  if (checks_utf8_ && core::find_invalid_utf8({p + 1, static_cast<std::size_t>(q - p - 1)})) {
    return fail(message::invalid_code_point, q + 1);
  }
  return q + 1;
}

// `p` is after a backslash.
const char* Parser::scan_escape(const char* p) noexcept {
  if (p == end_) return fail_at_end(message::eof_string);
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
      return fail(message::invalid_escape, p + 1);
  }
}

// `p` is after `\u`. A leading surrogate must be followed by `\u` and a trailing one.
const char* Parser::scan_unicode_escape(const char* p) noexcept {
  unsigned unit = 0;
  p = scan_hex(p, unit);
  if (p == nullptr) return nullptr;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(message::lone_surrogate, p);
  if (unit < 0xD800 || unit > 0xDBFF) return p;
  if (p == end_) return fail_at_end(message::eof_string);
  if (*p != '\\') return fail(message::unexpected_end_of_hex, p + 1);
  ++p;
  if (p == end_) return fail_at_end(message::eof_string);
  if (*p != 'u') return fail(message::unexpected_end_of_hex, p + 1);
  p = scan_hex(p + 1, unit);
  if (p == nullptr) return nullptr;
  if (unit < 0xDC00 || unit > 0xDFFF) return fail(message::lone_surrogate, p);
  return p;
}

// Four hex digits are taken before any of them is judged, so a bad one is reported after the
// fourth, and fewer than four before the end is an unterminated string.
const char* Parser::scan_hex(const char* p, unsigned& unit) noexcept {
  if (end_ - p < 4) return fail_at_end(message::eof_string);
  for (int i = 0; i < 4; ++i) {
    if (hex_value[byte_at(p + i)] == not_hex) return fail(message::invalid_escape, p + 4);
  }
  unit = hex4(p);
  return p + 4;
}

// `p` is at the first letter of `word`, which selected it.
const char* Parser::match_word(const char* p, std::string_view word) noexcept {
  ++p;
  for (std::size_t i = 1; i < word.size(); ++i, ++p) {
    if (p == end_) return fail_at_end(message::eof_value);
    if (*p != word[i]) return fail(message::expected_ident, p + 1);
  }
  return p;
}

// `p` is at a minus sign or a digit. `is_float` tells whether the number is kept as a double.
const char* Parser::scan_number(const char* p, bool& is_float) noexcept {
  // A stream has already taken the byte after a number by the time it finds it out of range.
  const NumberScan scanned = json::scan_number(p, end_, origin_ == Origin::Stream);
  if (!scanned.error.empty()) {
    error_ = SyntaxError{scanned.error, static_cast<std::size_t>(scanned.at - begin_),
                         scanned.reached_end};
    return nullptr;
  }
  is_float = scanned.is_float;
  return scanned.at;
}

// Only an escape (\u0000) puts a NUL in a text: one look at what an escaped text became spares
// the writers a look at every text of the row.
void Parser::note_nul(const std::string& buffer, std::size_t start) noexcept {
  may_hold_nul_ =
      may_hold_nul_ || std::memchr(buffer.data() + start, '\0', buffer.size() - start) != nullptr;
}

Parser::TextRef Parser::key_ref(std::string_view raw, bool escaped) {
  if (!escaped) return TextRef{Store::Fixed, raw.data(), 0, raw.size()};
  const std::size_t start = keys_.size();
  append_unescaped(raw, keys_);
  note_nul(keys_, start);
  return TextRef{Store::Keys, nullptr, start, keys_.size() - start};
}

}  // namespace morvel::readers::json
