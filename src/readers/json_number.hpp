#pragma once

#include <string>
#include <string_view>

// JSON numbers: checking their syntax and range, turning them into doubles and printing doubles
// the way value texts show them.
namespace morvel::readers::json {

// What scan_number found.
struct NumberScan {
  // The byte after the number; for a failure, the byte after the one that showed it.
  const char* at;
  // Empty for a valid number, else the description of the failure.
  std::string_view error;
  // The failure was found by asking for a byte past the end of the text.
  bool reached_end = false;
  // The number is kept as a double: it has a fraction or an exponent, is -0, or lies outside the
  // unsigned and signed 64-bit ranges.
  bool is_float = false;
};

// Scans the number that starts at `p` (a minus sign or a digit) in the text ending at `end`.
// `byte_after_taken` says the reader has already taken the byte after the number when it finds
// the number out of range, as a stream reader has; that byte then counts in the position. Never
// fails: a bad number is reported in the result.
[[nodiscard]] NumberScan scan_number(const char* p, const char* end,
                                     bool byte_after_taken) noexcept;

// The number text [first, last), which scan_number accepted, as the nearest double; values too
// small for a double are zero, as JSON reads them. Never fails.
[[nodiscard]] double to_double(const char* first, const char* last) noexcept;

// Whether `number`, a JSON number with a fraction or an exponent, is exactly what
// append_float writes for its value, so that the text can stand for itself: a positional
// decimal of at most 15 significant digits without trailing zeros ("14235.77", "0.5", "-3.0").
// False when unsure. Never fails.
[[nodiscard]] bool is_printed_float(std::string_view number) noexcept;

// Appends the shortest text that reads back as `value`: positional for decimal exponents -5 to
// 15 ("100.0", "0.00012", "-0.0"), otherwise d.ddd with a signed exponent ("1e+16", "1.5e-7").
// Never fails.
void append_float(double value, std::string& out);

}  // namespace morvel::readers::json
