#include "readers/csv.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/monitor.hpp"
#include "core/scan.hpp"
#include "core/utf8.hpp"

namespace morvel::readers {

namespace {

using core::ByteBuffer;
using core::ByteSource;
using core::DataType;
using core::Error;
using core::find_invalid_utf8;
using core::Row;
using core::RowSink;
using core::Status;
namespace scan = core::scan;

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Splits the held input into records. A field's text is a piece of the input where the field is
// stored as is, and of the scanner's scratch buffer where quotes had to be removed; both stay
// valid until the next record is parsed.
class Scanner {
 public:
  // Where a field's text is: `size` bytes at `offset` of the input, or of the scratch buffer.
  struct Field {
    std::size_t offset;
    std::size_t size;
    bool in_scratch;
  };

  // `non_ascii` marks the input's 64-byte blocks that hold a byte from 0x80 up (bit i % 64 of
  // word i / 64 for block i); it is borrowed for the scanner's life.
  Scanner(std::string_view input, const std::uint64_t* non_ascii)
      : begin_(input.data()),
        end_(input.data() + input.size()),
        window_{end_, 0},
        non_ascii_(non_ascii) {}

  // Skips blank lines before the next record; false when the input is exhausted. The record's
  // reported position is where this search began, as a streaming reader would have it.
  bool next_record() noexcept {
    record_start_ = pos_;
    // The byte-order mark counts in byte offsets but never in the first record's text.
    if (pos_ == 0 && std::string_view(begin_, size()).starts_with(byte_order_mark)) {
      pos_ = byte_order_mark.size();
    }
    while (pos_ < size() && (begin_[pos_] == '\n' || begin_[pos_] == '\r')) ++pos_;
    content_start_ = pos_;
    return pos_ < size();
  }

  // Parses the record at the current position and returns its fields.
  std::span<const Field> parse_record() {
    // The loop works on local copies of the search window and the output position and writes
    // them back at the end: as members they were reloaded after every store of a field.
    Window window = window_;
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
      if (p != end_ && *p == '"') {
        field_end = parse_quoted_field(p, window, *out);
      } else {
        field_end = find_field_end(p, window);
        *out = Field{offset_of(p), static_cast<std::size_t>(field_end - p), false};
      }
      ++out;
      if (field_end == end_ || *field_end != ',') break;
      p = field_end + 1;
    }
    pos_ = field_end == end_ ? size() : offset_of(field_end) + 1;
    window_ = window;
    return {fields_.data(), static_cast<std::size_t>(out - fields_.data())};
  }

  // Whether the last record, as written, is UTF-8. A record in blocks without a non-ASCII byte
  // is, at the cost of a look at a few bits; the others are checked byte by byte.
  [[nodiscard]] bool record_is_utf8() const noexcept {
    const std::size_t first = content_start_ / 64;
    const std::size_t last = (pos_ - 1) / 64;
    for (std::size_t word = first / 64; word <= last / 64; ++word) {
      std::uint64_t bits = non_ascii_[word];
      if (word == first / 64) bits &= ~std::uint64_t{0} << (first % 64);
      if (word == last / 64) bits &= ~std::uint64_t{0} >> (63 - last % 64);
      if (bits == 0) continue;
      // The blocks before the first marked one are ASCII, so it starts on a character boundary.
      const std::size_t from = std::max(content_start_, (64 * word + __builtin_ctzll(bits)) * 64);
      return !find_invalid_utf8({begin_ + from, pos_ - from});
    }
    return true;
  }

  [[nodiscard]] std::string_view text(const Field& field) const noexcept {
    return {(field.in_scratch ? scratch_.data() : begin_) + field.offset, field.size};
  }
  [[nodiscard]] std::size_t record_start() const noexcept { return record_start_; }
  // 1-based line of a byte offset: every LF before it, inside quoted fields too, starts a line.
  [[nodiscard]] std::size_t line_at(std::size_t offset) const noexcept {
    return 1 + static_cast<std::size_t>(std::count(begin_, begin_ + offset, '\n'));
  }

 private:
  [[nodiscard]] std::size_t size() const noexcept {
    return static_cast<std::size_t>(end_ - begin_);
  }
  [[nodiscard]] std::size_t offset_of(const char* p) const noexcept {
    return static_cast<std::size_t>(p - begin_);
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
        return scan::find_any<',', '\n', '\r'>(from, end_);
      }
      window.start = from;
      window.mask = scan::match_mask64<',', '\n', '\r'>(from);
    }
  }

  // Parses the field that opens with the quote at `open` into `field` and returns the byte that
  // ends it. A doubled quote stands for one; after the closing quote, text up to the next
  // delimiter or terminator belongs to the field as is; a quote never closed runs to the end of
  // the input.
  const char* parse_quoted_field(const char* open, Window& window, Field& field) {
    const std::size_t scratch_begin = scratch_.size();
    bool uses_scratch = false;
    const char* from = open + 1;
    for (;;) {
      const char* quote = scan::find_any<'"'>(from, end_);
      if (quote == end_) {
        field = quoted(from, end_, uses_scratch, scratch_begin);
        return end_;
      }
      if (quote + 1 != end_ && quote[1] == '"') {
        scratch_.append(from, quote + 1);
        uses_scratch = true;
        from = quote + 2;
        continue;
      }
      const char* field_end = find_field_end(quote + 1, window);
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

  // The text of a quoted field that ends at `to`, joined to any doubled-quote pieces.
  Field quoted(const char* from, const char* to, bool uses_scratch, std::size_t scratch_begin) {
    if (!uses_scratch) return Field{offset_of(from), static_cast<std::size_t>(to - from), false};
    scratch_.append(from, to);
    return Field{scratch_begin, scratch_.size() - scratch_begin, true};
  }

  const char* begin_;
  const char* end_;
  std::size_t pos_ = 0;
  std::size_t record_start_ = 0;
  std::size_t content_start_ = 0;
  Window window_;
  const std::uint64_t* non_ascii_;
  std::vector<Field> fields_;  // room for the fields of a record; parse_record() says how many
  std::string scratch_;
};

Error field_count_error(const Scanner& scanner, std::uint64_t record, std::size_t found,
                        std::size_t expected) {
  const std::size_t start = scanner.record_start();
  return core::invalid("CSV error: record " + std::to_string(record) +
                       " (line: " + std::to_string(scanner.line_at(start)) +
                       ", byte: " + std::to_string(start) + "): found record with " +
                       std::to_string(found) + " fields, but the previous record has " +
                       std::to_string(expected) + " fields");
}

// Checks every field of the last record, whose texts `text_of(i)` gives; the error names the
// first field that is not UTF-8.
template <class TextOf>
Status check_utf8(const Scanner& scanner, std::uint64_t record, std::size_t fields,
                  TextOf text_of) {
  // Fields are pieces of the record cut at ASCII bytes (delimiters, quotes), so a record that is
  // UTF-8 as a whole has only UTF-8 fields; one test of it saves a call per field. The converse
  // fails (a quote removed between two halves of a character), so a record that is not UTF-8 is
  // judged field by field.
  if (scanner.record_is_utf8()) return {};
  for (std::size_t i = 0; i < fields; ++i) {
    const auto bad = find_invalid_utf8(text_of(i));
    if (!bad) continue;
    const std::size_t start = scanner.record_start();
    const std::string index = std::to_string(i);
    return std::unexpected(core::invalid("CSV parse error: record " + std::to_string(record) +
                                         " (line " + std::to_string(scanner.line_at(start)) +
                                         ", field: " + index + ", byte: " + std::to_string(start) +
                                         "): invalid utf-8: invalid UTF-8 in field " + index +
                                         " near byte index " + std::to_string(bad->valid_up_to)));
  }
  return {};
}

Status check_unique_names(const std::vector<std::string>& names) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(names.size());
  for (std::string_view name : names) {
    if (!seen.insert(name).second) {
      return std::unexpected(
          core::invalid("duplicate column name '" + std::string(name) + "' in CSV header"));
    }
  }
  return {};
}

// The whole input as one view: the source's own memory, a mapping of the file, or else `owned`,
// filled by reading to the end.
core::Result<std::string_view> hold_input(ByteSource& reader, ByteBuffer& owned) {
  if (auto view = reader.contiguous()) return *view;
  if (auto mapped = reader.map()) return *mapped;
  if (auto read = core::read_to_end(reader, owned); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return owned.view();
}

// The header's names, checked for UTF-8 and for repeats.
core::Result<std::vector<std::string>> read_header(Scanner& scanner) {
  std::vector<std::string> header;
  for (const Scanner::Field& field : scanner.parse_record()) {
    header.emplace_back(scanner.text(field));
  }
  if (auto valid = check_utf8(scanner, 0, header.size(),
                              [&](std::size_t i) -> std::string_view { return header[i]; });
      !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  if (auto unique = check_unique_names(header); !unique) {
    return std::unexpected(std::move(unique.error()));
  }
  return header;
}

// Hands `sink` a row per data record after the header. One row serves every record: a sink that
// does not move it out leaves its memory and its entries here, and each record only replaces the
// texts. The texts are views of the input, or of the scanner's scratch for fields that lost
// quotes, both unchanged until the next record is parsed: copying each record into the row was a
// tenth of a conversion.
Status hand_over_records(Scanner& scanner, const std::vector<std::string>& header, bool has_nul,
                         RowSink sink, core::Checkpoints& checkpoints) {
  std::size_t header_bytes = 0;
  for (const std::string& name : header) header_bytes += name.size();
  Row row;
  std::uint64_t record = 0;
  while (scanner.next_record()) {
    if (auto go_on = checkpoints.reached(scanner.record_start()); !go_on) return go_on;
    ++record;
    const std::span<const Scanner::Field> fields = scanner.parse_record();
    if (fields.size() != header.size()) {
      return std::unexpected(field_count_error(scanner, record, fields.size(), header.size()));
    }
    if (auto valid = check_utf8(scanner, record, fields.size(),
                                [&](std::size_t i) { return scanner.text(fields[i]); });
        !valid) {
      return valid;
    }
    if (row.size() != header.size()) {
      row.clear();
      row.reserve(header.size(), header_bytes, 0);
      for (const std::string& name : header) row.append(name, {}, DataType::Null);
    } else {
      row.clear_texts();
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const std::string_view text = scanner.text(fields[i]);
      row.set_text_view(i, text, DataType::infer(text));
    }
    if (!has_nul) row.note_nul_free();
    if (auto accepted = sink(std::move(row)); !accepted) return accepted;
  }
  return {};
}

// Counts the quote bytes of `input`, marking its non-ASCII blocks in `non_ascii` and noting a NUL
// byte in `has_nul`, a slice at a time so that the monitor hears of a large input as it goes.
core::Result<std::size_t> count_quotes(std::string_view input, std::uint64_t* non_ascii,
                                       bool& has_nul, core::Checkpoints& checkpoints) {
  // A multiple of the 4096 bytes one mark word covers, so that each slice starts a word.
  constexpr std::size_t slice = 1024 * 4096;
  std::size_t quotes = 0;
  for (std::size_t at = 0; at < input.size(); at += slice) {
    if (auto go_on = checkpoints.reached(at); !go_on) return std::unexpected(go_on.error());
    const std::size_t size = std::min(slice, input.size() - at);
    quotes += scan::count_marking_non_ascii(input.data() + at, input.data() + at + size, '"',
                                            non_ascii + at / 4096, has_nul);
  }
  return quotes;
}

}  // namespace

Status stream_csv(ByteSource& reader, RowSink sink, core::Monitor* monitor) {
  ByteBuffer owned;
  const auto input = hold_input(reader, owned);
  if (!input) return std::unexpected(std::move(input.error()));

  // The balance check runs over every quote byte before any record is parsed, so a stray quote
  // fails the whole input rather than swallowing the records after it. The same pass marks where
  // non-ASCII bytes are, so that the UTF-8 check of a record needs no pass of its own (it was a
  // second trip through the whole input from memory), and tells whether the input holds a NUL
  // byte anywhere: when it does not, no row needs the writer's own search for one.
  std::vector<std::uint64_t> non_ascii(scan::marks_size(input->size()));
  bool has_nul = false;
  // Each pass over the input tells the monitor of its progress; the quote count is the first.
  core::Checkpoints counting(monitor);
  const auto quotes = count_quotes(*input, non_ascii.data(), has_nul, counting);
  if (!quotes) return std::unexpected(quotes.error());
  if (*quotes % 2 != 0) {
    return std::unexpected(core::invalid("Malformed CSV: unbalanced quotes detected"));
  }

  Scanner scanner(*input, non_ascii.data());
  if (!scanner.next_record()) return {};
  auto header = read_header(scanner);
  if (!header) return std::unexpected(std::move(header.error()));
  core::Checkpoints converting(monitor);
  return hand_over_records(scanner, *header, has_nul, sink, converting);
}

}  // namespace morvel::readers
