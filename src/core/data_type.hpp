#pragma once

#include <cstdint>
#include <string_view>

namespace morvel::core {

// The SQL type inferred for one value. A class around the enumeration so that the type can carry
// its operation (`DataType::infer`) while members still read `DataType::Integer` and switch
// cleanly.
class DataType {
 public:
  // Json is never inferred: only a column the user declares so holds it, each value a JSON text.
  enum Kind : std::uint8_t { Null, Boolean, Integer, Float, Uuid, Date, Timestamp, Text, Json };

  constexpr DataType(Kind kind) : kind_(kind) {}     // NOLINT(google-explicit-constructor)
  constexpr operator Kind() const { return kind_; }  // NOLINT(google-explicit-constructor)

  // Classifies one value after trimming Unicode white space; the first matching rule wins:
  // empty or null, true/false, 64-bit integer, float, date, UUID, timestamp, else text.
  // Never fails; never allocates.
  [[nodiscard]] static DataType infer(std::string_view value) noexcept;

 private:
  Kind kind_;
};

// True when the trimmed text is inf, infinity or nan with an optional sign, any letter case.
// Such floats are valid for the inference but no SQL engine accepts them unquoted. Never fails.
[[nodiscard]] bool is_non_finite_float(std::string_view trimmed) noexcept;

}  // namespace morvel::core
