#include "load/values.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "core/text.hpp"

namespace morvel::load {

namespace {

using core::is_digit;

// Whether a number out of the range of doubles, `digits` without its sign, is too large rather
// than too small: the power of ten of its first significant digit, exponent included.
bool is_too_large(std::string_view digits) noexcept {
  const std::size_t e = digits.find_first_of("eE");
  const std::string_view mantissa = digits.substr(0, e);
  long exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view power = digits.substr(e + 1);
    const bool is_negative = power.starts_with('-');
    if (power.starts_with('-') || power.starts_with('+')) power.remove_prefix(1);
    // More digits than this say nothing more: the number is far out either way.
    for (const char c : power.substr(0, 9)) exponent = exponent * 10 + (c - '0');
    if (is_negative) exponent = -exponent;
  }
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return false;
  const long lead =
      first < point ? static_cast<long>(point - first) - 1 : -static_cast<long>(first - point);
  return exponent + lead > 0;
}

}  // namespace

std::optional<std::int64_t> parse_integer(std::string_view text) noexcept {
  if (text.starts_with('+')) text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_double(std::string_view text) noexcept {
  const bool is_negative = text.starts_with('-');
  if (is_negative || text.starts_with('+')) text.remove_prefix(1);
  // Only digits or a point may begin a finite number; from_chars would take inf and nan.
  if (text.empty() || !(is_digit(text[0]) || text[0] == '.')) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (end != text.data() + text.size()) return std::nullopt;
  if (error == std::errc::result_out_of_range) {
    value = is_too_large(text) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (error != std::errc()) {
    return std::nullopt;
  }
  return is_negative ? -value : value;
}

}  // namespace morvel::load
