#include "readers/json_escape.hpp"

#include <cstring>

namespace morvel::readers::json {

namespace {

// Reads the escape after a backslash at `p` (already checked), advancing `p`, and returns the
// code point it stands for; a surrogate pair is one code point.
char32_t read_escape(const char*& p) noexcept {
  switch (*p++) {
    case 'b':
      return 0x08;
    case 'f':
      return 0x0C;
    case 'n':
      return 0x0A;
    case 'r':
      return 0x0D;
    case 't':
      return 0x09;
    case 'u': {
      const unsigned unit = hex4(p);
      p += 4;
      if (unit < 0xD800 || unit > 0xDBFF) return unit;
      const unsigned low = hex4(p + 2);
      p += 6;
      return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    default:
      return static_cast<unsigned char>(p[-1]);
  }
}

void append_utf8(char32_t c, std::string& out) {
  char bytes[4];
  std::size_t size;
  if (c < 0x80) {
    bytes[0] = static_cast<char>(c);
    size = 1;
  } else if (c < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (c >> 6));
    size = 2;
  } else if (c < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (c >> 12));
    size = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (c >> 18));
    size = 4;
  }
  // The continuation bytes carry six bits each, the last one the lowest.
  for (std::size_t i = size - 1; i > 0; --i, c >>= 6)
    bytes[i] = static_cast<char>(0x80 | (c & 0x3F));
  out.append(bytes, size);
}

// The compact form of one character inside a serialised string.
void append_escaped(char32_t c, std::string& out) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case 0x08:
      out += "\\b";
      return;
    case 0x09:
      out += "\\t";
      return;
    case 0x0A:
      out += "\\n";
      return;
    case 0x0C:
      out += "\\f";
      return;
    case 0x0D:
      out += "\\r";
      return;
    default:
      break;
  }
  if (c >= 0x20) {
    append_utf8(c, out);
    return;
  }
  constexpr std::string_view digits = "0123456789abcdef";
  const char bytes[] = {'\\', 'u', '0', '0', digits[c >> 4], digits[c & 0xF]};
  out.append(bytes, sizeof bytes);
}

// Copies the clean runs of `raw` and hands each escaped character to `write`.
template <class Write>
void resolve_escapes(std::string_view raw, std::string& out, Write write) {
  const char* p = raw.data();
  const char* const end = p + raw.size();
  for (;;) {
    const void* hit = std::memchr(p, '\\', static_cast<std::size_t>(end - p));
    if (hit == nullptr) {
      out.append(p, end);
      return;
    }
    const char* backslash = static_cast<const char*>(hit);
    out.append(p, backslash);
    p = backslash + 1;
    write(read_escape(p), out);
  }
}

}  // namespace

void append_unescaped(std::string_view raw, std::string& out) {
  resolve_escapes(raw, out, append_utf8);
}

void append_reescaped(std::string_view raw, std::string& out) {
  resolve_escapes(raw, out, append_escaped);
}

}  // namespace morvel::readers::json
