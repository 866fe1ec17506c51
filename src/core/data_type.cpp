#include "core/data_type.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "core/scan.hpp"
#include "core/text.hpp"

namespace morvel::core {

namespace {

// What a value's first byte still allows it to be.
enum class Start : std::uint8_t {
  Other,   // text
  Number,  // sign, digit or point: integer, float, date, UUID (digit or hyphen), timestamp
  Word,    // i or n: inf, infinity, nan, null
  True,    // t: true
  Hex,     // a to f: false, UUID
};

constexpr auto start_of = [] consteval {
  std::array<Start, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = Start::Number;
  table['+'] = table['-'] = table['.'] = Start::Number;
  for (int c : {'i', 'I', 'n', 'N'}) table[c] = Start::Word;
  table['t'] = table['T'] = Start::True;
  for (int c = 'a'; c <= 'f'; ++c) table[c] = table[c - 'a' + 'A'] = Start::Hex;
  return table;
}
();

constexpr unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
  return static_cast<unsigned char>(s[i]);
}

bool is_non_finite_word(std::string_view s) noexcept {
  return equals_ascii_folded(s, "inf") || equals_ascii_folded(s, "infinity") ||
         equals_ascii_folded(s, "nan");
}

// Whether the `count` digits at `digits`, which may have leading zeros, fit a signed 64-bit
// integer of the given sign.
bool fits_int64(const char* digits, std::size_t count, bool negative) noexcept {
  while (count > 1 && *digits == '0') ++digits, --count;
  if (count != 19) return count < 19;
  // Same length, so byte order is numeric order.
  return std::string_view(digits, count) <= (negative ? std::string_view("9223372036854775808")
                                                      : std::string_view("9223372036854775807"));
}

// Integer for a signed 64-bit integer (optional sign, digits only, within range, leading zeros
// allowed), Float for the float grammar
//   [sign] (inf | infinity | nan | digits [. digits*] | . digits) [e [sign] digits],
// which takes integers beyond 64 bits too, Text for anything else. One pass over the digits
// serves both tests.
DataType::Kind classify_number(std::string_view s) noexcept {
  const std::size_t n = s.size();
  std::size_t i = 0;
  const bool negative = s[0] == '-';
  if (s[0] == '+' || negative) ++i;
  const std::size_t digits_start = i;
  while (i < n && is_digit(s[i])) ++i;
  std::size_t digits = i - digits_start;
  if (i == n) {
    if (digits == 0) return DataType::Text;
    return fits_int64(s.data() + digits_start, digits, negative) ? DataType::Integer
                                                                 : DataType::Float;
  }
  if (digits == 0 && s[i] != '.') {
    return is_non_finite_word(s.substr(i)) ? DataType::Float : DataType::Text;
  }
  if (s[i] == '.') {
    ++i;
    while (i < n && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return DataType::Text;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < n && is_digit(s[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return DataType::Text;
  }
  return i == n ? DataType::Float : DataType::Text;
}

// DDDD-DD-DD over the first ten bytes; the caller checks the length.
bool has_date_shape(std::string_view s) noexcept {
  return is_digit(s[0]) && is_digit(s[1]) && is_digit(s[2]) && is_digit(s[3]) && s[4] == '-' &&
         is_digit(s[5]) && is_digit(s[6]) && s[7] == '-' && is_digit(s[8]) && is_digit(s[9]);
}

// The hyphens of a UUID's 8-4-4-4-12 groups; the caller checks the length.
bool has_uuid_hyphens(std::string_view s) noexcept {
  return s[8] == '-' && s[13] == '-' && s[18] == '-' && s[23] == '-';
}

bool is_uuid(std::string_view s) noexcept {
  return has_uuid_hyphens(s) && scan::all_hex_or_hyphen(s.data(), s.data() + s.size());
}

bool is_timestamp(std::string_view s) noexcept {
  if (!has_date_shape(s)) return false;
  // The date part holds only digits and hyphens, so a T or blank can only stand after it.
  return s.find_first_of("T ", 10) != std::string_view::npos;
}

}  // namespace

bool is_non_finite_float(std::string_view trimmed) noexcept {
  if (!trimmed.empty() && (trimmed[0] == '+' || trimmed[0] == '-')) trimmed.remove_prefix(1);
  return is_non_finite_word(trimmed);
}

namespace {

// Up to the first eight bytes of `s` (not empty) as a little-endian word, zero past its end.
// Reads nothing outside `s`: its end may be the end of a mapped input.
std::uint64_t first_word(std::string_view s) noexcept {
  const char* p = s.data();
  const std::size_t n = s.size();
  if (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  }
  if (n >= 4) {
    // Two overlapping halves; the bytes they share are equal, so OR keeps them.
    std::uint32_t low, high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    return std::uint64_t{low} | (std::uint64_t{high} << (8 * (n - 4)));
  }
  return std::uint64_t{byte_at(s, 0)} | (std::uint64_t{byte_at(s, n / 2)} << (8 * (n / 2))) |
         (std::uint64_t{byte_at(s, n - 1)} << (8 * (n - 1)));
}

// The high bit of every byte of `word` that is not an ASCII digit. No carry crosses bytes: the
// low seven bits plus 0x76 stay below 0x100, and bytes from 0x80 up are flagged by their own bit.
constexpr std::uint64_t non_digits(std::uint64_t word) noexcept {
  const std::uint64_t x = word ^ 0x3030303030303030ULL;
  return (((x & 0x7F7F7F7F7F7F7F7FULL) + 0x7676767676767676ULL) | x) & 0x8080808080808080ULL;
}

// Whether the word of a value's first eight bytes reads DDDD-DD-.
constexpr bool has_date_head(std::uint64_t word, std::uint64_t digits_not) noexcept {
  return (digits_not & 0x0080800080808080ULL) == 0 && ((word >> 32) & 0xFF) == '-' &&
         (word >> 56) == '-';
}

// Settles the common shapes of a value that starts like a number from the word of its first
// eight bytes, without a byte loop: short integers, short decimals, dates and timestamps. Text
// means "not settled here"; the full rules then decide.
DataType::Kind classify_common_number(std::string_view s) noexcept {
  const std::size_t n = s.size();
  const std::uint64_t word = first_word(s);
  const std::uint64_t digits_not = non_digits(word);
  const std::size_t run =
      digits_not == 0 ? 8 : static_cast<std::size_t>(__builtin_ctzll(digits_not)) / 8;
  // Up to eight digits and nothing else: an integer of any sign's range.
  if (run == n) return DataType::Integer;
  // A date shape cannot be a number (its fifth byte is a hyphen) nor a UUID (its ninth byte is
  // a digit), so only its length decides between date, timestamp and text.
  if (run == 4 && n >= 10 && has_date_head(word, digits_not) && is_digit(s[8]) && is_digit(s[9])) {
    if (n == 10) return DataType::Date;
    if (n < 19) return DataType::Text;
    return scan::find_any<'T', ' '>(s.data() + 10, s.data() + n) != s.data() + n
               ? DataType::Timestamp
               : DataType::Text;
  }
  // Digits, a point and digits to the end, within eight bytes.
  if (n <= 8 && run >= 1 && s[run] == '.') {
    const std::uint64_t within = n == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
    const std::uint64_t fraction = run + 1 == 8 ? 0 : ~std::uint64_t{0} << (8 * (run + 1));
    if ((digits_not & within & fraction) == 0) return DataType::Float;
  }
  return DataType::Text;
}

// The tests for each kind of first byte, out of line: infer() then needs no registers saved and
// tail-calls one of them (saving and restoring registers was a fifth of its cost). `s` is
// trimmed and not empty.
[[gnu::noinline]] DataType::Kind infer_number(std::string_view s) noexcept {
  const std::size_t n = s.size();
  // Hyphens where a UUID has them rule out a number (a float has at most two hyphens, at the
  // start and after its e), a date (too short) and a timestamp (its ninth byte is a digit).
  if (n == 36 && has_uuid_hyphens(s)) return is_uuid(s) ? DataType::Uuid : DataType::Text;
  if (const DataType::Kind common = classify_common_number(s); common != DataType::Text) {
    return common;
  }
  const DataType::Kind number = classify_number(s);
  if (number != DataType::Text) return number;
  if (n == 10 && has_date_shape(s)) return DataType::Date;
  if (n == 36 && is_uuid(s)) return DataType::Uuid;
  if (n >= 19 && is_timestamp(s)) return DataType::Timestamp;
  return DataType::Text;
}

[[gnu::noinline]] DataType::Kind infer_word(std::string_view s) noexcept {
  if (s.size() == 4 && equals_ascii_folded(s, "null")) return DataType::Null;
  return is_non_finite_word(s) ? DataType::Float : DataType::Text;
}

[[gnu::noinline]] DataType::Kind infer_hex(std::string_view s) noexcept {
  if (s.size() == 5 && equals_ascii_folded(s, "false")) return DataType::Boolean;
  return s.size() == 36 && is_uuid(s) ? DataType::Uuid : DataType::Text;
}

}  // namespace

DataType DataType::infer(std::string_view value) noexcept {
  const std::string_view s = trim_white_space(value);
  if (s.empty()) return Null;
  // The first byte rules out most of the tests: only a sign, a digit or a point can start a
  // number, date or timestamp, only a hex digit or a hyphen a UUID, and only i or n a non-finite
  // float. The tests that remain run in the order of the rules.
  switch (start_of[byte_at(s, 0)]) {
    case Start::Number:
      return infer_number(s);
    case Start::Word:
      return infer_word(s);
    case Start::True:
      return s.size() == 4 && equals_ascii_folded(s, "true") ? Boolean : Text;
    case Start::Hex:
      return infer_hex(s);
    case Start::Other:
      break;
  }
  return Text;
}

namespace {

const char* skip_digits(const char* p, const char* end) noexcept {
  while (p != end && is_digit(*p)) ++p;
  return p;
}

// The significant digits of a decimal number and the exponent of the first: the value is
// 0.d1d2...dn x 10^exponent. No digits for zero.
struct Significand {
  char digits[24];
  std::size_t count = 0;
  std::int64_t exponent = 0;
  bool is_long = false;  // more digits than `digits` holds
};

// The significand of a number of the float grammar, without its sign.
Significand significand_of(std::string_view s) noexcept {
  Significand out;
  std::int64_t point = -1;  // digits before the point, once met
  std::int64_t seen = 0;    // digits met, leading zeros included
  std::int64_t leading = 0;
  std::size_t i = 0;
  std::size_t zeros = 0;  // trailing zeros not yet taken
  for (; i < s.size() && (is_digit(s[i]) || s[i] == '.'); ++i) {
    if (s[i] == '.') {
      point = seen;
      continue;
    }
    ++seen;
    if (out.count == 0 && zeros == 0 && s[i] == '0') {
      ++leading;
      continue;
    }
    if (s[i] == '0') {
      ++zeros;
      continue;
    }
    for (; zeros > 0; --zeros) {
      if (out.count < sizeof out.digits) out.digits[out.count] = '0';
      ++out.count;
    }
    if (out.count < sizeof out.digits) out.digits[out.count] = s[i];
    ++out.count;
  }
  out.is_long = out.count > sizeof out.digits;
  if (out.count == 0) return out;
  std::int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    const bool negative = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    for (; i < s.size() && is_digit(s[i]); ++i) {
      // Far beyond any double either way; the comparison only needs to know that.
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  out.exponent = (point < 0 ? seen : point) - leading + exponent;
  return out;
}

}  // namespace

NumberChange number_change(DataType type, std::string_view s) noexcept {
  if (s.empty()) return NumberChange::None;
  if (type == DataType::Integer) {
    if (s[0] == '+') return NumberChange::Code;
    const std::size_t start = s[0] == '-' ? 1 : 0;
    return s.size() > start + 1 && s[start] == '0' ? NumberChange::Code : NumberChange::None;
  }
  if (type != DataType::Float) return NumberChange::None;
  const char* const end = s.data() + s.size();
  const char* p = s.data() + (s[0] == '+' || s[0] == '-' ? 1 : 0);
  const char* const digits = p;
  p = skip_digits(p, end);
  // Digits alone in a float are an integer beyond 64 bits.
  if (p == end) return p != digits ? NumberChange::TooLong : NumberChange::None;
  if (p == digits || (*p != 'e' && *p != 'E')) return NumberChange::None;
  ++p;
  if (p != end && *p == '+') ++p;
  return p != end && skip_digits(p, end) == end ? NumberChange::Code : NumberChange::None;
}

bool double_keeps(std::string_view s) noexcept {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (s.empty() || (!is_digit(s[0]) && s[0] != '.')) return true;
  // Up to 15 bytes without an exponent hold at most 15 digits, their exponent far within the
  // normal range: the common float needs no digits counted.
  if (s.size() <= 15 && std::none_of(s.begin(), s.end(), [](char c) { return (c | 0x20) == 'e'; })) {
    return true;
  }
  const Significand own = significand_of(s);
  if (own.count == 0) return true;
  // Up to 15 significant digits a decimal survives a double (DBL_DIG) within the normal range.
  if (own.count <= 15 && own.exponent > -307 && own.exponent < 309) return true;
  if (own.is_long) return false;
  double value = 0;
  const auto read = std::from_chars(s.data(), s.data() + s.size(), value);
  if (read.ec != std::errc{} || value == 0) return false;
  char printed[40];
  const auto end =
      std::to_chars(printed, printed + sizeof printed, value, std::chars_format::scientific);
  const Significand back = significand_of({printed, static_cast<std::size_t>(end.ptr - printed)});
  return back.count == own.count && back.exponent == own.exponent &&
         std::memcmp(back.digits, own.digits, own.count) == 0;
}

}  // namespace morvel::core
