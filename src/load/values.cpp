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

// Reads `count` digits at `text` from `at` into `value`; false when they are not all digits.
bool take_digits(std::string_view text, std::size_t at, std::size_t count, int& value) noexcept {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!is_digit(text[i])) return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and back.
std::int64_t days_from_civil(std::int64_t year, int month, int day) noexcept {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void civil_from_days(std::int64_t days, std::int64_t& year, int& month, int& day) noexcept {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
  day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
}

int days_in_month(int year, int month) noexcept {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool is_leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && is_leap ? 29 : days[month - 1];
}

// The zone at the end of a timestamp: its offset east of UTC in minutes and where it begins, or
// nothing when it has none.
struct Zone {
  int minutes = 0;
  std::size_t at = 0;
};

std::optional<Zone> zone_of(std::string_view text) noexcept {
  if (text.ends_with('Z') || text.ends_with('z')) return Zone{0, text.size() - 1};
  // +HH, +HHMM or +HH:MM, after the time's last digit.
  for (const std::size_t length : {std::size_t{6}, std::size_t{5}, std::size_t{3}}) {
    if (text.size() < 19 + length) continue;
    const std::size_t at = text.size() - length;
    if (text[at] != '+' && text[at] != '-') continue;
    int hours = 0;
    int minutes = 0;
    const bool has_colon = length == 6;
    if (!take_digits(text, at + 1, 2, hours)) continue;
    if (length > 3 && (has_colon ? text[at + 3] != ':' : false)) continue;
    if (length > 3 && !take_digits(text, at + (has_colon ? 4 : 3), 2, minutes)) continue;
    if (hours > 23 || minutes > 59) return std::nullopt;
    const int offset = hours * 60 + minutes;
    return Zone{text[at] == '-' ? -offset : offset, at};
  }
  return std::nullopt;
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

namespace {

// The date at the start of `text`, YYYY-MM-DD, as days from 1970-01-01.
std::optional<std::int64_t> date_at_start(std::string_view text) noexcept {
  int year = 0, month = 0, day = 0;
  if (!take_digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !take_digits(text, 5, 2, month) || text[7] != '-' || !take_digits(text, 8, 2, day)) {
    return std::nullopt;
  }
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) {
    return std::nullopt;
  }
  return days_from_civil(year, month, day);
}

}  // namespace

std::optional<std::int64_t> parse_date(std::string_view text) noexcept {
  return text.size() == 10 ? date_at_start(text) : std::nullopt;
}

std::optional<Moment> parse_moment(std::string_view text) noexcept {
  Moment moment;
  std::size_t end = text.size();
  if (const auto zone = zone_of(text)) {
    moment.offset = zone->minutes;
    end = zone->at;
  }
  if (end < 19) return std::nullopt;
  const auto days = date_at_start(text);
  int hour = 0, minute = 0, second = 0;
  if (!days || (text[10] != 'T' && text[10] != ' ') || !take_digits(text, 11, 2, hour) ||
      text[13] != ':' || !take_digits(text, 14, 2, minute) || text[16] != ':' ||
      !take_digits(text, 17, 2, second) || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(19, end - 19);
  if (moment.offset && rest.ends_with(' ')) rest.remove_suffix(1);
  if (!rest.empty()) {
    if (rest[0] != '.' || rest.size() == 1 ||
        !std::all_of(rest.begin() + 1, rest.end(), is_digit)) {
      return std::nullopt;
    }
    moment.fraction = rest.substr(1);
  }
  moment.seconds = *days * 86400 + hour * 3600 + minute * 60 + second;
  return moment;
}

std::optional<std::string> utc_wall_time(std::string_view text) {
  const auto moment = parse_moment(text);
  if (!moment || !moment->offset) return std::nullopt;
  const std::int64_t seconds = moment->seconds - std::int64_t{*moment->offset} * 60;
  const std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const std::int64_t in_day = seconds - days * 86400;
  std::int64_t year = 0;
  int month = 0;
  int day = 0;
  civil_from_days(days, year, month, day);
  if (year < 1 || year > 9999) return std::nullopt;
  char out[20];
  const auto two = [&](char* at, std::int64_t value) {
    at[0] = static_cast<char>('0' + value / 10);
    at[1] = static_cast<char>('0' + value % 10);
  };
  two(out, year / 100);
  two(out + 2, year % 100);
  out[4] = '-';
  two(out + 5, month);
  out[7] = '-';
  two(out + 8, day);
  out[10] = ' ';
  two(out + 11, in_day / 3600);
  out[13] = ':';
  two(out + 14, in_day / 60 % 60);
  out[16] = ':';
  two(out + 17, in_day % 60);
  std::string wall(out, 19);
  if (!moment->fraction.empty()) wall.append(".").append(moment->fraction);
  return wall;
}

}  // namespace morvel::load
