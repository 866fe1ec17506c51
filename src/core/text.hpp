#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Byte-level text helpers shared by the readers and the SQL writer. Nothing here depends on the
// locale: the input's bytes decide, whatever the process's settings.
namespace morvel::core {

// Whether `c` is an ASCII digit. Never fails.
[[nodiscard]] constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Whether `text` equals `lower`, which is in lower case, when ASCII capitals in `text` are read as
// small letters; every other byte compares exactly. Full Unicode lower-casing maps no non-ASCII
// character onto an ASCII letter of the words compared here (only U+212A and U+0130 lower-case
// into ASCII at all, to 'k' and to "i" plus a combining dot), so for them this equals comparing
// lower-cased texts. Never fails.
[[nodiscard]] constexpr bool equals_ascii_folded(std::string_view text,
                                                 std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Counts the line ends of a text fed block by block as the CSV reader ends records: each LF, each
// CR, and a CR LF once, at its CR, so that a byte's line is 1 + the line ends before it whether
// the lines end in LF, CR LF or a lone CR, as an editor shows them.
class LineEnds {
 public:
  // Takes the next block of the text. Never fails.
  void feed(std::string_view block) noexcept;
  // The line ends in the blocks fed. Never fails.
  [[nodiscard]] std::uint64_t count() const noexcept { return count_; }

 private:
  std::uint64_t count_ = 0;
  bool after_cr_ = false;  // the last block ended in CR, whose LF is not another line end
};

// The line ends in `text`, as LineEnds counts them. Never fails.
[[nodiscard]] std::uint64_t count_line_ends(std::string_view text) noexcept;

// The offset just past the last line end in `text` (LF or CR), where its last line begins; 0
// when it has none. Never fails.
[[nodiscard]] std::size_t last_line_start(std::string_view text) noexcept;

namespace detail {
[[nodiscard]] std::string_view trim_white_space_slow(std::string_view value) noexcept;
}  // namespace detail

// The value without leading and trailing Unicode White_Space characters: tab to carriage return,
// the blank, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F and
// U+3000. Never fails.
[[nodiscard]] inline std::string_view trim_white_space(std::string_view value) noexcept {
  // White space is a byte from 0x09 to 0x0D, the blank, or a multi-byte character; a value
  // whose ends are other ASCII bytes, nearly every value, needs no further look.
  if (value.empty()) return value;
  const auto first = static_cast<unsigned char>(value.front());
  const auto last = static_cast<unsigned char>(value.back());
  if (first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80) return value;
  return detail::trim_white_space_slow(value);
}

}  // namespace morvel::core
