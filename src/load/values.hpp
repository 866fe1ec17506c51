#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvel::load {

// The number an integer's trimmed text stands for (optional sign, digits, within 64 bits), or
// nothing for other text. Never fails.
[[nodiscard]] std::optional<std::int64_t> parse_integer(std::string_view text) noexcept;

// The double nearest to a finite number's trimmed text (optional sign, digits with a point or an
// exponent); beyond the range of doubles, an infinity or a zero of its sign, as the engines read
// such literals. Nothing for the non-finite words and other text. Never fails.
[[nodiscard]] std::optional<double> parse_double(std::string_view text) noexcept;

// The parts of a timestamp's text.
struct Moment {
  std::int64_t seconds = 0;   // from 1970-01-01 00:00:00 to the wall time written
  std::string_view fraction;  // the digits of a fraction of a second, perhaps none
  std::optional<int> offset;  // of its zone, in minutes east of UTC; nothing without a zone
};

// The moment a timestamp's trimmed text "YYYY-MM-DD HH:MM:SS" (or with a T) stands for, perhaps
// with a fraction of a second and a zone after it (Z, or an offset such as +02:00, +0200 or +02,
// perhaps after a blank), a valid time of a year from 1 to 9999; nothing for other text. Never
// fails.
[[nodiscard]] std::optional<Moment> parse_moment(std::string_view text) noexcept;

// The days from 1970-01-01 to the date of a date's trimmed text "YYYY-MM-DD", a valid date of a
// year from 1 to 9999; nothing for other text. Never fails.
[[nodiscard]] std::optional<std::int64_t> parse_date(std::string_view text) noexcept;

// A timestamp's trimmed text with a zone as the UTC time it stands for, "YYYY-MM-DD HH:MM:SS"
// and any fraction of a second as written: what a column without a zone keeps. Nothing for a
// timestamp without a zone or one that is no valid time. Never fails but for memory.
[[nodiscard]] std::optional<std::string> utc_wall_time(std::string_view text);

}  // namespace morvel::load
