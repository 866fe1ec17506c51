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
using core::Result;
using core::Row;
using core::RowSink;
using core::Status;
namespace scan = core::scan;

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

bool is_line_end(char c) noexcept { return c == '\n' || c == '\r'; }

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
  // scanner's life. Lines that start with `comment` at a record's start are skipped. A text that
  // `starts_input` may begin with a byte-order mark.
  Scanner(std::string_view text, const std::uint64_t* non_ascii, std::optional<char> comment,
          bool starts_input, ScanRoom& room)
      : fields_(room.fields),
        scratch_(room.scratch),
        begin_(text.data()),
        end_(text.data() + text.size()),
        window_{end_, 0},
        non_ascii_(non_ascii),
        comment_(comment),
        starts_input_(starts_input) {}

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
      if (*p == '"') quoted = !quoted;
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
  bool ran_to_end_ = false;
};

// Bytes of text per parity mark of the first reading, at most: a piece's guessed start is looked
// for from one of these marks on, a few to a piece.
constexpr std::uint64_t most_mark_bytes = 64 * 1024;

// The first reading of a CSV input: the lines to skip, then the quote bytes of the rest, counted
// outside comment lines, whose number must be even. It also marks, every `mark_bytes` bytes,
// whether the quotes before are odd, so that a piece's start can be guessed outside quotes.
class QuoteCheck final : public PieceReader::CheckPart {
 public:
  // The check of the input from `offset` on, where the lines to skip are done with unless
  // `offset` is 0.
  QuoteCheck(const ReadOptions& options, std::uint64_t mark_bytes, std::uint64_t offset = 0)
      : lines_to_skip_(offset == 0 ? options.skip_lines : 0),
        comment_(options.comment),
        mark_bytes_(mark_bytes),
        seen_(offset),
        first_mark_(offset / mark_bytes + 1) {}

  [[nodiscard]] std::uint64_t mark_bytes() const noexcept { return mark_bytes_; }

  void feed(std::string_view block) override {
    const char* p = block.data();
    const char* const end = p + block.size();
    // A CR that ended the last block and a skipped line owns the LF that follows it.
    if (after_cr_ && p != end) {
      after_cr_ = false;
      if (*p == '\n') ++p;
    }
    while (lines_to_skip_ > 0 && p != end) {
      p = scan::find_any<'\n', '\r'>(p, end);
      if (p == end) break;
      --lines_to_skip_;
      if (*p++ == '\r') {
        if (p == end) {
          after_cr_ = true;
        } else if (*p == '\n') {
          ++p;
        }
      }
    }
    // Lines skipped before the header may hold what they like, so counting starts after them.
    std::uint64_t at = seen_ + static_cast<std::uint64_t>(p - block.data());
    while (p != end) {
      const std::uint64_t next_mark = (at / mark_bytes_ + 1) * mark_bytes_;
      const char* stop =
          end - p > static_cast<std::ptrdiff_t>(next_mark - at) ? p + (next_mark - at) : end;
      quotes_ += comment_ ? count_outside_comments(p, stop) : count_quotes(p, stop);
      at += static_cast<std::uint64_t>(stop - p);
      p = stop;
      if (at == next_mark) mark_parity(at / mark_bytes_);
    }
    seen_ += block.size();
  }

  // Takes `later`, the check of the input that follows what this one was fed, as if this one had
  // been fed it too. Never fails but for memory.
  void take(const QuoteCheck& later) {
    const bool is_odd = quotes_ % 2 != 0;
    for (std::uint64_t mark = later.first_mark_; mark <= later.marks_; ++mark) {
      const bool is_later_odd = (later.parity_[mark / 64] >> (mark % 64) & 1) != 0;
      if (parity_.size() <= mark / 64) parity_.resize(mark / 64 + 1, 0);
      if (is_odd != is_later_odd) parity_[mark / 64] |= std::uint64_t{1} << (mark % 64);
    }
    quotes_ += later.quotes_;
    seen_ = later.seen_;
    marks_ = std::max(marks_, later.marks_);
  }

  [[nodiscard]] Status outcome() const {
    if (quotes_ % 2 == 0) return {};
    return std::unexpected(core::invalid("Malformed CSV: unbalanced quotes detected"));
  }

  // Whether the quotes before the text's byte `offset`, a multiple of mark_bytes(), are odd;
  // nothing when the first reading did not get there. Never fails.
  [[nodiscard]] std::optional<bool> is_odd_before(std::uint64_t offset) const noexcept {
    const std::uint64_t mark = offset / mark_bytes_;
    if (mark == 0) return false;
    if (mark > marks_) return std::nullopt;
    return (parity_[mark / 64] >> (mark % 64) & 1) != 0;
  }

 private:
  static std::uint64_t count_quotes(const char* p, const char* end) {
    std::array<std::uint64_t, scan::marks_size(most_mark_bytes)> unused{};
    bool has_nul = false;
    return scan::count_marking_non_ascii(p, end, '"', unused.data(), has_nul);
  }

  // A line that starts with the comment character where no quoted field is open is a comment,
  // whose quotes do not count; line ends are CR and LF alike, as the scanner has them.
  std::uint64_t count_outside_comments(const char* p, const char* end) noexcept {
    std::uint64_t quotes = 0;
    for (; p != end; ++p) {
      if (is_line_end(*p)) {
        at_line_start_ = true;
        in_comment_ = false;
        continue;
      }
      if (at_line_start_) {
        in_comment_ = (quotes_ + quotes) % 2 == 0 && *p == *comment_;
        at_line_start_ = false;
      }
      quotes += *p == '"' && !in_comment_;
    }
    return quotes;
  }

  void mark_parity(std::uint64_t mark) {
    if (parity_.size() <= mark / 64) parity_.resize(mark / 64 + 1, 0);
    if (quotes_ % 2 != 0) parity_[mark / 64] |= std::uint64_t{1} << (mark % 64);
    marks_ = mark;
  }

  std::uint64_t lines_to_skip_;
  std::optional<char> comment_;
  std::uint64_t mark_bytes_;
  bool after_cr_ = false;
  bool at_line_start_ = true;
  bool in_comment_ = false;
  std::uint64_t seen_;
  std::uint64_t first_mark_;  // the first mark this check may reach
  std::uint64_t quotes_ = 0;
  std::vector<std::uint64_t> parity_;  // bit per mark: odd quotes before it
  std::uint64_t marks_ = 0;            // the last mark reached
};

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

// "CSV error: record R (line: L, byte: B): " and `what`.
Error record_error(std::uint64_t record, std::uint64_t line, std::uint64_t byte,
                   const std::string& what) {
  return core::invalid("CSV error: record " + std::to_string(record) + " (line: " +
                       std::to_string(line) + ", byte: " + std::to_string(byte) + "): " + what);
}

// The message for field `field` of record `record`, which starts at the text's byte `start`
// on `line`, whose text `bad` is not UTF-8.
Error utf8_error(std::uint64_t record, std::uint64_t line, std::uint64_t start, std::size_t field,
                 const core::Utf8Error& bad) {
  const std::string index = std::to_string(field);
  return core::invalid("CSV parse error: record " + std::to_string(record) + " (line " +
                       std::to_string(line) + ", field: " + index + ", byte: " +
                       std::to_string(start) + "): invalid utf-8: invalid UTF-8 in field " + index +
                       " near byte index " + std::to_string(bad.valid_up_to));
}

// A CSV input read in pieces: the first reading checks the quotes, the head takes the lines to
// skip, the delimiter and the header, and each piece is then read on its own.
class CsvReader final : public PieceReader {
 public:
  CsvReader(const ReadOptions& options, core::Monitor* monitor, Whereabouts& whereabouts,
            bool is_decoded, std::size_t piece_bytes)
      : options_(options),
        monitor_(monitor),
        whereabouts_(&whereabouts),
        is_decoded_(is_decoded),
        check_(std::in_place, options,
               std::clamp<std::uint64_t>(piece_bytes / 8, 1, most_mark_bytes)) {}

  [[nodiscard]] bool needs_check() const noexcept override { return true; }
  void check(std::string_view block) override { check_->feed(block); }
  [[nodiscard]] Status checked() override { return check_->outcome(); }
  // Comment lines and lines to skip are only known from the start.
  [[nodiscard]] std::unique_ptr<CheckPart> check_part(std::uint64_t offset) const override {
    if (options_.comment || options_.skip_lines > 0) return nullptr;
    return std::make_unique<QuoteCheck>(options_, check_->mark_bytes(), offset);
  }
  void take_part(CheckPart& part) override { check_->take(static_cast<QuoteCheck&>(part)); }

  [[nodiscard]] bool has_head() const noexcept override { return true; }
  Result<std::optional<std::size_t>> read_head(std::string_view text, bool is_whole) override;
  Status read(std::string_view piece, const Place& place, bool is_last, RowSink sink,
              std::uint64_t most_rows, PieceEnd& end) override;

  [[nodiscard]] std::size_t find_cut(std::string_view buffer, std::uint64_t offset) const override;
  [[nodiscard]] bool continues(std::string_view between) const override {
    return std::all_of(between.begin(), between.end(), is_line_end);
  }

  void finish(const PieceEnd& total) override { report_padding(total.padded); }

  [[nodiscard]] RecordPlace where(const Place& place) override {
    return {place.record + 1, whereabouts_->line_at(place.offset),
            whereabouts_->input_offset(place.offset)};
  }

  [[nodiscard]] std::unique_ptr<PieceReader> clone(Whereabouts& whereabouts) const override {
    auto copy = std::make_unique<CsvReader>(options_, nullptr, whereabouts, is_decoded_, 1);
    copy->check_.reset();
    copy->delimiter_ = delimiter_;
    copy->names_ = names_;
    copy->names_have_nul_ = names_have_nul_;
    return copy;
  }

 private:
  Result<std::size_t> read_header(Scanner& scanner);
  void hint_delimiter();
  void name_columns(std::size_t count);
  Status fill_row(const Scanner& scanner, const Place& place, std::uint64_t record,
                  std::span<const Scanner::Field> fields, std::uint64_t& padded);
  void report_padding(std::uint64_t padded) const;

  const ReadOptions& options_;
  core::Monitor* monitor_;
  Whereabouts* whereabouts_;
  bool is_decoded_;                  // the text was decoded into UTF-8, so it is
  std::optional<QuoteCheck> check_;  // the reader of the first reading only
  char delimiter_ = ',';
  std::vector<std::string> names_;
  bool names_have_nul_ = false;
  Row row_;
  ScanRoom room_;
  std::vector<std::uint64_t> non_ascii_;  // the marks of the piece being read
};

Result<std::optional<std::size_t>> CsvReader::read_head(std::string_view text, bool is_whole) {
  Scanner scanner(text, nullptr, options_.comment, true, room_);
  if (!scanner.skip_lines(options_.skip_lines, is_whole)) return std::nullopt;
  const std::size_t start = scanner.position();
  // The head is read again from the start when more text comes, so a cut is never final here.
  if (scanner.next_record(is_whole) != Scanner::Next::Record) {
    if (!is_whole) return std::nullopt;
    return text.size();
  }
  bool is_complete = true;
  delimiter_ = options_.delimiter.is_automatic ? scanner.most_used_delimiter(is_complete)
                                               : options_.delimiter.byte;
  if (!is_complete && !is_whole) return std::nullopt;
  scanner.set_delimiter(delimiter_);
  if (options_.has_header) {
    const std::span<const Scanner::Field> fields = scanner.parse_record();
    if (scanner.ran_to_end() && !is_whole) return std::nullopt;
    std::vector<std::string> names;
    for (const Scanner::Field& field : fields) names.emplace_back(scanner.text(field));
    names_ = std::move(names);
    return read_header(scanner);
  }
  // Without a header the first record says how many columns there are, and is read again as
  // the first row.
  const std::size_t fields = scanner.parse_record().size();
  if (scanner.ran_to_end() && !is_whole) return std::nullopt;
  name_columns(fields);
  return std::optional<std::size_t>(start);
}

// Checks the header's names for UTF-8 and for repeats, and returns where the records begin.
Result<std::size_t> CsvReader::read_header(Scanner& scanner) {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    names_have_nul_ = names_have_nul_ || names_[i].find('\0') != std::string::npos;
    if (const auto bad = find_invalid_utf8(names_[i])) {
      const std::size_t start = scanner.record_start();
      return std::unexpected(utf8_error(0, whereabouts_->line_at(start), start, i, *bad));
    }
  }
  if (auto unique = check_unique_names(names_); !unique) {
    return std::unexpected(std::move(unique.error()));
  }
  hint_delimiter();
  return scanner.position();
}

// A header of one column whose name holds a likely delimiter usually means the file is not
// separated by what the reader was told.
void CsvReader::hint_delimiter() {
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

// Hands the sink a row per data record. One row serves every record of the piece: a sink that
// does not move it out leaves its memory and its entries here, and each record only replaces the
// texts. The texts are views of the piece, or of the scanner's scratch for fields that lost
// quotes, both unchanged until the next record is parsed: copying each record into the row was
// a tenth of a conversion.
Status CsvReader::read(std::string_view piece, const Place& place, bool is_last, RowSink sink,
                       std::uint64_t most_rows, PieceEnd& end) {
  end = PieceEnd{};
  // One pass marks where the non-ASCII bytes are, so that the UTF-8 check of a record needs no
  // pass of its own, and tells whether the piece holds a NUL byte anywhere: when neither it nor
  // a name does, no row needs the writer's own search for one.
  bool has_nul = names_have_nul_;
  non_ascii_.assign(scan::marks_size(piece.size()), 0);
  (void)scan::count_marking_non_ascii(piece.data(), piece.data() + piece.size(), '"',
                                      non_ascii_.data(), has_nul);
  Scanner scanner(piece, is_decoded_ ? nullptr : non_ascii_.data(), options_.comment,
                  place.offset == 0, room_);
  scanner.set_delimiter(delimiter_);
  // The rows of another piece may have come between, so the first row's names are new.
  row_.clear();
  for (;;) {
    if (end.rows == most_rows) {
      end.read_through = scanner.position();
      return {};
    }
    const Scanner::Next next = scanner.next_record(is_last);
    if (next != Scanner::Next::Record) {
      end.read_through =
          next == Scanner::Next::End && is_last ? piece.size() : scanner.record_start();
      return {};
    }
    const std::span<const Scanner::Field> fields = scanner.parse_record();
    if (scanner.ran_to_end() && !is_last) {
      end.read_through = scanner.record_start();
      return {};
    }
    const std::uint64_t record = place.record + end.records + 1;
    if (auto row = fill_row(scanner, place, record, fields, end.padded); !row) {
      report_padding(place.padded + end.padded);
      return row;
    }
    if (!has_nul) row_.note_nul_free();
    if (auto accepted = sink(std::move(row_)); !accepted) {
      end.read_through = scanner.record_start();
      return accepted;
    }
    ++end.records;
    ++end.rows;
  }
}

// Columns named column_1, column_2, ... for an input without a header.
void CsvReader::name_columns(std::size_t count) {
  for (std::size_t i = names_.size() + 1; i <= count; ++i) {
    names_.push_back("column_" + std::to_string(i));
  }
}

Status CsvReader::fill_row(const Scanner& scanner, const Place& place, std::uint64_t record,
                           std::span<const Scanner::Field> fields, std::uint64_t& padded) {
  // Without a header nothing says how many fields a record should have: with short records
  // allowed, each record has the columns of its own fields, as JSON records have their keys.
  const bool is_ragged = !options_.has_header && options_.allow_short_rows;
  if (is_ragged) name_columns(fields.size());
  const std::size_t columns = is_ragged ? fields.size() : names_.size();
  const std::uint64_t start = place.offset + scanner.record_start();
  if (fields.size() > columns || (fields.size() < columns && !options_.allow_short_rows)) {
    return std::unexpected(record_error(
        record, whereabouts_->line_at(start), whereabouts_->input_offset(start),
        "found record with " + std::to_string(fields.size()) +
            " fields, but the previous record has " + std::to_string(columns) + " fields"));
  }
  // Fields are pieces of the record cut at ASCII bytes (delimiters, quotes), so a record that
  // is UTF-8 as a whole has only UTF-8 fields; one test of it saves a call per field. The
  // converse fails (a quote removed between two halves of a character), so a record that is
  // not UTF-8 is judged field by field.
  if (!scanner.record_is_utf8()) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (const auto bad = find_invalid_utf8(scanner.text(fields[i]))) {
        return std::unexpected(utf8_error(record, whereabouts_->line_at(start), start, i, *bad));
      }
    }
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
    const std::string_view text = scanner.text(fields[i]);
    row_.set_text_view(i, text, options_.null_words.type_of(text));
  }
  if (fields.size() < columns) {
    ++padded;
    for (std::size_t i = fields.size(); i < columns; ++i) {
      row_.set_text_view(i, std::string_view(""), DataType::Null);
    }
  }
  return {};
}

void CsvReader::report_padding(std::uint64_t padded) const {
  if (padded == 0 || monitor_ == nullptr) return;
  monitor_->warn(padded == 1 ? std::string("1 record had fewer fields than the header; its "
                                           "missing fields are NULL")
                             : std::to_string(padded) +
                                   " records had fewer fields than the header; their missing "
                                   "fields are NULL");
}

// A line end outside quotes, by the parity the first reading marked, after one of its marks: the
// last such place in the buffer, so that the piece is as long as the buffer allows.
std::size_t CsvReader::find_cut(std::string_view buffer, std::uint64_t offset) const {
  const std::uint64_t end = offset + buffer.size();
  if (end == 0 || !check_) return 0;
  const std::uint64_t step = check_->mark_bytes();
  for (std::uint64_t mark = (end - 1) / step * step; mark > offset; mark -= step) {
    const std::optional<bool> is_odd = check_->is_odd_before(mark);
    if (!is_odd) continue;
    bool quoted = *is_odd;
    for (std::size_t i = static_cast<std::size_t>(mark - offset); i < buffer.size(); ++i) {
      const char c = buffer[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted &&
                 (c == '\n' || (c == '\r' && i + 1 < buffer.size() && buffer[i + 1] != '\n'))) {
        return i + 1;
      }
    }
  }
  return 0;
}

}  // namespace

std::unique_ptr<PieceReader> csv_reader(const ReadOptions& options, core::Monitor* monitor,
                                        Whereabouts& whereabouts, bool is_decoded,
                                        std::size_t piece_bytes) {
  return std::make_unique<CsvReader>(options, monitor, whereabouts, is_decoded, piece_bytes);
}

// An input with a byte the encoding does not allow fails whole, before any record, naming the
// record that holds the byte: the records before it are read through to count them. The decoded
// text ends where the byte is, so it is in the last record, or in the next one when the last
// ended at a line break. Records are cut at commas here, whatever the delimiter: the delimiter
// is not chosen yet.
Error csv_undecodable(std::string_view text, const core::Decoded& decoded,
                      const ReadOptions& options) {
  ScanRoom room;
  Scanner scanner(text, nullptr, options.comment, true, room);
  (void)scanner.skip_lines(options.skip_lines, true);
  std::uint64_t record = options.has_header ? 0 : 1;
  std::size_t start = scanner.position();
  bool is_first = true;
  bool in_last = false;
  while (scanner.next_record(true) == Scanner::Next::Record) {
    if (!is_first) ++record;
    is_first = false;
    start = scanner.record_start();
    (void)scanner.parse_record();
    in_last = scanner.ran_to_end();
  }
  if (!is_first && !in_last) {
    ++record;
    start = scanner.record_start();
  }
  const auto line =
      1 + static_cast<std::uint64_t>(std::count(text.begin(), text.begin() + start, '\n'));
  return record_error(record, line, decoded.input_offset(start), decoded.describe_invalid());
}

Status stream_csv(ByteSource& reader, RowSink sink, const ReadOptions& options,
                  core::Monitor* monitor) {
  return read_input(reader, Format::Csv, options, monitor, sink);
}

}  // namespace morvel::readers
