#include "readers/json_number.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/text.hpp"
#include "readers/json_messages.hpp"

namespace morvel::readers::json {

namespace {

using core::is_digit;

// Whether the `count` digits at `digits` are at most `limit` (written with as many digits).
bool fits(const char* digits, std::size_t count, std::string_view limit) noexcept {
  return count < limit.size() ||
         (count == limit.size() && std::memcmp(digits, limit.data(), count) <= 0);
}

// Whether the number text [first, last) lies beyond the largest double.
bool exceeds_double(const char* first, const char* last) noexcept {
  double value = 0;
  const auto result = std::from_chars(first, last, value);
  return result.ec == std::errc::result_out_of_range || std::isinf(value);
}

const char* skip_digits(const char* p, const char* end) noexcept {
  while (p != end && is_digit(*p)) ++p;
  return p;
}

// One number's scan, part by part. Each part returns false after recording a failure.
class NumberScanner {
 public:
  NumberScanner(const char* p, const char* end) noexcept : start_(p), p_(p), end_(end) {}

  NumberScan run(bool byte_after_taken) noexcept {
    if (!integer_part() || !fraction_part()) return result_;
    if (exponent_part() == Exponent::Settled) return result_;
    if (!result_.is_float) {
      result_.is_float =
          negative_ ? integer_is_zero_ || !fits(digits_, integer_digits_, "9223372036854775808")
                    : !fits(digits_, integer_digits_, "18446744073709551615");
    }
    // Below 10^308 a value cannot overflow and from 10^309 on it always does; only the decade in
    // between needs the conversion.
    if (result_.is_float && is_nonzero_ && magnitude_ > 308 &&
        (magnitude_ > 309 || exceeds_double(start_, p_))) {
      // A stream has already taken the byte after the number by the time it is converted.
      const bool at_end = p_ == end_;
      fail(message::number_out_of_range, byte_after_taken && !at_end ? p_ + 1 : p_);
      result_.reached_end = at_end;
      return result_;
    }
    result_.at = p_;
    return result_;
  }

 private:
  enum class Exponent : std::uint8_t { Scanned, Settled };

  bool fail(std::string_view description, const char* after) noexcept {
    result_ = NumberScan{after, description, false, false};
    return false;
  }
  bool fail_at_end(std::string_view description) noexcept {
    result_ = NumberScan{end_, description, true, false};
    return false;
  }

  // An optional minus sign and the digits before any point: 0 alone, or no leading zero.
  bool integer_part() noexcept {
    negative_ = *p_ == '-';
    if (negative_) ++p_;
    if (p_ == end_) return fail_at_end(message::eof_value);
    digits_ = p_;
    if (*p_ == '0') {
      ++p_;
      if (p_ != end_ && is_digit(*p_)) return fail(message::invalid_number, p_ + 1);
    } else if (is_digit(*p_)) {
      p_ = skip_digits(p_ + 1, end_);
    } else {
      return fail(message::invalid_number, p_ + 1);
    }
    integer_digits_ = static_cast<std::size_t>(p_ - digits_);
    integer_is_zero_ = *digits_ == '0';
    is_nonzero_ = !integer_is_zero_;
    magnitude_ = is_nonzero_ ? static_cast<std::int64_t>(integer_digits_) : 0;
    return true;
  }

  // A point and at least one digit, if there is a point.
  bool fraction_part() noexcept {
    if (p_ == end_ || *p_ != '.') return true;
    const char* const fraction = ++p_;
    p_ = skip_digits(p_, end_);
    if (p_ == fraction) {
      return p_ == end_ ? fail_at_end(message::eof_value) : fail(message::invalid_number, p_ + 1);
    }
    result_.is_float = true;
    if (!is_nonzero_) {
      const char* first = fraction;
      while (first != p_ && *first == '0') ++first;
      if (first != p_) {
        is_nonzero_ = true;
        magnitude_ = -(first - fraction);
      }
    }
    return true;
  }

  // An e, an optional sign and at least one digit, if there is an e. Settled when the number is
  // decided here: the exponent overflows 32 bits, making a nonzero number grow without bound and
  // anything else zero, whatever digits follow; a failure is settled too.
  Exponent exponent_part() noexcept {
    if (p_ == end_ || (*p_ != 'e' && *p_ != 'E')) return Exponent::Scanned;
    ++p_;
    result_.is_float = true;
    bool exponent_is_negative = false;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) exponent_is_negative = *p_++ == '-';
    if (p_ == end_) return fail_at_end(message::eof_value), Exponent::Settled;
    if (!is_digit(*p_)) return fail(message::invalid_number, p_ + 1), Exponent::Settled;
    std::int32_t exponent = 0;
    while (p_ != end_ && is_digit(*p_)) {
      const int digit = *p_++ - '0';
      if (exponent > (std::numeric_limits<std::int32_t>::max() - digit) / 10) {
        if (is_nonzero_ && !exponent_is_negative) {
          fail(message::number_out_of_range, p_);
        } else {
          result_.at = skip_digits(p_, end_);
        }
        return Exponent::Settled;
      }
      exponent = exponent * 10 + digit;
    }
    magnitude_ += exponent_is_negative ? -std::int64_t{exponent} : std::int64_t{exponent};
    return Exponent::Scanned;
  }

  const char* const start_;
  const char* p_;
  const char* const end_;
  const char* digits_ = nullptr;
  std::size_t integer_digits_ = 0;
  bool negative_ = false;
  bool integer_is_zero_ = false;
  bool is_nonzero_ = false;
  // The decimal magnitude m of a nonzero value: 10^(m-1) <= |value| < 10^m.
  std::int64_t magnitude_ = 0;
  NumberScan result_{nullptr, {}, false, false};
};

}  // namespace

NumberScan scan_number(const char* p, const char* end, bool byte_after_taken) noexcept {
  return NumberScanner(p, end).run(byte_after_taken);
}

double to_double(const char* first, const char* last) noexcept {
  double value = 0;
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) value = *first == '-' ? -0.0 : 0.0;
  return value;
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

}  // namespace morvel::readers::json
