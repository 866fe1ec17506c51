#include "core/utf8.hpp"

#include "core/scan.hpp"

namespace morvel::core {

namespace {

bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Bytes from `from` up to the first non-ASCII byte.
std::size_t skip_ascii(const unsigned char* p, std::size_t from, std::size_t n) noexcept {
  const char* const text = reinterpret_cast<const char*>(p);
  return static_cast<std::size_t>(scan::find_non_ascii(text + from, text + n) - text);
}

}  // namespace

std::optional<Utf8Error> find_invalid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  for (;;) {
    i = skip_ascii(p, i, n);
    if (i == n) return std::nullopt;
    const std::size_t start = i;
    const unsigned char first = p[i];
    // The length of the bad sequence counts the bytes that could still begin a valid character;
    // running out of input inside a character reports length 0 (incomplete).
    auto next = [&](std::size_t offset) -> int {
      return start + offset < n ? p[start + offset] : -1;
    };
    std::size_t width;
    if (first >= 0xC2 && first <= 0xDF) {
      width = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      width = 3;
    } else if (first >= 0xF0 && first <= 0xF4) {
      width = 4;
    } else {
      return Utf8Error{start, 1};
    }
    const int second = next(1);
    if (second < 0) return Utf8Error{start, 0};
    bool second_ok;
    switch (first) {
      case 0xE0:
        second_ok = second >= 0xA0 && second <= 0xBF;
        break;
      case 0xED:
        second_ok = second >= 0x80 && second <= 0x9F;
        break;
      case 0xF0:
        second_ok = second >= 0x90 && second <= 0xBF;
        break;
      case 0xF4:
        second_ok = second >= 0x80 && second <= 0x8F;
        break;
      default:
        second_ok = is_continuation(static_cast<unsigned char>(second));
    }
    if (!second_ok) return Utf8Error{start, 1};
    for (std::size_t k = 2; k < width; ++k) {
      const int b = next(k);
      if (b < 0) return Utf8Error{start, 0};
      if (!is_continuation(static_cast<unsigned char>(b))) return Utf8Error{start, k};
    }
    i = start + width;
  }
}

}  // namespace morvel::core
