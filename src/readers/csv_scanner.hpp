#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/scan.hpp"
#include "core/utf8.hpp"
#include "readers/options.hpp"

// The splitting of a CSV text into records and fields, defined here whole so that the reader's
// loop inlines it.

namespace morvel::readers::csv {

namespace scan = core::scan;

// Counts in byte offsets at the start of an input, never in its first record's text.
inline constexpr std::string_view byte_order_mark = core::utf8_byte_order_mark;

// LF and CR alike end a line. Never fails.
inline bool is_line_end(char c) noexcept { return c == '\n' || c == '\r'; }

// Where a field's text is: `size` bytes at `offset` of the text, or of the scratch buffer.
struct ScannedField {
  std::size_t offset;
  std::size_t size;
  bool in_scratch;
};

// The memory a scanner fills, kept by its owner from one piece to the next: a record of millions
// of fields, read again in wider windows until it fits, is not allocated anew each time.
struct ScanRoom {
  std::vector<ScannedField> fields;  // parse_record() says how many of them are the record's
  std::string scratch;
};

// Splits a piece of the text into records. A field's text is a piece of the text where the field
// is stored as is, and of the scanner's scratch buffer where quotes had to be removed; both stay
// valid until the next record is parsed. A piece may end inside a record (it is not the last):
// that record is then left for the piece that takes the rest.
class Scanner {
 public:
  using Field = ScannedField;

  // What next_record() found.
  enum class Next : std::uint8_t { Record, End, More };

  // `non_ascii` marks the text's 64-byte blocks that hold a byte from 0x80 up (bit i % 64 of
  // word i / 64 for block i), or is null for a text known to be UTF-8; it is borrowed for the
  // scanner's life. Of `options`, the comment byte (lines that start with it at a record's start
  // are skipped), the quote byte and a delimiter of white space apply. A text that `starts_input`
  // may begin with a byte-order mark.
  Scanner(std::string_view text, const std::uint64_t* non_ascii, const ReadOptions& options,
          bool starts_input, ScanRoom& room)
      : fields_(room.fields),
        scratch_(room.scratch),
        begin_(text.data()),
        end_(text.data() + text.size()),
        window_{end_, 0},
        non_ascii_(non_ascii),
        comment_(options.comment),
        starts_input_(starts_input),
        quote_(options.quote),
        splits_on_white_space_(options.delimiter.is_white_space) {}

  // Skips `count` lines, each ended by LF, CR or CR LF; a byte-order mark is part of the first.
  // False when the text ends before they do, or on a CR that an LF may follow, and `is_last`
  // does not say that nothing follows. Never fails.
  bool skip_lines(std::uint64_t count, bool is_last) noexcept {
    for (; count > 0; --count) {
      const std::size_t end = offset_of(scan::find_any<'\n', '\r'>(begin_ + pos_, end_));
      if (end == size()) {
        pos_ = size();
        return is_last;
      }
      if (begin_[end] == '\r' && end + 1 == size() && !is_last) return false;
      const bool is_cr_lf = begin_[end] == '\r' && end + 1 < size() && begin_[end + 1] == '\n';
      pos_ = end + (is_cr_lf ? 2 : 1);
    }
    return true;
  }

  // Skips blank lines, and comment lines, before the next record. The record's reported position
  // is where this search began, after the last comment line, as a streaming reader would have it;
  // without a record (End), or with a comment line the text cuts (More), the search begins there
  // again in the text that follows.
  Next next_record(bool is_last) noexcept {
    record_start_ = pos_;
    skip_byte_order_mark();
    for (;;) {
      while (pos_ < size() && is_line_end(begin_[pos_])) ++pos_;
      // A line of nothing but blanks separates no fields: it is as empty as a blank line.
      if (splits_on_white_space_) {
        const char* text = skip_blanks(begin_ + pos_);
        if (text != begin_ + pos_ && (text == end_ || is_line_end(*text))) {
          pos_ = offset_of(text);
          continue;
        }
      }
      if (!comment_ || pos_ == size() || begin_[pos_] != *comment_) break;
      if (!skip_lines(1, is_last)) {
        pos_ = record_start_;
        return Next::More;
      }
      record_start_ = pos_;
    }
    content_start_ = pos_;
    return pos_ < size() ? Next::Record : Next::End;
  }

  // The byte among , ; tab and | that occurs most often outside quotes in the record at the
  // current position, the first of them on a tie, a comma when none occurs. `is_complete` tells
  // whether a line end closed the record before the end of the text. Never fails.
  [[nodiscard]] char most_used_delimiter(bool& is_complete) const noexcept {
    constexpr std::array<char, 4> candidates = {',', ';', '\t', '|'};
    std::array<std::size_t, 4> counts{};
    bool quoted = false;
    is_complete = false;
    for (const char* p = begin_ + pos_; p != end_; ++p) {
      if (*p == quote_) quoted = !quoted;
      if (quoted) continue;
      if (is_line_end(*p)) {
        is_complete = true;
        break;
      }
      for (std::size_t i = 0; i < candidates.size(); ++i) counts[i] += *p == candidates[i];
    }
    const auto most = std::max_element(counts.begin(), counts.end());
    return *most == 0 ? ',' : candidates[static_cast<std::size_t>(most - counts.begin())];
  }

  void set_delimiter(char delimiter) noexcept { delimiter_ = delimiter; }

  // Parses the record at the current position and returns its fields.
  std::span<const Field> parse_record() {
    if (splits_on_white_space_) return parse_blank_separated_record();
    // The double quote as a constant keeps the loop as fast as before the quote could be
    // chosen: read from the scanner, it cost a percent of a conversion under callgrind.
    return quote_ == '"' ? parse_delimited_record<'"'>() : parse_delimited_record<'\0'>();
  }

  // parse_record() with fields between delimiter bytes, `Quote` the quote byte, or '\0' for the
  // scanner's own.
  template <char Quote>
  std::span<const Field> parse_delimited_record() {
    // The loop works on local copies of the search window and the output position and writes
    // them back at the end: as members they were reloaded after every store of a field.
    Window window = window_;
    const char quote = Quote != '\0' ? Quote : quote_;
    scratch_.clear();
    Field* out = fields_.data();
    Field* out_end = out + fields_.size();
    const char* p = begin_ + pos_;
    const char* field_end;
    for (;;) {
      if (out == out_end) {
        const auto used = static_cast<std::size_t>(out - fields_.data());
        fields_.resize(2 * used + 16);
        out = fields_.data() + used;
        out_end = fields_.data() + fields_.size();
      }
      if (p != end_ && *p == quote) {
        field_end = parse_quoted_field<false, Quote>(p, window, *out);
      } else {
        field_end = find_field_end(p, window);
        *out = Field{offset_of(p), static_cast<std::size_t>(field_end - p), false};
      }
      ++out;
      if (field_end == end_ || *field_end != delimiter_) break;
      p = field_end + 1;
    }
    ran_to_end_ = field_end == end_;
    pos_ = ran_to_end_ ? size() : offset_of(field_end) + 1;
    window_ = window;
    return {fields_.data(), static_cast<std::size_t>(out - fields_.data())};
  }

  // parse_record() for fields separated by runs of spaces and tabs; blanks at the line's ends
  // separate nothing. A field that opens with a quote is quoted as with a delimiter byte, so it
  // may hold blanks and line breaks.
  std::span<const Field> parse_blank_separated_record() {
    scratch_.clear();
    std::size_t count = 0;
    const char* p = skip_blanks(begin_ + pos_);
    while (p != end_ && !is_line_end(*p)) {
      if (count == fields_.size()) fields_.resize(2 * count + 16);
      const char* field_end;
      if (*p == quote_) {
        field_end = parse_quoted_field<true, '\0'>(p, window_, fields_[count]);
      } else {
        field_end = find_blank_or_line_end(p);
        fields_[count] = Field{offset_of(p), static_cast<std::size_t>(field_end - p), false};
      }
      ++count;
      p = skip_blanks(field_end);
    }
    ran_to_end_ = p == end_;
    pos_ = ran_to_end_ ? size() : offset_of(p) + 1;
    return {fields_.data(), count};
  }

  // Whether the last record, as written, is UTF-8. A record in blocks without a non-ASCII byte
  // is, at the cost of a look at a few bits; the others are checked byte by byte.
  [[nodiscard]] bool record_is_utf8() const noexcept {
    if (non_ascii_ == nullptr) return true;
    const std::size_t first = content_start_ / 64;
    const std::size_t last = (pos_ - 1) / 64;
    for (std::size_t word = first / 64; word <= last / 64; ++word) {
      std::uint64_t bits = non_ascii_[word];
      if (word == first / 64) bits &= ~std::uint64_t{0} << (first % 64);
      if (word == last / 64) bits &= ~std::uint64_t{0} >> (63 - last % 64);
      if (bits == 0) continue;
      // The blocks before the first marked one are ASCII, so it starts on a character boundary.
      const std::size_t from = std::max(content_start_, (64 * word + __builtin_ctzll(bits)) * 64);
      return !core::find_invalid_utf8({begin_ + from, pos_ - from});
    }
    return true;
  }

  [[nodiscard]] std::string_view text(const Field& field) const noexcept {
    return {(field.in_scratch ? scratch_.data() : begin_) + field.offset, field.size};
  }
  [[nodiscard]] std::size_t record_start() const noexcept { return record_start_; }
  [[nodiscard]] std::size_t position() const noexcept { return pos_; }
  // Whether the last record ran to the end of the text rather than to a line break.
  [[nodiscard]] bool ran_to_end() const noexcept { return ran_to_end_; }

 private:
  [[nodiscard]] std::size_t size() const noexcept {
    return static_cast<std::size_t>(end_ - begin_);
  }
  [[nodiscard]] std::size_t offset_of(const char* p) const noexcept {
    return static_cast<std::size_t>(p - begin_);
  }

  // The byte-order mark counts in byte offsets but never in the first record's text.
  void skip_byte_order_mark() noexcept {
    if (starts_input_ && pos_ == 0 &&
        std::string_view(begin_, size()).starts_with(byte_order_mark)) {
      pos_ = byte_order_mark.size();
    }
  }

  // 64 bytes of the input classified into a bit mask of their delimiters and terminators. A
  // window that starts at the end of the input holds nothing.
  struct Window {
    const char* start;
    std::uint64_t mask;
  };

  // The first delimiter or terminator at or after `from`, or the end of the input. The input is
  // classified 64 bytes at a time into a bit mask that serves every field starting in those
  // bytes: a search per field reloaded the same bytes for each of the ten fields of a record.
  // Quoted fields are parsed apart, and a field resumes the mask only past its end.
  const char* find_field_end(const char* from, Window& window) const noexcept {
    // A delimiter as the last byte leaves an empty field at the very end, where the empty window
    // would give offset 0 and a stale mask.
    if (from == end_) return end_;
    const scan::Needles needles{delimiter_, '\n', '\r'};
    for (;;) {
      // Past the window, or before it (only the empty one at the end), the offset is 64 or more.
      const auto offset = static_cast<std::size_t>(from - window.start);
      if (offset < 64) {
        const std::uint64_t hits = window.mask & (~std::uint64_t{0} << offset);
        if (hits != 0) return window.start + __builtin_ctzll(hits);
        from = window.start + 64;
      }
      if (end_ - from < 64) {
        window.start = end_;
        return scan::find_needles(from, end_, needles);
      }
      window.start = from;
      window.mask = scan::match_needles64(from, needles);
    }
  }

  // The first byte at or after `from` that is neither a space nor a tab, or the end of the text.
  const char* skip_blanks(const char* from) const noexcept {
    while (from != end_ && (*from == ' ' || *from == '\t')) ++from;
    return from;
  }

  // The first space, tab or line end at or after `from`, or the end of the text. Never fails.
  const char* find_blank_or_line_end(const char* from) const noexcept {
    return scan::find_any<' ', '\t', '\n', '\r'>(from, end_);
  }

  // Parses the field that opens with the quote at `open` into `field` and returns the byte that
  // ends it. A doubled quote stands for one; after the closing quote, text up to the next
  // delimiter (or blank, when `IsBlankSeparated`) or terminator belongs to the field as is; a
  // quote never closed runs to the end of the input. `Quote` is the quote byte, or '\0' for the
  // scanner's own.
  template <bool IsBlankSeparated, char Quote>
  const char* parse_quoted_field(const char* open, Window& window, Field& field) {
    const char quote_byte = Quote != '\0' ? Quote : quote_;
    const std::size_t scratch_begin = scratch_.size();
    bool uses_scratch = false;
    const char* from = open + 1;
    for (;;) {
      // The double quote keeps the vector search; any other byte is looked for by memchr.
      const char* quote = Quote == '"' ? scan::find_any<'"'>(from, end_) : find_quote(from);
      if (quote == end_) {
        field = quoted(from, end_, uses_scratch, scratch_begin);
        return end_;
      }
      if (quote + 1 != end_ && quote[1] == quote_byte) {
        scratch_.append(from, quote + 1);
        uses_scratch = true;
        from = quote + 2;
        continue;
      }
      const char* field_end =
          IsBlankSeparated ? find_blank_or_line_end(quote + 1) : find_field_end(quote + 1, window);
      if (field_end != quote + 1) {
        scratch_.append(from, quote);
        scratch_.append(quote + 1, field_end);
        field = Field{scratch_begin, scratch_.size() - scratch_begin, true};
        return field_end;
      }
      field = quoted(from, quote, uses_scratch, scratch_begin);
      return field_end;
    }
  }

  // The first quote byte at or after `from`, or the end of the text.
  const char* find_quote(const char* from) const noexcept {
    const void* found = std::memchr(from, quote_, static_cast<std::size_t>(end_ - from));
    return found == nullptr ? end_ : static_cast<const char*>(found);
  }

  // The text of a quoted field that ends at `to`, joined to any doubled-quote pieces.
  Field quoted(const char* from, const char* to, bool uses_scratch, std::size_t scratch_begin) {
    if (!uses_scratch) return Field{offset_of(from), static_cast<std::size_t>(to - from), false};
    scratch_.append(from, to);
    return Field{scratch_begin, scratch_.size() - scratch_begin, true};
  }

  std::vector<Field>& fields_;
  std::string& scratch_;
  const char* begin_;
  const char* end_;
  std::size_t pos_ = 0;
  std::size_t record_start_ = 0;
  std::size_t content_start_ = 0;
  Window window_;
  const std::uint64_t* non_ascii_;
  std::optional<char> comment_;
  bool starts_input_;
  char delimiter_ = ',';
  char quote_;
  bool splits_on_white_space_;
  bool ran_to_end_ = false;
};

}  // namespace morvel::readers::csv
