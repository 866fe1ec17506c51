#include "convert/batch_keys.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>

#include "core/text.hpp"

namespace morvel::convert {

namespace {

using core::DataType;

// Every number PostgreSQL could read from the text, whatever the column's numeric type, has one
// double: equal numbers give equal doubles (distinct integers beyond 2^53 may share one).
bool append_number_form(std::string& form, std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return false;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Beyond the double range: PostgreSQL's numeric type still tells such numbers apart, and
    // letting them share one form only ends batches early.
    form += "#big";
    return true;
  }
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (value == 0) value = 0;  // -0 equals 0
  if (std::isnan(value)) {
    form += "#nan";  // PostgreSQL holds every NaN equal
    return true;
  }
  std::array<char, 32> digits{};
  const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  form += '#';
  form.append(digits.data(), written.ptr);
  return true;
}

// The words PostgreSQL reads as a boolean, as it takes any unambiguous prefix.
std::optional<bool> boolean_word(std::string_view text) {
  constexpr std::array<std::pair<std::string_view, bool>, 6> words{{{"true", true},
                                                                    {"yes", true},
                                                                    {"on", true},
                                                                    {"false", false},
                                                                    {"no", false},
                                                                    {"off", false}}};
  if (text.empty()) return std::nullopt;
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "o") return std::nullopt;  // on or off
  for (const auto& [word, value] : words) {
    if (word.starts_with(lower)) return value;
  }
  return std::nullopt;
}

unsigned two_digits(std::string_view s, std::size_t at) noexcept {
  return static_cast<unsigned>((s[at] - '0') * 10 + (s[at + 1] - '0'));
}

bool digits_at(std::string_view s, std::size_t at, std::size_t count) noexcept {
  if (at + count > s.size()) return false;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!core::is_digit(s[i])) return false;
  }
  return true;
}

// Days from 1970-01-01 to the civil date; proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The seconds east of UTC that a zone designator names: Z, or a sign and hh, hhmm or hh:mm.
std::optional<std::int64_t> zone_offset(std::string_view zone) {
  if (zone == "Z" || zone == "z") return 0;
  if (zone.size() < 3 || (zone[0] != '+' && zone[0] != '-') || !digits_at(zone, 1, 2)) {
    return std::nullopt;
  }
  std::int64_t offset = two_digits(zone, 1) * 3600;
  const std::size_t minutes = zone.size() > 3 && zone[3] == ':' ? 4 : 3;
  if (zone.size() == minutes + 2 && digits_at(zone, minutes, 2)) {
    offset += two_digits(zone, minutes) * 60;
  } else if (zone.size() != 3) {
    return std::nullopt;
  }
  return zone[0] == '+' ? offset : -offset;
}

// A date or timestamp (YYYY-MM-DD, then T or a blank, hh:mm, :ss, a fraction, and Z or an offset
// of hours and minutes) as the moment it names in UTC when it has an offset, else as written: a
// date and its midnight share a form. False for any other text.
bool append_moment_form(std::string& form, std::string_view s) {
  if (s.size() < 10 || !digits_at(s, 0, 4) || s[4] != '-' || !digits_at(s, 5, 2) || s[7] != '-' ||
      !digits_at(s, 8, 2)) {
    return false;
  }
  const std::int64_t year = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + two_digits(s, 2);
  std::int64_t seconds = days_from_civil(year, two_digits(s, 5), two_digits(s, 8)) * 86400;
  std::string_view fraction;
  std::size_t at = 10;
  if (at < s.size()) {
    if ((s[at] != 'T' && s[at] != 't' && s[at] != ' ') || !digits_at(s, at + 1, 2) ||
        at + 3 >= s.size() || s[at + 3] != ':' || !digits_at(s, at + 4, 2)) {
      return false;
    }
    seconds += two_digits(s, at + 1) * 3600 + two_digits(s, at + 4) * 60;
    at += 6;
    if (at < s.size() && s[at] == ':') {
      if (!digits_at(s, at + 1, 2)) return false;
      seconds += two_digits(s, at + 1);
      at += 3;
      if (at < s.size() && s[at] == '.') {
        const std::size_t first = ++at;
        while (at < s.size() && core::is_digit(s[at])) ++at;
        fraction = s.substr(first, at - first);
        while (!fraction.empty() && fraction.back() == '0') fraction.remove_suffix(1);
      }
    }
    if (at < s.size()) {
      const std::optional<std::int64_t> offset = zone_offset(s.substr(at));
      if (!offset) return false;
      seconds -= *offset;
    }
  }
  form += '@';
  form += std::to_string(seconds);
  if (!fraction.empty()) {
    form += '.';
    form.append(fraction);
  }
  return true;
}

}  // namespace

bool BatchKeys::is_needed(const CheckedOptions& options) noexcept {
  return options->dialect == sql::Dialect::Postgres &&
         options->on_conflict == sql::OnConflict::Replace && options->batch_size > 1 &&
         !options->copy;
}

void BatchKeys::form_of(const core::Row& row, std::string& form) const {
  form.clear();
  for (const std::string& column : columns_) {
    if (const auto index = row.find(column)) {
      const core::Row::Entry entry = row[*index];
      append_key_form(form, entry.text, entry.type);
    } else {
      form += '~';  // the column's default, the same for every row that lacks it
    }
    form += '\0';
  }
}

void append_key_form(std::string& form, std::string_view text, DataType type) {
  text = core::trim_white_space(text);
  if (type == DataType::Null) {
    form += '~';  // never a taken key, but refused in both ways alike
    return;
  }
  if (append_number_form(form, text)) return;
  if (const auto truth = boolean_word(text)) {
    form += *truth ? "?t" : "?f";
    return;
  }
  // A moment at another offset may be the same; a zone-less one is the session's, taken as UTC.
  if (append_moment_form(form, text)) return;
  // Text compares byte for byte; UUIDs take either letter case, braces and hyphens anywhere,
  // so those are left out of every form.
  form += '\'';
  for (char c : text) {
    if (c == '-' || c == '{' || c == '}') continue;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    form += c;
  }
}

}  // namespace morvel::convert
