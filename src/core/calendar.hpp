#pragma once

#include <cstddef>
#include <cstdint>
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
