#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The escapes of JSON strings: reading them back into characters, and writing characters the way
// the compact serialisation of nested values does.
namespace morvel::readers::json {

inline constexpr std::uint8_t not_hex = 0xFF;

// The value of each byte as a hex digit, or not_hex.
inline constexpr auto hex_value = [] consteval {
  std::array<std::uint8_t, 256> table{};
  table.fill(not_hex);
  for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table['a' + c] = static_cast<std::uint8_t>(10 + c);
    table['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return table;
}
();

// The four hex digits at `p`, which the caller has checked. Never fails.
[[nodiscard]] inline unsigned hex4(const char* p) noexcept {
  const auto at = [p](int i) { return unsigned{hex_value[static_cast<unsigned char>(p[i])]}; };
  return (at(0) << 12) | (at(1) << 8) | (at(2) << 4) | at(3);
}

// Appends the string content `raw` (what stands between the quotes, its escapes already checked)
// with each escape resolved into its character. Never fails.
void append_unescaped(std::string_view raw, std::string& out);

// Appends `raw` as append_unescaped would resolve it, but written for a serialised string: quote,
// backslash and control characters escaped the compact way (`\"`, `\\`, `\n`, `\u001f`), every
// other character as itself. Never fails.
void append_reescaped(std::string_view raw, std::string& out);

}  // namespace morvel::readers::json
