#include "core/calendar.hpp"

#include <algorithm>

#include "core/text.hpp"

namespace morvel::core {

namespace {

// PostgreSQL refuses year 0 and MariaDB's DATETIME ends with year 9999: between them, what all
// three engines take.
constexpr std::int64_t first_year = 1;
constexpr std::int64_t last_year = 9999;
// PostgreSQL refuses zone offsets beyond 15:59.
constexpr int last_offset_hour = 15;

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
constexpr std::int64_t days_from_civil(std::int64_t year, int month, int day) noexcept {
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

// The days from 1970-01-01 to the first and past the last day of the years all engines take.
constexpr std::int64_t first_day = days_from_civil(first_year, 1, 1);
constexpr std::int64_t end_day = days_from_civil(last_year + 1, 1, 1);

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
    if (text.size() < wall_time_size + length) continue;
    const std::size_t at = text.size() - length;
    if (text[at] != '+' && text[at] != '-') continue;
    int hours = 0;
    int minutes = 0;
    const bool has_colon = length == 6;
    if (!take_digits(text, at + 1, 2, hours)) continue;
    if (has_colon && text[at + 3] != ':') continue;
    if (length > 3 && !take_digits(text, at + (has_colon ? 4 : 3), 2, minutes)) continue;
    if (hours > last_offset_hour || minutes > 59) return std::nullopt;
    const int offset = hours * 60 + minutes;
    return Zone{text[at] == '-' ? -offset : offset, at};
  }
  return std::nullopt;
}

// The date at the start of `text`, YYYY-MM-DD, as days from 1970-01-01.
std::optional<std::int64_t> date_at_start(std::string_view text) noexcept {
  int year = 0, month = 0, day = 0;
  if (!take_digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !take_digits(text, 5, 2, month) || text[7] != '-' || !take_digits(text, 8, 2, day)) {
    return std::nullopt;
  }
  if (year < first_year || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) {
    return std::nullopt;
  }
  return days_from_civil(year, month, day);
}

void write_two(char* at, std::int64_t value) noexcept {
  at[0] = static_cast<char>('0' + value / 10);
  at[1] = static_cast<char>('0' + value % 10);
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
  if (end < wall_time_size) return std::nullopt;
  const auto days = date_at_start(text);
  int hour = 0, minute = 0, second = 0;
  // PostgreSQL takes a leap second as the first second of the next minute.
  if (!days || (text[10] != 'T' && text[10] != ' ') || !take_digits(text, 11, 2, hour) ||
      text[13] != ':' || !take_digits(text, 14, 2, minute) || text[16] != ':' ||
      !take_digits(text, 17, 2, second) || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(wall_time_size, end - wall_time_size);
  if (moment.offset && rest.ends_with(' ')) rest.remove_suffix(1);
  if (!rest.empty()) {
    if (rest[0] != '.' || rest.size() == 1 ||
        !std::all_of(rest.begin() + 1, rest.end(), is_digit)) {
      return std::nullopt;
    }
    moment.fraction = rest.substr(1);
  }
  moment.is_leap_second = second == 60;
  moment.seconds = *days * 86400 + hour * 3600 + minute * 60 + second;
  if (moment.offset) {
    // The UTC time, which MySQL is given, must lie in the same years.
    const std::int64_t utc = moment.seconds - std::int64_t{*moment.offset} * 60;
    if (utc < first_day * 86400 || utc >= end_day * 86400) return std::nullopt;
  } else if (moment.seconds >= end_day * 86400) {
    return std::nullopt;  // 9999-12-31 23:59:60 is the year 10000's first second
  }
  return moment;
}

namespace detail {

bool is_real_date_slow(std::string_view text) noexcept { return date_at_start(text).has_value(); }

bool is_real_timestamp_slow(std::string_view text) noexcept {
  return parse_moment(text).has_value();
}

bool is_false_moment_slow(std::string_view text, bool is_date) noexcept {
  // The parsers check the shape as well, which the text may lack.
  const std::string_view trimmed = trim_white_space(text);
  return is_date ? !parse_date(trimmed) : !parse_moment(trimmed);
}

}  // namespace detail

bool is_storable_moment(std::string_view text, bool is_date) noexcept {
  if (is_date) return parse_date(text).has_value();
  const auto moment = parse_moment(text);
  return moment && moment->fraction.size() <= 6;
}

char* write_utc_wall_time(char* out, const Moment& moment) noexcept {
  const std::int64_t seconds = moment.seconds - std::int64_t{moment.offset.value_or(0)} * 60;
  const std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const std::int64_t in_day = seconds - days * 86400;
  std::int64_t year = 0;
  int month = 0;
  int day = 0;
  civil_from_days(days, year, month, day);
  write_two(out, year / 100);
  write_two(out + 2, year % 100);
  out[4] = '-';
  write_two(out + 5, month);
  out[7] = '-';
  write_two(out + 8, day);
  out[10] = ' ';
  write_two(out + 11, in_day / 3600);
  out[13] = ':';
  write_two(out + 14, in_day / 60 % 60);
  out[16] = ':';
  write_two(out + 17, in_day % 60);
  return out + wall_time_size;
}

bool may_have_zone(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n <= wall_time_size) return false;
  const char last = text[n - 1];
  if (last == 'Z' || last == 'z') return true;
  // A sign where an offset of three, five or six bytes would begin.
  for (const std::size_t length : {std::size_t{3}, std::size_t{5}, std::size_t{6}}) {
    if (n >= wall_time_size + length && (text[n - length] == '+' || text[n - length] == '-')) {
      return true;
    }
  }
  return false;
}

std::optional<std::string> utc_wall_time(std::string_view text) {
  const auto moment = parse_moment(text);
  if (!moment || !moment->offset) return std::nullopt;
  std::string wall(wall_time_size, ' ');
  write_utc_wall_time(wall.data(), *moment);
  if (!moment->fraction.empty()) wall.append(".").append(moment->fraction);
  return wall;
}

}  // namespace morvel::core
