#include "core/scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace morvel {
namespace {

using namespace core;

// Bytes that sit next to the ones the searches look for, or that break naive tricks: the
// neighbours of each special byte, the control range edges, and bytes from 0x80 up (negative as
// signed char, and a source of borrows in SWAR).
constexpr unsigned char tricky[] = {0x00, 0x01, 0x09, 0x0A, 0x0D, 0x1F, 0x20, 0x21, 0x22, 0x23,
                                    0x26, 0x27, 0x28, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30, 0x39,
                                    0x3A, 0x40, 0x41, 0x46, 0x47, 0x5B, 0x5C, 0x5D, 0x60, 0x61,
                                    0x66, 0x67, 0x7F, 0x80, 0x81, 0xA0, 0xAC, 0xC2, 0xDC, 0xFF};

// A text of `size` bytes: mostly plain letters, with tricky bytes at random places.
std::string random_text(std::mt19937& random, std::size_t size, int tricky_percent) {
  std::string text(size, 'x');
  for (char& c : text) {
    if (static_cast<int>(random() % 100) < tricky_percent) {
      c = static_cast<char>(tricky[random() % std::size(tricky)]);
    } else {
      c = static_cast<char>('a' + random() % 26);
    }
  }
  return text;
}

// Every test runs at one text length; lengths around the 8- and 16-byte steps matter most.
class ScanAtLength : public ::testing::TestWithParam<int> {
 protected:
  std::size_t size() const { return static_cast<std::size_t>(GetParam()); }
  // Copies of `text` placed at every offset within a 16-byte block, so that the vector loads
  // meet every alignment; each copy ends exactly where its buffer ends.
  static std::vector<std::string> placed(const std::string& text) {
    std::vector<std::string> buffers;
    for (std::size_t offset = 0; offset < 16; ++offset)
      buffers.push_back(std::string(offset, 'p') + text);
    return buffers;
  }
};

TEST_P(ScanAtLength, FindAnyMatchesScalar) {
  std::mt19937 random(static_cast<unsigned>(GetParam()));
  for (int round = 0; round < 200; ++round) {
    const std::string text = random_text(random, size(), round % 4 == 0 ? 0 : 3 + round % 10);
    for (const std::string& buffer : placed(text)) {
      const char* begin = buffer.data() + (buffer.size() - text.size());
      const char* end = buffer.data() + buffer.size();
      EXPECT_EQ((scan::find_any<',', '\n', '\r'>(begin, end)),
                (scan::find_any_scalar<',', '\n', '\r'>(begin, end)));
      EXPECT_EQ(scan::find_any<'"'>(begin, end), scan::find_any_scalar<'"'>(begin, end));
      EXPECT_EQ((scan::find_any<'\'', '\\'>(begin, end)),
                (scan::find_any_scalar<'\'', '\\'>(begin, end)));
      EXPECT_EQ((scan::find_control_or_any<'"', '\\'>(begin, end)),
                (scan::find_control_or_any_scalar<'"', '\\'>(begin, end)));
      EXPECT_EQ(scan::find_non_ascii(begin, end), scan::find_non_ascii_scalar(begin, end));
      std::vector<std::uint64_t> marks(scan::marks_size(text.size()));
      std::vector<std::uint64_t> expected(marks.size());
      bool has_nul = false;
      bool expected_nul = false;
      EXPECT_EQ(
          scan::count_marking_non_ascii(begin, end, '"', marks.data(), has_nul),
          scan::count_marking_non_ascii_scalar(begin, end, '"', expected.data(), expected_nul));
      EXPECT_EQ(marks, expected);
      EXPECT_EQ(has_nul, expected_nul);
    }
  }
}

TEST_P(ScanAtLength, FindsTheFirstOfSeveralHits) {
  // A hit at every position, with a later hit of another kind behind it.
  for (std::size_t at = 0; at < size(); ++at) {
    std::string text(size(), 'a');
    text[at] = '\r';
    if (at + 1 < size()) text[size() - 1] = ',';
    const char* begin = text.data();
    const char* end = begin + text.size();
    EXPECT_EQ((scan::find_any<',', '\n', '\r'>(begin, end)), begin + at);
    text[at] = '\x80';
    EXPECT_EQ(scan::find_non_ascii(begin, end), begin + at);
    text[at] = '\x1F';
    EXPECT_EQ((scan::find_control_or_any<'"', '\\'>(begin, end)), begin + at);
  }
  const std::string none(size(), '\x7F');
  EXPECT_EQ((scan::find_any<',', '\n', '\r'>(none.data(), none.data() + none.size())),
            none.data() + none.size());
  EXPECT_EQ((scan::find_control_or_any<'"', '\\'>(none.data(), none.data() + none.size())),
            none.data() + none.size());
}

TEST_P(ScanAtLength, HexAlphabetMatchesScalar) {
  std::mt19937 random(static_cast<unsigned>(GetParam()) + 1000);
  constexpr std::string_view alphabet = "0123456789abcdefABCDEF-";
  for (int round = 0; round < 50; ++round) {
    std::string text(size(), '0');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    const char* begin = text.data();
    EXPECT_TRUE(scan::all_hex_or_hyphen(begin, begin + text.size()));
    if (size() == 0) continue;
    // One tricky byte, anywhere: a byte outside the alphabet fails both forms, one inside it
    // (some tricky bytes are digits, letters or the hyphen) passes both.
    for (const unsigned char bad : tricky) {
      std::string broken = text;
      broken[random() % size()] = static_cast<char>(bad);
      const bool in_alphabet = alphabet.find(static_cast<char>(bad)) != std::string_view::npos;
      EXPECT_EQ(scan::all_hex_or_hyphen_scalar(broken.data(), broken.data() + size()), in_alphabet)
          << "byte " << int{bad};
      EXPECT_EQ(scan::all_hex_or_hyphen(broken.data(), broken.data() + size()), in_alphabet)
          << "byte " << int{bad};
    }
  }
}

TEST_P(ScanAtLength, CopyDoublingMatchesScalarAndStaysInItsRoom) {
  std::mt19937 random(static_cast<unsigned>(GetParam()) + 2000);
  constexpr unsigned char guard = 0xA5;
  for (int round = 0; round < 200; ++round) {
    const std::string text = random_text(random, size(), round % 5 == 0 ? 0 : 5 + round % 30);
    const std::size_t room = 2 * text.size() + scan::copy_slack;
    std::string expected(2 * text.size(), '\0');
    expected.resize(
        static_cast<std::size_t>(scan::copy_doubling_scalar<'\'', '\\'>(
                                     expected.data(), text.data(), text.data() + text.size()) -
                                 expected.data()));
    std::string out(room + 16, static_cast<char>(guard));
    const char* end =
        scan::copy_doubling<'\'', '\\'>(out.data(), text.data(), text.data() + text.size());
    EXPECT_EQ(std::string_view(out.data(), static_cast<std::size_t>(end - out.data())), expected);
    for (std::size_t i = room; i < out.size(); ++i) {
      ASSERT_EQ(static_cast<unsigned char>(out[i]), guard) << "wrote past the room at " << i;
    }
  }
}

TEST_P(ScanAtLength, EqualSeesADifferenceAtEveryPosition) {
  std::mt19937 random(static_cast<unsigned>(GetParam()) + 4000);
  const std::string text = random_text(random, size(), 20);
  EXPECT_TRUE(scan::equal(text.data(), std::string(text).data(), size()));
  // A difference at any one place is seen.
  for (std::size_t at = 0; at < size(); ++at) {
    std::string other = text;
    other[at] = static_cast<char>(other[at] ^ 0x01);
    EXPECT_FALSE(scan::equal(text.data(), other.data(), size())) << "at " << at;
  }
}

TEST_P(ScanAtLength, CopyWritesExactlyItsBytes) {
  std::mt19937 random(static_cast<unsigned>(GetParam()) + 3000);
  const std::string text = random_text(random, size(), 20);
  std::string out(size() + 16, '#');
  scan::copy(out.data() + 8, text.data(), text.size());
  EXPECT_EQ(out.substr(8, size()), text);
  EXPECT_EQ(out.substr(0, 8), std::string(8, '#'));
  EXPECT_EQ(out.substr(8 + size()), std::string(8, '#'));
}

INSTANTIATE_TEST_SUITE_P(Lengths, ScanAtLength, ::testing::Range(0, 72));

TEST(Scan, MatchMaskMatchesScalar) {
  std::mt19937 random(99);
  for (int round = 0; round < 500; ++round) {
    const std::string text = random_text(random, 64 + 15, round % 40);
    for (std::size_t offset = 0; offset < 16; ++offset) {
      const char* p = text.data() + offset;
      EXPECT_EQ((scan::match_mask64<',', '\n', '\r'>(p)),
                (scan::match_mask64_scalar<',', '\n', '\r'>(p)));
    }
  }
  std::string all(64, ',');
  EXPECT_EQ((scan::match_mask64<',', '\n', '\r'>(all.data())), ~std::uint64_t{0});
  all[63] = 'x';
  all[0] = '\r';
  EXPECT_EQ((scan::match_mask64<',', '\n', '\r'>(all.data())), ~std::uint64_t{0} >> 1);
}

TEST(Scan, CountsAcrossLongRuns) {
  // Long enough for the per-lane counters of the vector forms to be summed several times, and for
  // the marks to fill several words.
  for (const std::size_t size : {4079u, 4080u, 4081u, 4095u, 4096u, 4097u, 16385u, 100000u}) {
    std::string text(size, '"');
    std::vector<std::uint64_t> marks(scan::marks_size(size));
    bool has_nul = false;
    EXPECT_EQ(
        scan::count_marking_non_ascii(text.data(), text.data() + size, '"', marks.data(), has_nul),
        size);
    EXPECT_FALSE(has_nul);
    for (std::size_t i = 0; i < size; i += 3) text[i] = 'x';
    // A non-ASCII byte in every seventh block, and in the last byte.
    for (std::size_t i = 5; i < size; i += 7 * 64) text[i] = '\xC3';
    text[size - 1] = '\xA9';
    std::fill(marks.begin(), marks.end(), 0);
    std::vector<std::uint64_t> expected(marks.size());
    bool expected_nul = false;
    EXPECT_EQ(
        scan::count_marking_non_ascii(text.data(), text.data() + size, '"', marks.data(), has_nul),
        scan::count_marking_non_ascii_scalar(text.data(), text.data() + size, '"', expected.data(),
                                             expected_nul));
    EXPECT_EQ(marks, expected) << size;
    EXPECT_FALSE(has_nul);
    EXPECT_FALSE(expected_nul);
    // The last byte's block is marked, whether it is a full block or the tail.
    EXPECT_NE(expected[(size - 1) / 4096] & (std::uint64_t{1} << ((size - 1) / 64 % 64)), 0u);
    // One NUL byte, in a full block, near the end and in the last byte, is seen by both forms;
    // the last byte lies in the short tail whenever the size is not a multiple of 64 (4097 and
    // 16385 have a tail of that byte alone).
    for (const std::size_t at : {std::size_t{70}, size - 2, size - 1}) {
      std::string with_nul = text;
      with_nul[at] = '\0';
      bool vector_nul = false;
      bool scalar_nul = false;
      std::fill(marks.begin(), marks.end(), 0);
      std::fill(expected.begin(), expected.end(), 0);
      (void)scan::count_marking_non_ascii(with_nul.data(), with_nul.data() + size, '"',
                                          marks.data(), vector_nul);
      (void)scan::count_marking_non_ascii_scalar(with_nul.data(), with_nul.data() + size, '"',
                                                 expected.data(), scalar_nul);
      EXPECT_TRUE(vector_nul) << size << " " << at;
      EXPECT_TRUE(scalar_nul) << size << " " << at;
    }
  }
}

TEST(Scan, ScalarFormsFollowTheirContracts) {
  // The references themselves, on cases small enough to check by eye.
  const std::string_view csv = "ab\"c,d\r\n";
  EXPECT_EQ((scan::find_any_scalar<',', '\n', '\r'>(csv.data(), csv.data() + csv.size())),
            csv.data() + 4);
  std::uint64_t mark = 0;
  bool has_nul = false;
  EXPECT_EQ(scan::count_marking_non_ascii_scalar(csv.data(), csv.data() + csv.size(), '"', &mark,
                                                 has_nul),
            1u);
  EXPECT_EQ(mark, 0u);
  EXPECT_FALSE(has_nul);
  const std::string_view json = "ab\x1F\"";
  EXPECT_EQ((scan::find_control_or_any_scalar<'"', '\\'>(json.data(), json.data() + json.size())),
            json.data() + 2);
  const std::string_view uuid = "123e4567-E89B-12d3-a456-426614174000";
  EXPECT_TRUE(scan::all_hex_or_hyphen_scalar(uuid.data(), uuid.data() + uuid.size()));
  const std::string_view not_hex = "12g4";
  EXPECT_FALSE(scan::all_hex_or_hyphen_scalar(not_hex.data(), not_hex.data() + not_hex.size()));
  const std::string_view literal = "it's C:\\";
  char out[32];
  const char* end =
      scan::copy_doubling_scalar<'\'', '\\'>(out, literal.data(), literal.data() + literal.size());
  EXPECT_EQ(std::string_view(out, static_cast<std::size_t>(end - out)), "it''s C:\\\\");
}

}  // namespace
}  // namespace morvel
