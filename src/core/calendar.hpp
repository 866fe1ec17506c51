#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace morvel::core {

// The parts of a timestamp's text.
struct Moment {
  std::int64_t seconds = 0;     // from 1970-01-01 00:00:00 to the wall time written
  std::string_view fraction;    // the digits of a fraction of a second, perhaps none
  std::optional<int> offset;    // of its zone, in minutes east of UTC; nothing without a zone
  bool is_leap_second = false;  // written with 60 seconds, counted as the next minute's first
};

// The days from 1970-01-01 to the date of a trimmed text "YYYY-MM-DD", a real date of a year
// from 1 to 9999 (the years every engine takes); nothing for other text. Never fails.
[[nodiscard]] std::optional<std::int64_t> parse_date(std::string_view text) noexcept;

// The moment a trimmed text "YYYY-MM-DD HH:MM:SS" (or with a T) stands for, perhaps with a
// fraction of a second and a zone after it (Z, or an offset within 15:59 such as +02:00, +0200
// or +02, perhaps after a blank): a real date, an hour below 24, minutes below 60 and seconds
// below 60 or a leap second, of a year from 1 to 9999 both as written and in UTC. Nothing for
// other text. Never fails.
[[nodiscard]] std::optional<Moment> parse_moment(std::string_view text) noexcept;

namespace detail {

inline int two_digits(std::string_view text, std::size_t at) noexcept {
  return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

// Whether the date of a text whose first ten bytes have the date shape (DDDD-DD-DD) is real.
[[nodiscard]] bool is_real_date_slow(std::string_view text) noexcept;

inline bool is_real_date_head(std::string_view text) noexcept {
  const int month = two_digits(text, 5);
  const int day = two_digits(text, 8);
  // Every month has 28 days; the year 0 has none.
  if (month < 1 || month > 12 || day < 1) return false;
  // Of four digits, only 0000 ORs to '0'.
  const bool is_year_zero = (text[0] | text[1] | text[2] | text[3]) == '0';
  return (day <= 28 && !is_year_zero) || is_real_date_slow(text);
}

// Whether "HH:MM:SS" at `at` is a time of day without a leap second: the eight bytes at once.
inline bool is_plain_time_at(std::string_view text, std::size_t at) noexcept {
  std::uint64_t word;
  std::memcpy(&word, text.data() + at, 8);
  // Less "00:00:00", in memory order: digits become 0 to 9, colons 0.
  const std::uint64_t x = word ^ 0x3030'3A30'303A'3030ULL;
  const std::uint64_t beyond_nine =
      (((x & 0x7F7F'7F7F'7F7F'7F7FULL) + 0x7676'7676'7676'7676ULL) | x) & 0x8080'8080'8080'8080ULL;
  if (beyond_nine != 0 || (x & 0x0000'FF00'00FF'0000ULL) != 0) return false;
  return two_digits(text, at) < 24 && two_digits(text, at + 3) < 60 &&
         two_digits(text, at + 6) < 60;
}

[[nodiscard]] bool is_real_timestamp_slow(std::string_view text) noexcept;

}  // namespace detail

// Whether a trimmed text that DataType::infer types Date (`is_date`) or Timestamp is a real
// one: what parse_date or parse_moment accepts, answered inline for the common forms (a date; a
// time to the second, perhaps with a Z), since this runs for every such value of a conversion.
// Never fails.
[[nodiscard]] inline bool is_real_moment(std::string_view text, bool is_date) noexcept {
  if (is_date) return detail::is_real_date_head(text);
  const std::size_t n = text.size();
  const bool is_common = n == 19 || (n == 20 && (text[19] == 'Z' || text[19] == 'z'));
  // A leap second, and every other form, takes the full reading.
  if (is_common && (text[10] == 'T' || text[10] == ' ') && detail::is_plain_time_at(text, 11)) {
    return detail::is_real_date_head(text);
  }
  return detail::is_real_timestamp_slow(text);
}

// Whether a trimmed text is a real date or time that all three engines take as written: a date
// of parse_date, or a moment of parse_moment with at most six digits of a fraction (finer ones
// are rounded away). Never fails.
[[nodiscard]] bool is_storable_moment(std::string_view text, bool is_date) noexcept;

// The bytes of "YYYY-MM-DD HH:MM:SS".
inline constexpr std::size_t wall_time_size = 19;

// Writes the UTC time of `moment`, which has a zone, as "YYYY-MM-DD HH:MM:SS" at `out` and
// returns its end; its fraction is not written. Never fails.
char* write_utc_wall_time(char* out, const Moment& moment) noexcept;

// Whether a trimmed timestamp text may end in a zone: cheap, and false for most texts without
// one, so that parse_moment runs only where it may find one. Never fails.
[[nodiscard]] bool may_have_zone(std::string_view text) noexcept;

// A trimmed timestamp's text with a zone as the UTC time it stands for, "YYYY-MM-DD HH:MM:SS"
// and any fraction of a second as written: what a column without a zone keeps. Nothing for a
// timestamp without a zone or one that is no real time. Never fails but for memory.
[[nodiscard]] std::optional<std::string> utc_wall_time(std::string_view text);

}  // namespace morvel::core
