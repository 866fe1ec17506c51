#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace morvel::core {

// The UTF-8 byte-order mark, which some programs write at the start of a text: it counts in byte
// offsets but is never part of the text's content.
inline constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";

// Where and how a byte string stops being UTF-8.
struct Utf8Error {
  std::size_t valid_up_to;   // bytes of valid UTF-8 before the bad sequence
  std::size_t error_length;  // bytes of the bad sequence; 0 when the input ends inside a character
};

// The first invalid sequence in `bytes` (surrogates, overlong forms and code points above
// U+10FFFF are invalid), or nothing when all of it is UTF-8. Never fails.
[[nodiscard]] std::optional<Utf8Error> find_invalid_utf8(std::string_view bytes) noexcept;

}  // namespace morvel::core
