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

}  // namespace morvel::load
