#pragma once

#include <cstdint>
#include <string_view>

namespace morvel::sql::inference {

// The SQL type inferred for one value. A class around the enumeration so that the type can carry
// its operation (`DataType::infer`) while members still read `DataType::Integer` and switch cleanly.
class DataType {
 public:
  enum Kind : std::uint8_t { Null, Boolean, Integer, Float, Uuid, Date, Timestamp, Text };

  constexpr DataType(Kind kind) : kind_(kind) {}  // NOLINT(google-explicit-constructor)
  constexpr operator Kind() const { return kind_; }  // NOLINT(google-explicit-constructor)

  // Classifies one value after trimming Unicode white space; the first matching rule wins:
  // empty or null, true/false, 64-bit integer, float, date, UUID, timestamp, else text.
  // Never fails; never allocates.
  [[nodiscard]] static DataType infer(std::string_view value) noexcept;

 private:
  Kind kind_;
};

namespace detail {
[[nodiscard]] std::string_view trim_white_space_slow(std::string_view value) noexcept;
}  // namespace detail

// The value without leading and trailing Unicode White_Space characters. Never fails.
[[nodiscard]] inline std::string_view trim_white_space(std::string_view value) noexcept {
  // White space is a byte from 0x09 to 0x0D, the blank, or a multi-byte character; a value
  // whose ends are other ASCII bytes, nearly every value, needs no further look.
  if (value.empty()) return value;
  const auto first = static_cast<unsigned char>(value.front());
  const auto last = static_cast<unsigned char>(value.back());
  if (first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80) return value;
  return detail::trim_white_space_slow(value);
}

// True when the trimmed text is inf, infinity or nan with an optional sign, any letter case.
// Such floats are valid for the inference but no SQL engine accepts them unquoted. Never fails.
[[nodiscard]] bool is_non_finite_float(std::string_view trimmed) noexcept;

}  // namespace morvel::sql::inference

namespace morvel {
using sql::inference::DataType;
}
