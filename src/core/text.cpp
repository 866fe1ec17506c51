#include "core/text.hpp"

#include <cstddef>

namespace morvel::core {

namespace {

constexpr unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
  return static_cast<unsigned char>(s[i]);
}

constexpr bool is_ascii_space(unsigned char b) noexcept {
  return b == 0x20 || (b >= 0x09 && b <= 0x0D);
}

// Length of the White_Space character that starts `s`, or 0. The multi-byte members are
// U+0085 and U+00A0 (C2 xx), U+1680 (E1 9A 80), U+2000..U+200A, U+2028, U+2029, U+202F
// (E2 80 xx), U+205F (E2 81 9F) and U+3000 (E3 80 80).
std::size_t leading_space(std::string_view s) noexcept {
  const unsigned char b0 = byte_at(s, 0);
  if (is_ascii_space(b0)) return 1;
  if (b0 < 0xC2 || s.size() < 2) return 0;
  const unsigned char b1 = byte_at(s, 1);
  if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
  if (s.size() < 3) return 0;
  const unsigned char b2 = byte_at(s, 2);
  switch (b0) {
    case 0xE1:
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80)
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
    case 0xE3:
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Length of the White_Space character that ends `s`, or 0.
std::size_t trailing_space(std::string_view s) noexcept {
  const std::size_t n = s.size();
  const unsigned char last = byte_at(s, n - 1);
  if (is_ascii_space(last)) return 1;
  if (last < 0x80 || n < 2) return 0;
  if (byte_at(s, n - 2) == 0xC2) return (last == 0x85 || last == 0xA0) ? 2 : 0;
  if (n < 3) return 0;
  return leading_space(s.substr(n - 3)) == 3 ? 3 : 0;
}

}  // namespace

void LineEnds::feed(std::string_view block) noexcept {
  if (block.empty()) return;
  const char* const p = block.data();
  // The first byte looks back across the blocks; the rest compare with the byte before them,
  // with no branch, which the compiler vectorises: a message's count may run over gigabytes.
  std::uint64_t ends = p[0] == '\r' || (p[0] == '\n' && !after_cr_);
  for (std::size_t i = 1; i < block.size(); ++i) {
    ends += static_cast<std::uint64_t>((p[i] == '\r') | ((p[i] == '\n') & (p[i - 1] != '\r')));
  }
  count_ += ends;
  after_cr_ = block.back() == '\r';
}

std::uint64_t count_line_ends(std::string_view text) noexcept {
  LineEnds ends;
  ends.feed(text);
  return ends.count();
}

std::size_t last_line_start(std::string_view text) noexcept {
  const std::size_t last = text.find_last_of("\n\r");
  return last == std::string_view::npos ? 0 : last + 1;
}

namespace detail {

std::string_view trim_white_space_slow(std::string_view value) noexcept {
  while (!value.empty()) {
    const std::size_t n = leading_space(value);
    if (n == 0) break;
    value.remove_prefix(n);
  }
  while (!value.empty()) {
    const std::size_t n = trailing_space(value);
    if (n == 0) break;
    value.remove_suffix(n);
  }
  return value;
}

}  // namespace detail

}  // namespace morvel::core
