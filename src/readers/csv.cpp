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

#include "core/encoding.hpp"
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

bool is_line_end(char c) noexcept { return c == '\n' || c == '\r'; }

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
  // word i / 64 for block i), or is null for an input known to be UTF-8; it is borrowed for the
  // scanner's life. Lines that start with `comment` at a record's start are skipped.
  Scanner(std::string_view input, const std::uint64_t* non_ascii, std::optional<char> comment)
      : begin_(input.data()),
        end_(input.data() + input.size()),
        window_{end_, 0},
        non_ascii_(non_ascii),
        comment_(comment) {}

  // Skips `count` lines, each ended by LF, CR or CR LF; a byte-order mark is part of the first.
  // Never fails.
  void skip_lines(std::uint64_t count) noexcept {
    for (; count > 0 && pos_ < size(); --count) {
      pos_ = offset_of(scan::find_any<'\n', '\r'>(begin_ + pos_, end_));
      if (pos_ == size()) break;
      const bool is_cr_lf = begin_[pos_] == '\r' && pos_ + 1 < size() && begin_[pos_ + 1] == '\n';
      pos_ += is_cr_lf ? 2 : 1;
    }
  }

  // Skips blank lines, and comment lines, before the next record; false when the input is
  // exhausted. The record's reported position is where this search began, after the last
  // comment line, as a streaming reader would have it.
  bool next_record() noexcept {
    record_start_ = pos_;
    skip_byte_order_mark();
    for (;;) {
      while (pos_ < size() && is_line_end(begin_[pos_])) ++pos_;
      if (!comment_ || pos_ == size() || begin_[pos_] != *comment_) break;
      skip_lines(1);
      record_start_ = pos_;
    }
    content_start_ = pos_;
    return pos_ < size();
  }

  // The byte among , ; tab and | that occurs most often outside quotes in the record at the
  // current position, the first of them on a tie, a comma when none occurs. Never fails.
  [[nodiscard]] char most_used_delimiter() const noexcept {
    constexpr std::array<char, 4> candidates = {',', ';', '\t', '|'};
    std::array<std::size_t, 4> counts{};
    bool quoted = false;
    for (const char* p = begin_ + pos_; p != end_; ++p) {
      if (*p == '"') quoted = !quoted;
      if (quoted) continue;
      if (is_line_end(*p)) break;
      for (std::size_t i = 0; i < candidates.size(); ++i) counts[i] += *p == candidates[i];
    }
    const auto most = std::max_element(counts.begin(), counts.end());
    return *most == 0 ? ',' : candidates[static_cast<std::size_t>(most - counts.begin())];
  }

  void set_delimiter(char delimiter) noexcept { delimiter_ = delimiter; }

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
      if (field_end == end_ || *field_end != delimiter_) break;
      p = field_end + 1;
    }
    ran_to_end_ = field_end == end_;
    pos_ = ran_to_end_ ? size() : offset_of(field_end) + 1;
    window_ = window;
    return {fields_.data(), static_cast<std::size_t>(out - fields_.data())};
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
      return !find_invalid_utf8({begin_ + from, pos_ - from});
    }
    return true;
  }

  [[nodiscard]] std::string_view text(const Field& field) const noexcept {
    return {(field.in_scratch ? scratch_.data() : begin_) + field.offset, field.size};
  }
  [[nodiscard]] std::size_t record_start() const noexcept { return record_start_; }
  [[nodiscard]] std::size_t position() const noexcept { return pos_; }
  // Whether the last record ran to the end of the input rather than to a line break.
  [[nodiscard]] bool ran_to_end() const noexcept { return ran_to_end_; }
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

  // The byte-order mark counts in byte offsets but never in the first record's text.
  void skip_byte_order_mark() noexcept {
    if (pos_ == 0 && std::string_view(begin_, size()).starts_with(byte_order_mark)) {
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
  std::optional<char> comment_;
  char delimiter_ = ',';
  bool ran_to_end_ = false;
  std::vector<Field> fields_;  // room for the fields of a record; parse_record() says how many
  std::string scratch_;
};

// Counts the quote bytes of `text` after `start`, marking its non-ASCII blocks in `non_ascii`
// (when given) and noting a NUL byte in `has_nul`, a slice at a time so that the monitor hears
// of a large input as it goes.
core::Result<std::size_t> count_quotes(std::string_view text, std::size_t start,
                                       std::uint64_t* non_ascii, bool& has_nul,
                                       core::Checkpoints& checkpoints) {
  // A multiple of the 4096 bytes one mark word covers, so that each slice starts a word.
  constexpr std::size_t slice = 1024 * 4096;
  std::vector<std::uint64_t> unused(non_ascii == nullptr ? scan::marks_size(slice) : 0);
  std::size_t quotes = 0;
  for (std::size_t at = 0; at < text.size(); at += slice) {
    if (auto go_on = checkpoints.reached(at); !go_on) return std::unexpected(go_on.error());
    const std::size_t size = std::min(slice, text.size() - at);
    if (non_ascii == nullptr) std::fill(unused.begin(), unused.end(), 0);
    quotes += scan::count_marking_non_ascii(
        text.data() + at, text.data() + at + size, '"',
        non_ascii != nullptr ? non_ascii + at / 4096 : unused.data(), has_nul);
  }
  // Lines skipped before the header may hold what they like.
  return quotes - static_cast<std::size_t>(std::count(text.begin(), text.begin() + start, '"'));
}

// The quote bytes of `text` after `start` outside comment lines (lines that start with
// `comment` where no quoted field is open), which may say what they like.
std::size_t count_quotes_outside_comments(std::string_view text, std::size_t start, char comment) {
  std::size_t quotes = 0;
  std::size_t at = start;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    if (quotes % 2 != 0 || text[at] != comment) {
      quotes += static_cast<std::size_t>(std::count(text.begin() + at, text.begin() + end, '"'));
    }
    at = end + 1;
  }
  return quotes;
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

// One reading of a CSV input: the checks of the whole text, the header, then the records.
class CsvReader {
 public:
  CsvReader(std::string_view text, const core::Decoded* decoded, const ReadOptions& options,
            RowSink sink, core::Monitor* monitor)
      : text_(text),
        decoded_(decoded),
        options_(options),
        sink_(sink),
        monitor_(monitor),
        non_ascii_(decoded == nullptr ? scan::marks_size(text.size()) : 0),
        scanner_(text, decoded == nullptr ? non_ascii_.data() : nullptr, options.comment) {}

  Status run() {
    scanner_.skip_lines(options_.skip_lines);
    if (decoded_ != nullptr && decoded_->invalid_at()) return undecodable();
    if (auto balanced = check_quotes(); !balanced) return balanced;
    if (!scanner_.next_record()) return {};
    choose_delimiter();
    if (options_.has_header) {
      if (auto header = read_header(); !header) return header;
    }
    return hand_over_records();
  }

 private:
  // The balance check runs over every quote byte before any record is parsed, so a stray quote
  // fails the whole input rather than swallowing the records after it. The same pass marks
  // where non-ASCII bytes are, so that the UTF-8 check of a record needs no pass of its own (it
  // was a second trip through the whole input from memory), and tells whether the input holds
  // a NUL byte anywhere: when it does not, no row needs the writer's own search for one.
  Status check_quotes() {
    const std::size_t start = scanner_.position();
    core::Checkpoints counting(monitor_, core::Stage::Checking);
    auto quotes = count_quotes(text_, start, decoded_ == nullptr ? non_ascii_.data() : nullptr,
                               has_nul_, counting);
    if (!quotes) return std::unexpected(quotes.error());
    if (options_.comment) *quotes = count_quotes_outside_comments(text_, start, *options_.comment);
    if (*quotes % 2 != 0) {
      return std::unexpected(core::invalid("Malformed CSV: unbalanced quotes detected"));
    }
    return {};
  }

  // The delimiter the header line uses most, when the user asked for that.
  void choose_delimiter() {
    delimiter_ =
        options_.delimiter.is_automatic ? scanner_.most_used_delimiter() : options_.delimiter.byte;
    scanner_.set_delimiter(delimiter_);
  }

  // The header's names, checked for UTF-8 and for repeats.
  Status read_header() {
    for (const Scanner::Field& field : scanner_.parse_record()) {
      names_.emplace_back(scanner_.text(field));
    }
    if (auto valid = check_utf8(0, names_.size(),
                                [&](std::size_t i) -> std::string_view { return names_[i]; });
        !valid) {
      return valid;
    }
    if (auto unique = check_unique_names(names_); !unique) return unique;
    hint_delimiter();
    return {};
  }

  // A header of one column whose name holds a likely delimiter usually means the file is not
  // separated by what the reader was told.
  void hint_delimiter() {
    if (monitor_ == nullptr || options_.delimiter_is_chosen || names_.size() != 1) return;
    const std::string& name = names_.front();
    char likely = '\0';
    std::size_t most = 0;
    for (const char c : {';', '\t', '|'}) {
      const auto count = static_cast<std::size_t>(std::count(name.begin(), name.end(), c));
      if (count > most) {
        most = count;
        likely = c;
      }
    }
    if (likely == '\0') return;
    const std::string quoted = {'\'', likely, '\''};
    const std::string shown = likely == '\t' ? std::string("a tab") : quoted;
    std::string sentence = "the CSV header is one column, '";
    sentence.append(name).append("', holding ").append(shown).append(": if ").append(shown);
    sentence.append(" separates the fields, use ");
    if (likely == '\t') {
      sentence.append("--tsv");
    } else {
      sentence.append("--delimiter ").append(quoted);
    }
    monitor_->warn(std::move(sentence));
  }

  // Hands the sink a row per data record. One row serves every record: a sink that does not
  // move it out leaves its memory and its entries here, and each record only replaces the
  // texts. The texts are views of the input, or of the scanner's scratch for fields that lost
  // quotes, both unchanged until the next record is parsed: copying each record into the row was
  // a tenth of a conversion.
  Status hand_over_records() {
    // Without a header the first record is data, and records count from 1 all the same.
    std::uint64_t record = options_.has_header ? 0 : 1;
    bool is_first = !options_.has_header;
    core::Checkpoints converting(monitor_);
    do {
      if (!is_first) {
        if (!scanner_.next_record()) break;
        ++record;
      }
      if (auto go_on = converting.reached(scanner_.record_start()); !go_on) return go_on;
      const std::span<const Scanner::Field> fields = scanner_.parse_record();
      if (is_first) name_columns(fields.size());
      is_first = false;
      if (auto row = fill_row(record, fields); !row) {
        report_padding();
        return row;
      }
      if (auto accepted = sink_(std::move(row_)); !accepted) return accepted;
    } while (true);
    report_padding();
    return {};
  }

  // Columns named column_1, column_2, ... for an input without a header.
  void name_columns(std::size_t count) {
    for (std::size_t i = names_.size() + 1; i <= count; ++i) {
      names_.push_back("column_" + std::to_string(i));
    }
  }

  Status fill_row(std::uint64_t record, std::span<const Scanner::Field> fields) {
    // Without a header nothing says how many fields a record should have: with short records
    // allowed, each record has the columns of its own fields, as JSON records have their keys.
    const bool is_ragged = !options_.has_header && options_.allow_short_rows;
    if (is_ragged) name_columns(fields.size());
    const std::size_t columns = is_ragged ? fields.size() : names_.size();
    if (fields.size() > columns || (fields.size() < columns && !options_.allow_short_rows)) {
      return std::unexpected(field_count_error(record, fields.size(), columns));
    }
    if (auto valid = check_utf8(record, fields.size(),
                                [&](std::size_t i) { return scanner_.text(fields[i]); });
        !valid) {
      return valid;
    }
    if (row_.size() != columns) {
      std::size_t name_bytes = 0;
      for (std::size_t i = 0; i < columns; ++i) name_bytes += names_[i].size();
      row_.clear();
      row_.reserve(columns, name_bytes, 0);
      for (std::size_t i = 0; i < columns; ++i) row_.append(names_[i], {}, DataType::Null);
    } else {
      row_.clear_texts();
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const std::string_view text = scanner_.text(fields[i]);
      row_.set_text_view(i, text, options_.null_words.type_of(text));
    }
    if (fields.size() < columns) {
      ++padded_;
      for (std::size_t i = fields.size(); i < columns; ++i) {
        row_.set_text_view(i, std::string_view(""), DataType::Null);
      }
    }
    if (!has_nul_) row_.note_nul_free();
    return {};
  }

  void report_padding() {
    if (padded_ == 0 || monitor_ == nullptr) return;
    monitor_->warn(padded_ == 1 ? std::string("1 record had fewer fields than the header; its "
                                              "missing fields are NULL")
                                : std::to_string(padded_) +
                                      " records had fewer fields than the header; their missing "
                                      "fields are NULL");
  }

  // The byte of the input at `offset` of the text.
  [[nodiscard]] std::size_t input_byte(std::size_t offset) const {
    return decoded_ != nullptr ? decoded_->input_offset(offset) : offset;
  }

  Error field_count_error(std::uint64_t record, std::size_t found, std::size_t expected) const {
    const std::size_t start = scanner_.record_start();
    return core::invalid("CSV error: record " + std::to_string(record) +
                         " (line: " + std::to_string(scanner_.line_at(start)) +
                         ", byte: " + std::to_string(input_byte(start)) + "): found record with " +
                         std::to_string(found) + " fields, but the previous record has " +
                         std::to_string(expected) + " fields");
  }

  // Checks every field of the last record, whose texts `text_of(i)` gives; the error names the
  // first field that is not UTF-8.
  template <class TextOf>
  Status check_utf8(std::uint64_t record, std::size_t fields, TextOf text_of) const {
    // Fields are pieces of the record cut at ASCII bytes (delimiters, quotes), so a record that
    // is UTF-8 as a whole has only UTF-8 fields; one test of it saves a call per field. The
    // converse fails (a quote removed between two halves of a character), so a record that is
    // not UTF-8 is judged field by field.
    if (scanner_.record_is_utf8()) return {};
    for (std::size_t i = 0; i < fields; ++i) {
      const auto bad = find_invalid_utf8(text_of(i));
      if (!bad) continue;
      const std::size_t start = scanner_.record_start();
      const std::string index = std::to_string(i);
      return std::unexpected(core::invalid(
          "CSV parse error: record " + std::to_string(record) + " (line " +
          std::to_string(scanner_.line_at(start)) + ", field: " + index +
          ", byte: " + std::to_string(start) + "): invalid utf-8: invalid UTF-8 in field " + index +
          " near byte index " + std::to_string(bad->valid_up_to)));
    }
    return {};
  }

  // An input with a byte the encoding does not allow fails whole, before any record, naming
  // the record that holds the byte: the records before it are read through to count them. The
  // decoded text ends where the byte is, so it is in the last record, or in the next one when
  // the last ended at a line break.
  Status undecodable() {
    std::uint64_t record = options_.has_header ? 0 : 1;
    std::size_t start = scanner_.position();
    bool is_first = true;
    bool in_last = false;
    while (scanner_.next_record()) {
      if (!is_first) ++record;
      is_first = false;
      start = scanner_.record_start();
      (void)scanner_.parse_record();
      in_last = scanner_.ran_to_end();
    }
    if (!is_first && !in_last) {
      ++record;
      start = scanner_.record_start();
    }
    return std::unexpected(core::invalid("CSV error: record " + std::to_string(record) +
                                         " (line: " + std::to_string(scanner_.line_at(start)) +
                                         ", byte: " + std::to_string(input_byte(start)) +
                                         "): " + decoded_->describe_invalid()));
  }

  std::string_view text_;
  const core::Decoded* decoded_;
  const ReadOptions& options_;
  RowSink sink_;
  core::Monitor* monitor_;
  std::vector<std::uint64_t> non_ascii_;
  Scanner scanner_;
  char delimiter_ = ',';
  bool has_nul_ = false;
  std::vector<std::string> names_;
  Row row_;
  std::uint64_t padded_ = 0;
};

}  // namespace

Status stream_csv(ByteSource& reader, RowSink sink, const ReadOptions& options,
                  core::Monitor* monitor) {
  ByteBuffer owned;
  const auto input = hold_input(reader, owned);
  if (!input) return std::unexpected(std::move(input.error()));
  if (!options.encoding) return CsvReader(*input, nullptr, options, sink, monitor).run();
  auto decoded = core::decode(*input, *options.encoding);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  return CsvReader(decoded->text(), &*decoded, options, sink, monitor).run();
}

}  // namespace morvel::readers
