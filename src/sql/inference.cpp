#include "sql/inference.hpp"

#include <array>
#include <cstddef>

namespace morvel::sql::inference {

namespace {

constexpr auto hex_digit = [] consteval {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'f'; ++c) table[c] = true;
  for (int c = 'A'; c <= 'F'; ++c) table[c] = true;
  return table;
}();

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
  return static_cast<unsigned char>(s[i]);
}

constexpr bool is_ascii_space(unsigned char b) noexcept {
  return b == 0x20 || (b >= 0x09 && b <= 0x0D);
}

// Length of the White_Space character that starts `s`, or 0. The multi-byte members are
// U+0085 and U+00A0 (C2 xx), U+1680 (E1 9A 80), U+2000..U+200A, U+2028, U+2029, U+202F
// (E2 80 xx), U+205F (E2 81 9F) and U+3000 (E3 80 80).
std::size_t leading_space(std::string_view s) noexcept {
  const unsigned char b0 = byte_at(s, 0);
  if (is_ascii_space(b0)) return 1;
  if (b0 < 0xC2 || s.size() < 2) return 0;
  const unsigned char b1 = byte_at(s, 1);
  if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
  if (s.size() < 3) return 0;
  const unsigned char b2 = byte_at(s, 2);
  switch (b0) {
    case 0xE1:
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80)
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
    case 0xE3:
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Length of the White_Space character that ends `s`, or 0.
std::size_t trailing_space(std::string_view s) noexcept {
  const std::size_t n = s.size();
  const unsigned char last = byte_at(s, n - 1);
  if (is_ascii_space(last)) return 1;
  if (last < 0x80 || n < 2) return 0;
  if (byte_at(s, n - 2) == 0xC2) return (last == 0x85 || last == 0xA0) ? 2 : 0;
  if (n < 3) return 0;
  return leading_space(s.substr(n - 3)) == 3 ? 3 : 0;
}

bool equals_ascii_folded(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((text[i] | 0x20) != lower[i]) return false;
  }
  return true;
}

// A signed 64-bit integer: optional sign, digits only, within range; leading zeros allowed.
bool is_integer(std::string_view s) noexcept {
  const bool negative = s[0] == '-';
  if (s[0] == '+' || negative) s.remove_prefix(1);
  if (s.empty()) return false;
  for (char c : s) {
    if (!is_digit(c)) return false;
  }
  while (s.size() > 1 && s[0] == '0') s.remove_prefix(1);
  if (s.size() != 19) return s.size() < 19;
  // Same length, so byte order is numeric order.
  return s <= (negative ? std::string_view("9223372036854775808")
                        : std::string_view("9223372036854775807"));
}

bool is_non_finite_word(std::string_view s) noexcept {
  return equals_ascii_folded(s, "inf") || equals_ascii_folded(s, "infinity") ||
         equals_ascii_folded(s, "nan");
}

// [sign] (inf | infinity | nan | digits [. digits*] | . digits) [e [sign] digits]
bool is_float(std::string_view s) noexcept {
  std::size_t i = 0;
  const std::size_t n = s.size();
  if (s[0] == '+' || s[0] == '-') ++i;
  if (i < n && !is_digit(s[i]) && s[i] != '.') return is_non_finite_word(s.substr(i));
  std::size_t digits = 0;
  while (i < n && is_digit(s[i])) ++i, ++digits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < n && is_digit(s[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == n;
}

// DDDD-DD-DD over the first ten bytes; the caller checks the length.
bool has_date_shape(std::string_view s) noexcept {
  return is_digit(s[0]) && is_digit(s[1]) && is_digit(s[2]) && is_digit(s[3]) && s[4] == '-' &&
         is_digit(s[5]) && is_digit(s[6]) && s[7] == '-' && is_digit(s[8]) && is_digit(s[9]);
}

bool is_uuid(std::string_view s) noexcept {
  if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  for (char c : s) {
    if (c != '-' && !hex_digit[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

bool is_timestamp(std::string_view s) noexcept {
  if (!has_date_shape(s)) return false;
  // The date part holds only digits and hyphens, so a T or blank can only stand after it.
  return s.find_first_of("T ", 10) != std::string_view::npos;
}

}  // namespace

std::string_view trim_white_space(std::string_view value) noexcept {
  while (!value.empty()) {
    const std::size_t n = leading_space(value);
    if (n == 0) break;
    value.remove_prefix(n);
  }
  while (!value.empty()) {
    const std::size_t n = trailing_space(value);
    if (n == 0) break;
    value.remove_suffix(n);
  }
  return value;
}

bool is_non_finite_float(std::string_view trimmed) noexcept {
  if (!trimmed.empty() && (trimmed[0] == '+' || trimmed[0] == '-')) trimmed.remove_prefix(1);
  return is_non_finite_word(trimmed);
}

DataType DataType::infer(std::string_view value) noexcept {
  const std::string_view s = trim_white_space(value);
  const std::size_t n = s.size();
  if (n == 0) return Null;
  if (n == 4 && equals_ascii_folded(s, "null")) return Null;
  if ((n == 4 && equals_ascii_folded(s, "true")) || (n == 5 && equals_ascii_folded(s, "false")))
    return Boolean;
  if (is_integer(s)) return Integer;
  if (is_float(s)) return Float;
  if (n == 10 && has_date_shape(s)) return Date;
  if (n == 36 && is_uuid(s)) return Uuid;
  if (n >= 19 && is_timestamp(s)) return Timestamp;
  return Text;
}

}  // namespace morvel::sql::inference
