#include "readers/csv.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/encoding.hpp"
#include "core/scan.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "readers/csv_scanner.hpp"
#include "readers/header_names.hpp"

namespace morvel::readers {

namespace {

using core::DataType;
using core::Error;
using core::find_invalid_utf8;
using core::Result;
using core::Row;
using core::RowSink;
using core::Status;
using csv::is_line_end;
using csv::Scanner;
using csv::ScanRoom;
namespace scan = core::scan;

// "CSV error: record R (line: L, byte: B): " and `what`.
Error record_error(std::uint64_t record, std::uint64_t line, std::uint64_t byte,
                   const std::string& what) {
  return core::invalid("CSV error: record " + std::to_string(record) + " (line: " +
                       std::to_string(line) + ", byte: " + std::to_string(byte) + "): " + what);
}

// The message for field `field` of record `record`, which starts at the text's byte `start`
// on `line`, whose text `bytes` is not UTF-8 (`bad`), with the encoding they likely are in.
Error utf8_error(std::uint64_t record, std::uint64_t line, std::uint64_t start, std::size_t field,
                 std::string_view bytes, const core::Utf8Error& bad) {
  const std::string index = std::to_string(field);
  Error error = core::invalid("CSV parse error: record " + std::to_string(record) + " (line " +
                              std::to_string(line) + ", field: " + index + ", byte: " +
                              std::to_string(start) + "): invalid utf-8: invalid UTF-8 in field " +
                              index + " near byte index " + std::to_string(bad.valid_up_to));
  error.hint = core::encoding_advice(bytes);
  return error;
}

// The delimiter of an input whose first record is at the scanner's position: the one named, or
// the one the record uses most. `is_complete` tells whether the record's line ended in the text.
char first_delimiter(const Scanner& scanner, const ReadOptions& options, bool& is_complete) {
  is_complete = true;
  return options.delimiter.is_automatic ? scanner.most_used_delimiter(is_complete)
                                        : options.delimiter.byte;
}

// A CSV input read in pieces: the head takes the lines to skip, the delimiter and the header,
// and each piece is then read on its own.
class CsvReader final : public PieceReader {
 public:
  CsvReader(const ReadOptions& options, core::Monitor* monitor, Whereabouts& whereabouts,
            bool is_decoded, const csv::QuoteCheck* quotes) noexcept
      : options_(options),
        monitor_(monitor),
        whereabouts_(&whereabouts),
        is_decoded_(is_decoded),
        quotes_(quotes) {}

  Result<std::optional<std::size_t>> read_head(std::string_view text, bool is_whole) override;
  Status read(std::string_view piece, const Place& place, bool is_last, RowSink sink,
              std::uint64_t most_rows, PieceEnd& end) override;

  [[nodiscard]] std::size_t find_cut(std::string_view buffer, std::uint64_t offset) const override {
    return quotes_ != nullptr ? quotes_->find_cut(buffer, offset) : 0;
  }
  [[nodiscard]] bool continues(std::string_view between) const override {
    // Blank lines may hold spaces and tabs when those separate the fields.
    if (options_.delimiter.is_white_space) {
      return std::all_of(between.begin(), between.end(),
                         [](char c) { return is_line_end(c) || c == ' ' || c == '\t'; });
    }
    return std::all_of(between.begin(), between.end(), is_line_end);
  }

  [[nodiscard]] RecordPlace where(const Place& place) override {
    return {place.record + 1, whereabouts_->line_at(place.offset),
            whereabouts_->input_offset(place.offset)};
  }

  [[nodiscard]] std::unique_ptr<PieceReader> clone(Whereabouts& whereabouts) const override {
    auto copy = std::make_unique<CsvReader>(options_, nullptr, whereabouts, is_decoded_, nullptr);
    copy->delimiter_ = delimiter_;
    copy->names_ = names_;
    copy->names_have_nul_ = names_have_nul_;
    copy->header_fields_ = header_fields_;
    return copy;
  }

 private:
  Result<std::size_t> read_header(Scanner& scanner, bool header_is_short);
  [[nodiscard]] std::optional<bool> header_is_short(std::string_view rest, bool is_whole) const;
  void hint_delimiter();
  void hint_json_lines();
  [[gnu::cold]] Error field_count_error(std::uint64_t record, std::size_t fields,
                                        std::size_t columns, std::uint64_t start, bool may_hint,
                                        std::string_view rest) const;
  [[nodiscard]] std::optional<core::Notice> field_count_hint(std::uint64_t record,
                                                             std::size_t fields, std::uint64_t line,
                                                             std::string_view rest) const;
  void name_columns(std::size_t count);
  void share_columns();
  Status fill_row(const Scanner& scanner, std::string_view piece, const Place& place,
                  std::uint64_t record, std::span<const Scanner::Field> fields,
                  std::uint64_t& padded);

  const ReadOptions& options_;
  core::Monitor* monitor_;
  Whereabouts* whereabouts_;
  bool is_decoded_;                // the text was decoded into UTF-8, so it is
  const csv::QuoteCheck* quotes_;  // where pieces may begin; only for the reading's own reader
  char delimiter_ = ',';
  std::vector<std::string> names_;
  bool names_have_nul_ = false;
  std::size_t header_fields_ = 0;  // as the header line has them, before any row_names
  Row row_;
  ScanRoom room_;
  std::vector<std::uint64_t> non_ascii_;  // the marks of the piece being read
};

Result<std::optional<std::size_t>> CsvReader::read_head(std::string_view text, bool is_whole) {
  Scanner scanner(text, nullptr, options_, true, room_);
  if (!scanner.skip_lines(options_.skip_lines, is_whole)) return std::nullopt;
  const std::size_t start = scanner.position();
  // The head is read again from the start when more text comes, so a cut is never final here.
  if (scanner.next_record(is_whole) != Scanner::Next::Record) {
    if (!is_whole) return std::nullopt;
    return text.size();
  }
  bool is_complete = true;
  delimiter_ = first_delimiter(scanner, options_, is_complete);
  if (!is_complete && !is_whole) return std::nullopt;
  scanner.set_delimiter(delimiter_);
  if (options_.has_header) {
    const std::span<const Scanner::Field> fields = scanner.parse_record();
    if (scanner.ran_to_end() && !is_whole) return std::nullopt;
    std::vector<std::string> names;
    for (const Scanner::Field& field : fields) names.emplace_back(scanner.text(field));
    names_ = std::move(names);
    const std::optional<bool> is_short = header_is_short(text.substr(scanner.position()), is_whole);
    if (!is_short) return std::nullopt;
    return read_header(scanner, *is_short);
  }
  // Without a header the first record says how many columns there are, and is read again as
  // the first row.
  const std::size_t fields = scanner.parse_record().size();
  if (scanner.ran_to_end() && !is_whole) return std::nullopt;
  name_columns(fields);
  share_columns();
  return std::optional<std::size_t>(start);
}

// Whether the first record, at the start of `rest`, has one field more than the header, as R's
// write.table leaves the row names' column unnamed; nullopt when more text must come to tell.
// Asked only when row names are read and the header's first name is empty: that name is then the
// row names' own (write.csv, pandas) unless the records are wider still (a header with an
// unnamed column of its own, after the row names).
std::optional<bool> CsvReader::header_is_short(std::string_view rest, bool is_whole) const {
  if (!options_.row_names || names_.empty() || !names_.front().empty()) return false;
  ScanRoom room;
  Scanner next(rest, nullptr, options_, false, room);
  next.set_delimiter(delimiter_);
  const Scanner::Next found = next.next_record(is_whole);
  if (found == Scanner::Next::More) return std::nullopt;
  if (found == Scanner::Next::End) return false;
  const std::size_t fields = next.parse_record().size();
  if (next.ran_to_end() && !is_whole) return std::nullopt;
  return fields == names_.size() + 1;
}

// Checks the header's names for UTF-8 and for repeats, and returns where the records begin.
Result<std::size_t> CsvReader::read_header(Scanner& scanner, bool header_is_short) {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    names_have_nul_ = names_have_nul_ || names_[i].find('\0') != std::string::npos;
    if (const auto bad = find_invalid_utf8(names_[i])) {
      const std::size_t start = scanner.record_start();
      return std::unexpected(
          utf8_error(0, whereabouts_->line_at(start), start, i, names_[i], *bad));
    }
  }
  header_fields_ = names_.size();
  hint_json_lines();
  if (auto settled = settle_header_names(names_, options_, header_is_short, monitor_); !settled) {
    return std::unexpected(std::move(settled.error()));
  }
  hint_delimiter();
  if (options_.shared_header != nullptr) {
    if (options_.shared_header->empty()) {
      *options_.shared_header = names_;
    } else if (*options_.shared_header != names_) {
      return std::unexpected(core::invalid("the CSV header differs from the first input's header"));
    }
  }
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
  const core::OptionRef option = likely == '\t'  ? core::OptionRef{"tsv"}
                                 : likely == ';' ? core::OptionRef{"delimiter", ";"}
                                                 : core::OptionRef{"delimiter", "|"};
  monitor_->warn(core::advice(std::move(sentence), option, ""));
}

// JSON Lines read as CSV split each object at its commas into a header that begins with a
// brace, and often convert without an error into nonsense.
void CsvReader::hint_json_lines() {
  if (monitor_ == nullptr || names_.empty() || !names_.front().starts_with('{')) return;
  monitor_->warn(core::advice(
      "the CSV header begins with '{', as JSON Lines do: if the input is JSON Lines, use ",
      {"format", "json"}, ""));
}

// What likely made record `record`, of `fields` fields from `line` on, longer than the header: a
// title of one-field lines above the header, which skipping the lines before this record would
// leave out, or a first record that begins with R's unnamed row names. Either is only likely when
// the next record, at the start of `rest`, has as many fields (or there is none): a lone record
// with a stray delimiter is neither.
std::optional<core::Notice> CsvReader::field_count_hint(std::uint64_t record, std::size_t fields,
                                                        std::uint64_t line,
                                                        std::string_view rest) const {
  if (!options_.has_header || fields <= names_.size()) return std::nullopt;
  ScanRoom room;
  Scanner next(rest, nullptr, options_, false, room);
  next.set_delimiter(delimiter_);
  if (next.next_record(true) == Scanner::Next::Record) {
    const std::size_t next_fields = next.parse_record().size();
    // A record that the piece cuts short says nothing of how many fields it has: as with no
    // record at all, the hint must not depend on where the input was cut.
    const bool is_whole = next.position() < rest.size() || is_line_end(rest.back());
    if (is_whole && next_fields != fields) return std::nullopt;
  }
  if (header_fields_ == 1 && names_.size() == 1) {
    core::Notice hint = core::advice("one-field lines above the header look like a title: use ",
                                     {"skip_lines"}, " to skip them");
    hint.value = std::to_string(line - 1);
    return hint;
  }
  if (record == 1 && fields == names_.size() + 1 && !options_.row_names) {
    return core::advice(
        "the first record has one field more than the header, as R writes row names: use ",
        {"row_names"}, " to read them into a column row_names");
  }
  return std::nullopt;
}

// The error for record `record`, which starts at byte `start` of the text and has `fields`
// fields where `columns` are wanted, with a hint when `may_hint` from `rest`, the text after it.
// Kept out of fill_row, which it made too large to inline into the loop over records: 6%
// more instructions for that loop, measured.
Error CsvReader::field_count_error(std::uint64_t record, std::size_t fields, std::size_t columns,
                                   std::uint64_t start, bool may_hint,
                                   std::string_view rest) const {
  const std::uint64_t line = whereabouts_->line_at(start);
  Error error = record_error(record, line, whereabouts_->input_offset(start),
                             "found record with " + std::to_string(fields) +
                                 " fields, but the previous record has " + std::to_string(columns) +
                                 " fields");
  if (may_hint) error.hint = field_count_hint(record, fields, line, rest);
  return error;
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
  (void)scan::count_marking_non_ascii(piece.data(), piece.data() + piece.size(), options_.quote,
                                      non_ascii_.data(), has_nul);
  Scanner scanner(piece, is_decoded_ ? nullptr : non_ascii_.data(), options_, place.offset == 0,
                  room_);
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
    if (auto row = fill_row(scanner, piece, place, record, fields, end.padded); !row) {
      report_padding(monitor_, place.padded + end.padded);
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

// Several inputs without a header are one input: every later input's records must have as many
// fields as the first input's first record, and are refused in the words of one input's. With
// short records allowed each record has its own columns, across inputs as within one.
void CsvReader::share_columns() {
  if (options_.shared_header == nullptr || options_.allow_short_rows) return;
  if (options_.shared_header->empty()) {
    *options_.shared_header = names_;
  } else {
    names_ = *options_.shared_header;
  }
}

Status CsvReader::fill_row(const Scanner& scanner, std::string_view piece, const Place& place,
                           std::uint64_t record, std::span<const Scanner::Field> fields,
                           std::uint64_t& padded) {
  // Without a header nothing says how many fields a record should have: with short records
  // allowed, each record has the columns of its own fields, as JSON records have their keys.
  const bool is_ragged = !options_.has_header && options_.allow_short_rows;
  if (is_ragged) name_columns(fields.size());
  const std::size_t columns = is_ragged ? fields.size() : names_.size();
  const std::uint64_t start = place.offset + scanner.record_start();
  if (fields.size() > columns || (fields.size() < columns && !options_.allow_short_rows)) {
    return std::unexpected(field_count_error(record, fields.size(), columns, start, !is_ragged,
                                             piece.substr(scanner.position())));
  }
  // Fields are pieces of the record cut at ASCII bytes (delimiters, quotes), so a record that
  // is UTF-8 as a whole has only UTF-8 fields; one test of it saves a call per field. The
  // converse fails (a quote removed between two halves of a character), so a record that is
  // not UTF-8 is judged field by field.
  if (!scanner.record_is_utf8()) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (const auto bad = find_invalid_utf8(scanner.text(fields[i]))) {
        return std::unexpected(utf8_error(record, whereabouts_->line_at(start), start, i,
                                          scanner.text(fields[i]), *bad));
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

}  // namespace

std::unique_ptr<PieceReader> csv_reader(const ReadOptions& options, core::Monitor* monitor,
                                        Whereabouts& whereabouts, bool is_decoded,
                                        const csv::QuoteCheck& quotes) {
  return std::make_unique<CsvReader>(options, monitor, whereabouts, is_decoded, &quotes);
}

void report_padding(core::Monitor* monitor, std::uint64_t padded) {
  if (padded == 0 || monitor == nullptr) return;
  monitor->warn(padded == 1 ? std::string("1 record had fewer fields than the header; its "
                                          "missing fields are NULL")
                            : std::to_string(padded) +
                                  " records had fewer fields than the header; their missing "
                                  "fields are NULL");
}

// An input with a byte the encoding does not allow fails whole, before any record, naming the
// record that holds the byte: the records before it are read through to count them. The decoded
// text ends where the byte is, so it is in the last record, or in the next one when the last
// ended at a line break. Records are cut as the reading would cut them: a quote opens a field
// only after the delimiter, so the delimiter is settled from the first record first.
Error csv_undecodable(std::string_view text, core::DecodingSource& decoded,
                      const ReadOptions& options) {
  ScanRoom room;
  Scanner scanner(text, nullptr, options, true, room);
  (void)scanner.skip_lines(options.skip_lines, true);
  std::uint64_t record = options.has_header ? 0 : 1;
  std::size_t start = scanner.position();
  bool is_first = true;
  bool in_last = false;
  while (scanner.next_record(true) == Scanner::Next::Record) {
    if (is_first) {
      bool is_complete = true;
      scanner.set_delimiter(first_delimiter(scanner, options, is_complete));
    }
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
  const std::uint64_t line = 1 + core::count_line_ends(text.substr(0, start));
  // The description first: finding the offset decodes the input again.
  std::string description = decoded.describe_invalid();
  return record_error(record, line, decoded.input_offset(start), std::move(description));
}

}  // namespace morvel::readers
