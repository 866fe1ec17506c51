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

// Whether the date of a text whose first ten bytes have the date shape (DDDD-DD-DD) is real.
[[nodiscard]] bool is_real_date_slow(std::string_view text) noexcept;

// The two digits at `at` as one number that orders as the two-digit number they write ("09" <
// "10"), so that a range test needs no arithmetic on each digit.
inline unsigned digit_pair(std::string_view text, std::size_t at) noexcept {
  std::uint16_t pair;
  std::memcpy(&pair, text.data() + at, 2);
  return __builtin_bswap16(pair);
}

// digit_pair() of the two digits of `n`, below 100.
constexpr unsigned pair_of(unsigned n) noexcept { return (('0' + n / 10) << 8) | ('0' + n % 10); }

inline bool is_real_date_head(std::string_view text) noexcept {
  const unsigned month = digit_pair(text, 5);
  const unsigned day = digit_pair(text, 8);
  // Every month has 28 days; the year 0 has none.
  if (month - pair_of(1) > pair_of(12) - pair_of(1) || day < pair_of(1)) {
    return false;
  }
  std::uint32_t year;
  std::memcpy(&year, text.data(), 4);
  std::uint32_t year_zero;
  std::memcpy(&year_zero, "0000", 4);
  return (day <= pair_of(28) && year != year_zero) || is_real_date_slow(text);
}

// Whether "HH:MM:SS" at `at` is a time of day without a leap second: the eight bytes at once.
inline bool is_plain_time_at(std::string_view text, std::size_t at) noexcept {
  std::uint64_t word;
  std::memcpy(&word, text.data() + at, 8);
  // Less "00:00:00", in memory order: digits become 0 to 9, colons 0.
  const std::uint64_t x = word ^ 0x3030'3A30'303A'3030ULL;
  // Each byte against its highest value in "29:59:59", colons 0: 0x7F less it, added to the low
  // seven bits, carries into the byte's high bit only when the byte is above it.
  const std::uint64_t above =
      (((x & 0x7F7F'7F7F'7F7F'7F7FULL) + 0x767A'7F76'7A7F'767DULL) | x) & 0x8080'8080'8080'8080ULL;
  return above == 0 && digit_pair(text, at) <= pair_of(23);
}

// Whether a text typed Timestamp, at least 19 bytes, is written to the second in the common
// form: "YYYY-MM-DD HH:MM:SS" (or with a T), perhaps with a Z, its time of day a real one
// without a leap second. Its date is still to be checked.
inline bool has_common_time(std::string_view text) noexcept {
  const std::size_t n = text.size();
  return (n == 19 || (n == 20 && (text[19] == 'Z' || text[19] == 'z'))) &&
         (text[10] == 'T' || text[10] == ' ') && is_plain_time_at(text, 11);
}

[[nodiscard]] bool is_real_timestamp_slow(std::string_view text) noexcept;

// is_false_moment() for the forms it does not settle inline. Never fails.
[[nodiscard]] bool is_false_moment_slow(std::string_view text, bool is_date) noexcept;

}  // namespace detail

// Whether a trimmed text that DataType::infer types Date (`is_date`) or Timestamp is a real
// one: what parse_date or parse_moment accepts, answered inline for the common forms (a date; a
// time to the second, perhaps with a Z), since this runs for every such value of a conversion.
// Never fails.
[[nodiscard]] inline bool is_real_moment(std::string_view text, bool is_date) noexcept {
  if (is_date) return detail::is_real_date_head(text);
  // A leap second, and every other form, takes the full reading.
  if (detail::has_common_time(text)) return detail::is_real_date_head(text);
  return detail::is_real_timestamp_slow(text);
}

// Whether a trimmed text that DataType::infer types Timestamp is a real time to the second in
// the common form (perhaps with a Z): what parse_moment reads without a fraction, a leap second
// or an offset other than zero, answered inline. False leaves the text to parse_moment. Never
// fails.
[[nodiscard]] inline bool is_common_real_moment(std::string_view text) noexcept {
  return detail::has_common_time(text) && detail::is_real_date_head(text);
}

// Whether a value that DataType::infer typed Date (`is_date`) or Timestamp is no real one, its
// text `text` as a reader holds it, white space around it and all: what is_real_moment says of
// the trimmed text, with any text safe to pass. Inline for a date and a time to the second (perhaps
// with a Z) that stand alone, since a reader asks this of every such value. Never fails.
[[nodiscard]] inline bool is_false_moment(std::string_view text, bool is_date) noexcept {
  const std::size_t n = text.size();
  // At these lengths a typed value has no white space around it, so its date shape is checked.
  if (is_date ? n == 10 : detail::has_common_time(text)) {
    return !detail::is_real_date_head(text);
  }
  return detail::is_false_moment_slow(text, is_date);
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
