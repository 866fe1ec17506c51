#pragma once

#include <cstdint>
#include <string_view>

namespace morvel::core {

// The SQL type inferred for one value. A class around the enumeration so that the type can carry
// its operation (`DataType::infer`) while members still read `DataType::Integer` and switch
// cleanly.
class DataType {
 public:
  // Decimal and Json are never inferred for a value. Decimal is the type of a column whose numbers
  // need every digit kept (an integer beyond 64 bits, more digits than a double holds), written as
  // they are; Json only a column the user declares so holds, each value a JSON text.
  enum Kind : std::uint8_t {
    Null, Boolean, Integer, Float, Uuid, Date, Timestamp, Text, Decimal, Json
  };

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

// How the engines' numbers change the text of a number written bare, for a value inferred as an
// integer or a float.
enum class NumberChange : std::uint8_t {
  None,     // the number's text, or only its layout as a float, comes back
  Code,     // a superfluous leading zero, a + sign or an integer with an exponent (007, +5, 1E5):
            // the value is kept, its text is not
  TooLong,  // an integer beyond 64 bits, which becomes a float and loses digits
  Rounded,  // a JSON number written as the double it reads as, which does not hold its digits
};

// What storing the trimmed `text` of a value of type `type` as a number does to it. Reads only
// the integer part of a float, so that it can run for every value. Never fails.
[[nodiscard]] NumberChange number_change(DataType type, std::string_view trimmed) noexcept;

// Whether number_change() may find something in `text`, a value of type `type`: false for a
// value that is no number, an integer whose first digit after any minus is 1 to 9, and a float
// with a point among its last three bytes (which then has no exponent of an integer). A look at a
// byte or two, for every value a reader types. Never fails.
[[nodiscard]] inline bool may_change_number(DataType type, std::string_view text) noexcept {
  if (type == DataType::Integer) {
    if (text.empty()) return false;
    const char first = text[0] == '-' && text.size() > 1 ? text[1] : text[0];
    return first < '1' || first > '9';
  }
  if (type != DataType::Float) return false;
  const std::size_t size = text.size();
  return size < 3 || (text[size - 2] != '.' && text[size - 3] != '.');
}

// Whether the nearest double to the finite number `trimmed` (a float by infer) has the same
// decimal value, so that a double column keeps it: false for a number with more significant
// digits than a double holds (12345678901234567.89) and for one that underflows (1e-400).
// Never fails.
[[nodiscard]] bool double_keeps(std::string_view trimmed) noexcept;

}  // namespace morvel::core
