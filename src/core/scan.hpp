#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Byte loops for the hot paths: find the next byte that needs attention, count one byte value
// while marking non-ASCII blocks, skip ASCII, test a UUID's alphabet, compare and copy short
// texts, copy while doubling special bytes. Each has a scalar form,
// the reference the tests hold the others to, and a vector form (SSE2, which every x86-64
// processor has; other targets use the scalar form) that looks at 16 bytes per step and finishes
// the last 15 bytes eight at a time with SWAR. Nothing reads outside [p, end).
namespace morvel::core::scan {

// The first byte in [p, end) equal to one of `Bytes`, or `end`. Never fails.
template <char... Bytes>
[[nodiscard]] constexpr const char* find_any_scalar(const char* p, const char* end) noexcept {
  while (p != end && ((*p != Bytes) && ...)) ++p;
  return p;
}

// The first byte in [p, end) that is below 0x20 or equal to one of `Bytes`, or `end`.
template <char... Bytes>
[[nodiscard]] constexpr const char* find_control_or_any_scalar(const char* p,
                                                               const char* end) noexcept {
  while (p != end && static_cast<unsigned char>(*p) >= 0x20 && ((*p != Bytes) && ...)) ++p;
  return p;
}

// Bit i set when p[i] is one of `Bytes`, for the 64 bytes from `p`, which must all be readable.
// Never fails.
template <char... Bytes>
[[nodiscard]] constexpr std::uint64_t match_mask64_scalar(const char* p) noexcept {
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) {
    if (((p[i] == Bytes) || ...)) mask |= std::uint64_t{1} << i;
  }
  return mask;
}

// Three byte values chosen at run time, such as a CSV input's delimiter and its two line ends.
struct Needles {
  char a;
  char b;
  char c;
};

// find_any_scalar and match_mask64_scalar for bytes chosen at run time. Never fail.
[[nodiscard]] constexpr const char* find_needles_scalar(const char* p, const char* end,
                                                        Needles n) noexcept {
  while (p != end && *p != n.a && *p != n.b && *p != n.c) ++p;
  return p;
}
[[nodiscard]] constexpr std::uint64_t match_needles64_scalar(const char* p, Needles n) noexcept {
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) {
    if (p[i] == n.a || p[i] == n.b || p[i] == n.c) mask |= std::uint64_t{1} << i;
  }
  return mask;
}

// How many bytes in [p, end) equal `byte`, marking on the way every 64-byte block (counted from
// `p`) that holds a byte at or above 0x80: bit i % 64 of marks[i / 64] for block i. `marks` has
// room for marks_size(end - p) words, all zero. Sets `has_nul` when a byte is NUL and leaves it
// alone otherwise. Never fails.
[[nodiscard]] constexpr std::size_t marks_size(std::size_t bytes) noexcept {
  return (bytes + 64 * 64 - 1) / (64 * 64);
}

constexpr std::size_t count_marking_non_ascii_scalar(const char* p, const char* end, char byte,
                                                     std::uint64_t* marks, bool& has_nul) noexcept {
  std::size_t count = 0;
  for (std::size_t i = 0; p + i != end; ++i) {
    count += p[i] == byte;
    if (p[i] == '\0') has_nul = true;
    if (static_cast<unsigned char>(p[i]) >= 0x80)
      marks[i / 4096] |= std::uint64_t{1} << (i / 64 % 64);
  }
  return count;
}

// The first byte in [p, end) at or above 0x80, or `end`. Never fails.
[[nodiscard]] constexpr const char* find_non_ascii_scalar(const char* p, const char* end) noexcept {
  while (p != end && static_cast<unsigned char>(*p) < 0x80) ++p;
  return p;
}

// Whether every byte in [p, end) is an ASCII hex digit or a hyphen. Never fails.
[[nodiscard]] constexpr bool all_hex_or_hyphen_scalar(const char* p, const char* end) noexcept {
  for (; p != end; ++p) {
    const char c = *p;
    const char lower = static_cast<char>(c | 0x20);
    if (!(c >= '0' && c <= '9') && !(lower >= 'a' && lower <= 'f') && c != '-') return false;
  }
  return true;
}

// Copies [p, end) to `out`, writing each of `Specials` twice, and returns the end of the copy.
// `out` must have room for twice the input plus copy_slack bytes: the vector form stores whole
// blocks and may write up to copy_slack bytes past the end it returns. Never fails.
inline constexpr std::size_t copy_slack = 16;

template <char... Specials>
constexpr char* copy_doubling_scalar(char* out, const char* p, const char* end) noexcept {
  for (; p != end; ++p) {
    *out++ = *p;
    if (((*p == Specials) || ...)) *out++ = *p;
  }
  return out;
}

// The first and the last `Word` of `size` bytes, which may overlap; `size` is at least the
// word's size. Short texts are handled as two such words instead of by a library call.
template <class Word>
struct Ends {
  Word head;
  Word tail;
  static Ends load(const char* p, std::size_t size) noexcept {
    Ends ends;
    std::memcpy(&ends.head, p, sizeof(Word));
    std::memcpy(&ends.tail, p + size - sizeof(Word), sizeof(Word));
    return ends;
  }
  void store(char* out, std::size_t size) const noexcept {
    std::memcpy(out, &head, sizeof(Word));
    std::memcpy(out + size - sizeof(Word), &tail, sizeof(Word));
  }
  bool operator==(const Ends&) const = default;
};

// Copies `size` bytes, fewer than 16, with two overlapping moves. Never fails.
inline void copy_short(char* out, const char* p, std::size_t size) noexcept {
  if (size >= 8) {
    Ends<std::uint64_t>::load(p, size).store(out, size);
  } else if (size >= 4) {
    Ends<std::uint32_t>::load(p, size).store(out, size);
  } else if (size > 0) {
    out[0] = p[0];
    out[size / 2] = p[size / 2];
    out[size - 1] = p[size - 1];
  }
}

// Whether the `size` bytes at `a` and at `b` are equal, like memcmp == 0; short texts (keys,
// names) are compared inline with two overlapping words instead of by a library call. Never
// fails.
inline bool equal(const char* a, const char* b, std::size_t size) noexcept {
  if (size > 16) return std::memcmp(a, b, size) == 0;
  if (size >= 8) return Ends<std::uint64_t>::load(a, size) == Ends<std::uint64_t>::load(b, size);
  if (size >= 4) return Ends<std::uint32_t>::load(a, size) == Ends<std::uint32_t>::load(b, size);
  if (size == 0) return true;
  return a[0] == b[0] && a[size / 2] == b[size / 2] && a[size - 1] == b[size - 1];
}

// Copies `size` bytes like memcpy; short copies, the common case in the hot loops, are done
// inline instead of by a library call. Never fails.
inline void copy(char* out, const char* p, std::size_t size) noexcept {
  if (size >= 16) {
    std::memcpy(out, p, size);
  } else {
    copy_short(out, p, size);
  }
}

namespace detail {

inline constexpr std::uint64_t low_bits = 0x0101010101010101ULL;
inline constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// High bit set in each byte of `word` that is zero. Bytes above the lowest flagged one may be
// flagged wrongly (a borrow), so only the lowest flag is exact; that is all a search needs.
constexpr std::uint64_t zero_bytes(std::uint64_t word) noexcept {
  return (word - low_bits) & ~word & high_bits;
}

// High bit set in the lowest byte of `word` below 0x20, exact for the lowest one as above.
constexpr std::uint64_t control_bytes(std::uint64_t word) noexcept {
  return (word - low_bits * 0x20) & ~word & high_bits;
}

template <char... Bytes>
constexpr std::uint64_t any_bytes(std::uint64_t word) noexcept {
  return (zero_bytes(word ^ (low_bits * static_cast<unsigned char>(Bytes))) | ...);
}

// Byte index of the lowest flagged byte; `flags` is not zero. Little-endian byte order.
inline std::size_t first_flag(std::uint64_t flags) noexcept {
  return static_cast<std::size_t>(__builtin_ctzll(flags)) / 8;
}

}  // namespace detail

#if defined(__SSE2__)

template <char... Bytes>
[[nodiscard]] inline const char* find_any(const char* p, const char* end) noexcept {
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_setzero_si128();
    ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(Bytes)))), ...);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
  if (end - p >= 8) {
    const std::uint64_t flags = detail::any_bytes<Bytes...>(detail::load8(p));
    if (flags != 0) return p + detail::first_flag(flags);
    p += 8;
  }
  return find_any_scalar<Bytes...>(p, end);
}

template <char... Bytes>
[[nodiscard]] inline const char* find_control_or_any(const char* p, const char* end) noexcept {
  // Signed comparison: 0x20 - 0x80 moves bytes from 0x80 up out of the way of the control range.
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i limit = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_cmplt_epi8(_mm_xor_si128(chunk, bias), limit);
    ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(Bytes)))), ...);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
  if (end - p >= 8) {
    const std::uint64_t word = detail::load8(p);
    const std::uint64_t flags = detail::control_bytes(word) | detail::any_bytes<Bytes...>(word);
    if (flags != 0) return p + detail::first_flag(flags);
    p += 8;
  }
  return find_control_or_any_scalar<Bytes...>(p, end);
}

template <char... Bytes>
[[nodiscard]] inline std::uint64_t match_mask64(const char* p) noexcept {
  std::uint64_t mask = 0;
  for (int block = 0; block < 4; ++block) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * block));
    __m128i hits = _mm_setzero_si128();
    ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(Bytes)))), ...);
    mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(hits))} << (16 * block);
  }
  return mask;
}

[[nodiscard]] inline std::uint64_t match_needles64(const char* p, Needles n) noexcept {
  const __m128i a = _mm_set1_epi8(n.a);
  const __m128i b = _mm_set1_epi8(n.b);
  const __m128i c = _mm_set1_epi8(n.c);
  std::uint64_t mask = 0;
  for (int block = 0; block < 4; ++block) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * block));
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, a), _mm_cmpeq_epi8(chunk, b)), _mm_cmpeq_epi8(chunk, c));
    mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(hits))} << (16 * block);
  }
  return mask;
}

[[nodiscard]] inline const char* find_needles(const char* p, const char* end, Needles n) noexcept {
  const __m128i a = _mm_set1_epi8(n.a);
  const __m128i b = _mm_set1_epi8(n.b);
  const __m128i c = _mm_set1_epi8(n.c);
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, a), _mm_cmpeq_epi8(chunk, b)), _mm_cmpeq_epi8(chunk, c));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
  return find_needles_scalar(p, end, n);
}

// For at least 16 bytes; shorter texts take the scalar form.
[[nodiscard]] inline bool all_hex_or_hyphen(const char* p, const char* end) noexcept {
  if (end - p < 16) return all_hex_or_hyphen_scalar(p, end);
  const auto block_ok = [](const char* at) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    // Signed compares: bytes from 0x80 up are negative and fall outside every range.
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(chunk, _mm_set1_epi8('9' + 1)));
    const __m128i lower = _mm_or_si128(chunk, _mm_set1_epi8(0x20));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)),
                                         _mm_cmplt_epi8(lower, _mm_set1_epi8('f' + 1)));
    const __m128i hyphen = _mm_cmpeq_epi8(chunk, _mm_set1_epi8('-'));
    return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(digit, letter), hyphen)) == 0xFFFF;
  };
  for (; end - p > 16; p += 16) {
    if (!block_ok(p)) return false;
  }
  // The last block overlaps the one before rather than reading past the end.
  return block_ok(end - 16);
}

template <char... Specials>
inline char* copy_doubling(char* out, const char* p, const char* end) noexcept {
  const auto specials_in = [](__m128i chunk) {
    __m128i hits = _mm_setzero_si128();
    ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(Specials)))), ...);
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
  };
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chunk);
    const unsigned mask = specials_in(chunk);
    if (mask == 0) {
      p += 16;
      out += 16;
      continue;
    }
    // The block is stored up to and including the special byte; it is written once more and
    // the next block starts after it.
    const auto k = static_cast<std::size_t>(__builtin_ctz(mask));
    out += k + 1;
    *out++ = p[k];
    p += k + 1;
  }
  // The last few bytes are two overlapping words: a byte loop here cost a mispredicted branch
  // or two per literal, most literals being shorter than a block, and a zero-padded block built
  // on the stack stalled on store forwarding. Only a tail that holds a special byte is redone
  // byte by byte.
  const auto rest = static_cast<std::size_t>(end - p);
  if (rest >= 8) {
    const std::uint64_t head = detail::load8(p);
    const std::uint64_t tail = detail::load8(end - 8);
    if ((detail::any_bytes<Specials...>(head) | detail::any_bytes<Specials...>(tail)) == 0) {
      std::memcpy(out, &head, 8);
      std::memcpy(out + rest - 8, &tail, 8);
      return out + rest;
    }
  } else if (rest >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, end - 4, 4);
    // Zero-extended, the upper bytes differ from every special byte and add no match.
    if ((detail::any_bytes<Specials...>(head) | detail::any_bytes<Specials...>(tail)) == 0) {
      std::memcpy(out, &head, 4);
      std::memcpy(out + rest - 4, &tail, 4);
      return out + rest;
    }
  }
  return copy_doubling_scalar<Specials...>(out, p, end);
}

inline std::size_t count_marking_non_ascii(const char* p, const char* end, char byte,
                                           std::uint64_t* marks, bool& has_nul) noexcept {
  const __m128i needle = _mm_set1_epi8(byte);
  const __m128i zero = _mm_setzero_si128();
  __m128i nul = _mm_setzero_si128();
  const char* const begin = p;
  std::size_t total = 0;
  while (end - p >= 64) {
    // Each block adds at most four to a byte lane, so 63 blocks cannot overflow one.
    __m128i lanes = _mm_setzero_si128();
    const std::ptrdiff_t blocks = std::min<std::ptrdiff_t>((end - p) / 64, 63);
    for (std::ptrdiff_t b = 0; b < blocks; ++b, p += 64) {
      __m128i high = _mm_setzero_si128();
      for (int k = 0; k < 4; ++k) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(chunk, needle));
        high = _mm_or_si128(high, chunk);
        nul = _mm_or_si128(nul, _mm_cmpeq_epi8(chunk, zero));
      }
      if (_mm_movemask_epi8(high) != 0) {
        const auto block = static_cast<std::size_t>(p - begin) / 64;
        marks[block / 64] |= std::uint64_t{1} << (block % 64);
      }
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    total += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
  }
  // The last block is shorter than 64 bytes; its index goes on from where the loop stopped.
  const auto done = static_cast<std::size_t>(p - begin);
  std::uint64_t tail_mark = 0;
  const std::size_t tail = count_marking_non_ascii_scalar(p, end, byte, &tail_mark, has_nul);
  if (tail_mark != 0) marks[done / 4096] |= std::uint64_t{1} << (done / 64 % 64);
  if (_mm_movemask_epi8(nul) != 0) has_nul = true;
  return total + tail;
}

[[nodiscard]] inline const char* find_non_ascii(const char* p, const char* end) noexcept {
  while (end - p >= 16) {
    const auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
  if (end - p >= 8) {
    const std::uint64_t flags = detail::load8(p) & detail::high_bits;
    if (flags != 0) return p + detail::first_flag(flags);
    p += 8;
  }
  return find_non_ascii_scalar(p, end);
}

#else

template <char... Bytes>
[[nodiscard]] inline const char* find_any(const char* p, const char* end) noexcept {
  return find_any_scalar<Bytes...>(p, end);
}
template <char... Bytes>
[[nodiscard]] inline const char* find_control_or_any(const char* p, const char* end) noexcept {
  return find_control_or_any_scalar<Bytes...>(p, end);
}
[[nodiscard]] inline const char* find_non_ascii(const char* p, const char* end) noexcept {
  return find_non_ascii_scalar(p, end);
}
inline std::size_t count_marking_non_ascii(const char* p, const char* end, char byte,
                                           std::uint64_t* marks, bool& has_nul) noexcept {
  return count_marking_non_ascii_scalar(p, end, byte, marks, has_nul);
}
[[nodiscard]] inline bool all_hex_or_hyphen(const char* p, const char* end) noexcept {
  return all_hex_or_hyphen_scalar(p, end);
}
template <char... Bytes>
[[nodiscard]] inline std::uint64_t match_mask64(const char* p) noexcept {
  return match_mask64_scalar<Bytes...>(p);
}
template <char... Specials>
inline char* copy_doubling(char* out, const char* p, const char* end) noexcept {
  return copy_doubling_scalar<Specials...>(out, p, end);
}
[[nodiscard]] inline std::uint64_t match_needles64(const char* p, Needles n) noexcept {
  return match_needles64_scalar(p, n);
}
[[nodiscard]] inline const char* find_needles(const char* p, const char* end, Needles n) noexcept {
  return find_needles_scalar(p, end, n);
}

#endif

}  // namespace morvel::core::scan
