#include "readers/json.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "core/encoding.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "readers/json_path.hpp"
#include "readers/json_syntax.hpp"

namespace morvel::readers {

namespace {

using core::Error;
using core::find_invalid_utf8;
using core::Result;
using core::RowSink;
using core::Status;
using json::Origin;
using json::Parser;

// The message of a parse error in `line`, the text's line `number`, which starts at the text's
// byte `start`. The column counts bytes of the input as the user has it, also when it was decoded
// from another encoding.
std::string describe(const json::SyntaxError& error, std::string_view line, std::uint64_t start,
                     std::uint64_t number, Whereabouts* decoded) {
  if (decoded == nullptr) return json::describe(error, line, number);
  // A lone CR inside the record ends a line too, as it does in undecoded text.
  const std::string_view read = line.substr(0, error.offset);
  const std::uint64_t line_start = start + core::last_line_start(read);
  const std::uint64_t column =
      decoded->input_offset(start + error.offset) - decoded->input_offset(line_start);
  return std::string(error.description) + " at line " +
         std::to_string(number + core::count_line_ends(read)) + " column " +
         std::to_string(column);
}

// The error for line `number`, `line`, which is not UTF-8.
Error utf8_error(std::string_view line, std::uint64_t number) {
  Error error =
      core::invalid("stream did not contain valid UTF-8 at line " + std::to_string(number));
  error.hint = core::encoding_advice(line);
  return error;
}

std::string_view without_final_cr(std::string_view line) noexcept {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The line layout, a line per document, read in pieces cut at line feeds: invalid UTF-8 and
// parse errors end the reading, blank lines and values other than objects are skipped. Messages
// name a line by its number in the whole input, every line break counted.
class LinesReader final : public PieceReader {
 public:
  // `whereabouts`, when the text was decoded from another encoding, places error columns in the
  // input.
  LinesReader(const ReadOptions& options, Whereabouts& whereabouts, bool is_decoded) noexcept
      : options_(options),
        whereabouts_(&whereabouts),
        is_decoded_(is_decoded),
        parser_(Origin::Line, &options.null_words, options.keeps_number_texts) {}

  // Lines have nothing before the first.
  Result<std::optional<std::size_t>> read_head(std::string_view, bool) override {
    return std::optional<std::size_t>(0);
  }

  Status read(std::string_view piece, const Place& place, bool is_last, RowSink sink,
              std::uint64_t most_rows, PieceEnd& end) override;

  // After the last line feed: a line is a record.
  [[nodiscard]] std::size_t find_cut(std::string_view buffer, std::uint64_t) const override {
    const std::size_t last = buffer.rfind('\n');
    return last == std::string_view::npos ? 0 : last + 1;
  }
  [[nodiscard]] bool continues(std::string_view between) const override { return between.empty(); }

  Result<bool> may_end(std::string_view record, const Place& place, Looked& looked) override;

  [[nodiscard]] RecordPlace where(const Place& place) override {
    return {place.record + 1, place.line + 1,
            is_decoded_ ? whereabouts_->input_offset(place.offset) : place.offset};
  }

  [[nodiscard]] std::unique_ptr<PieceReader> clone(Whereabouts& whereabouts) const override {
    return std::make_unique<LinesReader>(options_, whereabouts, is_decoded_);
  }

 private:
  Status take(std::string_view line, std::uint64_t start, std::uint64_t number, bool is_utf8,
              RowSink sink, PieceEnd& end);

  const ReadOptions& options_;
  Whereabouts* whereabouts_;
  bool is_decoded_;
  Parser parser_;
};

Status LinesReader::read(std::string_view piece, const Place& place, bool is_last, RowSink sink,
                         std::uint64_t most_rows, PieceEnd& end) {
  end = PieceEnd{};
  parser_.forget_keys();
  // Lines are cut at ASCII bytes, so when the piece's complete lines are UTF-8 every one of
  // them is: one check of the whole spares a call per line. Otherwise each line is checked and
  // the first bad one fails.
  const std::size_t last_lf = piece.rfind('\n');
  const std::size_t complete = is_last                             ? piece.size()
                               : last_lf == std::string_view::npos ? 0
                                                                   : last_lf + 1;
  const bool is_utf8 = !find_invalid_utf8(piece.substr(0, complete));
  // A lone CR does not end a record, but it ends a line of the messages: lines that hold one
  // count it, which a piece without a CR, nearly every one, does not look for.
  const bool has_cr = piece.find('\r') != std::string_view::npos;
  std::size_t start = 0;
  while (start < piece.size() && end.rows < most_rows) {
    const void* hit = std::memchr(piece.data() + start, '\n', piece.size() - start);
    if (hit == nullptr && !is_last) break;
    const std::size_t lf =
        hit == nullptr ? piece.size()
                       : static_cast<std::size_t>(static_cast<const char*>(hit) - piece.data());
    // A last line without LF keeps a final CR, which JSON reads as white space.
    std::string_view line = piece.substr(start, lf - start);
    if (hit != nullptr) line = without_final_cr(line);
    const std::uint64_t number = place.line + end.lines + 1;
    if (auto taken = take(line, place.offset + start, number, is_utf8, sink, end); !taken) {
      end.read_through = start;
      return taken;
    }
    if (hit != nullptr) ++end.lines;
    if (has_cr) end.lines += static_cast<std::uint64_t>(std::count(line.begin(), line.end(), '\r'));
    start = hit == nullptr ? piece.size() : lf + 1;
  }
  end.read_through = start;
  return {};
}

// A line's JSON is judged before the line ends only from this size on: a byte that is not UTF-8
// later in the line would make its message another, so shorter lines wait for their end.
constexpr std::size_t judged_line_bytes = 1024 * 1024;

// A line that has not ended is judged as it comes: its bytes once for a line feed and for UTF-8,
// its JSON whenever it doubled, so that a line that cannot become valid is refused without holding
// it whole, and judging a long line costs a few readings of it, not one per arrival.
Result<bool> LinesReader::may_end(std::string_view record, const Place& place, Looked& looked) {
  const std::string_view fresh = record.substr(looked.bytes);
  if (std::memchr(fresh.data(), '\n', fresh.size()) != nullptr) return true;
  const std::uint64_t number = place.line + 1;
  // The line's last character may still be coming; what is judged ends before it.
  if (const auto bad = find_invalid_utf8(fresh)) {
    if (bad->error_length > 0) return std::unexpected(utf8_error(record, number));
    looked.bytes += bad->valid_up_to;
  } else {
    looked.bytes = record.size();
  }
  // A final CR may yet turn out to end the line, outside the JSON.
  const std::string_view start = without_final_cr(record.substr(0, looked.bytes));
  if (start.size() < std::max(2 * looked.parsed, judged_line_bytes)) return false;
  looked.parsed = start.size();
  const bool is_marked = place.offset == 0 && start.starts_with(core::utf8_byte_order_mark);
  // A line of white space only, Unicode's included, is skipped, so its JSON is not judged yet.
  if (core::trim_white_space(is_marked ? start.substr(core::utf8_byte_order_mark.size()) : start)
          .empty()) {
    return false;
  }
  parser_.reset(start);
  if (is_marked) parser_.skip_byte_order_mark();
  if (parser_.parse() != Parser::Parsed::Failed || parser_.error().reached_end) return false;
  return std::unexpected(core::invalid(describe(parser_.error(), start, place.offset, number,
                                                is_decoded_ ? whereabouts_ : nullptr)));
}

Status LinesReader::take(std::string_view line, std::uint64_t start, std::uint64_t number,
                         bool is_utf8, RowSink sink, PieceEnd& end) {
  if (!is_utf8 && find_invalid_utf8(line)) return std::unexpected(utf8_error(line, number));
  // A byte-order mark may open the input, and so its first line.
  const bool is_marked = start == 0 && line.starts_with(core::utf8_byte_order_mark);
  if (core::trim_white_space(is_marked ? line.substr(core::utf8_byte_order_mark.size()) : line)
          .empty()) {
    ++end.records;
    return {};
  }
  parser_.reset(line);
  if (is_marked) parser_.skip_byte_order_mark();
  switch (parser_.parse()) {
    case Parser::Parsed::Object:
      parser_.take_repeated_keys(end.repeated_keys, end.records);
      if (auto accepted = sink(std::move(parser_.row())); !accepted) return accepted;
      ++end.rows;
      ++end.records;
      return {};
    case Parser::Parsed::Other:
      ++end.records;
      return {};
    case Parser::Parsed::Failed:
      break;
  }
  return std::unexpected(core::invalid(
      describe(parser_.error(), line, start, number, is_decoded_ ? whereabouts_ : nullptr)));
}

// The message of a parse error in an array, `input`. The column counts bytes of the input as the
// user has it, also when it was decoded from another encoding.
std::string describe_in_array(const json::SyntaxError& error, std::string_view input,
                              Whereabouts* decoded) {
  if (decoded == nullptr) return json::describe(error, input);
  const std::string_view read = input.substr(0, error.offset);
  const std::size_t line_start = core::last_line_start(read);
  const std::uint64_t line = 1 + core::count_line_ends(read);
  const std::uint64_t column =
      decoded->input_offset(error.offset) - decoded->input_offset(line_start);
  return std::string(error.description) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

// The elements of an array that a check has accepted, read in pieces that begin at elements:
// rows are built one element at a time instead of from a tree of the whole document. Every
// reader of the array borrows the element offsets that the check noted; a piece is all a reader
// sees of the text, so the array need not be held.
class ArrayReader final : public PieceReader {
 public:
  ArrayReader(const std::vector<std::size_t>& starts, std::uint64_t size,
              const ReadOptions& options, Whereabouts& whereabouts) noexcept
      : starts_(starts),
        size_(size),
        options_(options),
        whereabouts_(&whereabouts),
        parser_(Origin::Stream, &options.null_words, options.keeps_number_texts) {}

  // The opening bracket and the white space around it.
  Result<std::optional<std::size_t>> read_head(std::string_view text, bool is_whole) override {
    const std::uint64_t first = starts_.empty() ? size_ : starts_.front();
    if (first > text.size() && !is_whole) return std::nullopt;
    return std::optional<std::size_t>(static_cast<std::size_t>(first));
  }

  // The elements that begin in the piece before the last noted start in it, or all of them in
  // the last piece: an element the piece cuts is left for the next.
  Status read(std::string_view piece, const Place& place, bool is_last, RowSink sink,
              std::uint64_t most_rows, PieceEnd& end) override {
    end = PieceEnd{};
    // Each piece finds the repeated keys of its own objects, whichever thread read the one before.
    parser_.forget_keys();
    parser_.reset(piece, true);
    const std::uint64_t from = place.offset;
    const std::size_t stop =
        is_last ? piece.size()
                : static_cast<std::size_t>(last_start(from, from + piece.size()) - from);
    std::size_t next = 0;
    auto counting = [&](core::Row&& row) -> Status {
      parser_.take_repeated_keys(end.repeated_keys, end.rows);
      Status accepted = sink(std::move(row));
      if (accepted) ++end.rows;
      return accepted;
    };
    Status read = parser_.hand_over_range(0, stop, counting, most_rows, next);
    end.read_through = std::min(next, piece.size());
    end.records = end.rows;
    return read;
  }

  [[nodiscard]] std::size_t find_cut(std::string_view buffer, std::uint64_t offset) const override {
    const std::uint64_t start = last_start(offset, offset + buffer.size());
    return static_cast<std::size_t>(start - offset);
  }
  [[nodiscard]] bool continues(std::string_view between) const override { return between.empty(); }

  // The record of an element is its place among the objects.
  [[nodiscard]] RecordPlace where(const Place& place) override {
    return {place.record + 1, whereabouts_->line_at(place.offset),
            whereabouts_->input_offset(place.offset)};
  }

  [[nodiscard]] std::unique_ptr<PieceReader> clone(Whereabouts& whereabouts) const override {
    return std::make_unique<ArrayReader>(starts_, size_, options_, whereabouts);
  }

 private:
  // The last noted element start after `from` and at most `to`, else `from`.
  [[nodiscard]] std::uint64_t last_start(std::uint64_t from, std::uint64_t to) const noexcept {
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), to);
    if (after == starts_.begin() || *(after - 1) <= from) return from;
    return *(after - 1);
  }

  const std::vector<std::size_t>& starts_;
  std::uint64_t size_;
  const ReadOptions& options_;
  Whereabouts* whereabouts_;
  Parser parser_;
};

}  // namespace

// The array is checked completely before the first row is built, so a failure anywhere hands
// over nothing. `read_failure` is the error that ended reading early, if any: the parser meets it
// where it first asks for a byte past `input`.
Status check_json_array(std::string_view input, std::optional<Error> read_failure,
                        core::Monitor* monitor, const ReadOptions& options, Whereabouts* decoded,
                        std::vector<std::size_t>& starts, std::size_t spacing) {
  Parser parser(Origin::Stream, &options.null_words, options.keeps_number_texts);
  parser.reset(input);
  parser.skip_byte_order_mark();
  core::Checkpoints checking(monitor, core::Stage::Checking);
  if (!parser.check(&checking, &starts, spacing)) {
    if (auto stopped = parser.stopped()) return std::unexpected(std::move(*stopped));
    if (read_failure && parser.error().reached_end) {
      read_failure->message += json::position_suffix(input, input.size());
      return std::unexpected(std::move(*read_failure));
    }
    core::Error error = core::invalid(describe_in_array(parser.error(), input, decoded));
    if (decoded == nullptr && find_invalid_utf8(input)) error.hint = core::encoding_advice(input);
    return std::unexpected(std::move(error));
  }
  // The array closed; the failed read struck while the white space after it was read.
  if (read_failure) return std::unexpected(std::move(*read_failure));
  if (options.json_path.empty()) return {};
  auto open = json::find_path_array(input, options.json_path);
  if (!open) return std::unexpected(std::move(open.error()));
  parser.note_starts(*open, starts, spacing);
  return {};
}

std::unique_ptr<PieceReader> json_array_reader(const std::vector<std::size_t>& starts,
                                               std::uint64_t size, const ReadOptions& options,
                                               Whereabouts& whereabouts) {
  return std::make_unique<ArrayReader>(starts, size, options, whereabouts);
}

std::unique_ptr<PieceReader> json_lines_reader(const ReadOptions& options, Whereabouts& whereabouts,
                                               bool is_decoded) {
  return std::make_unique<LinesReader>(options, whereabouts, is_decoded);
}

Error json_undecodable(const core::DecodingSource& decoded) {
  return core::invalid("stream did not contain valid " + decoded.encoding().name() + " at line " +
                       std::to_string(decoded.line()) + " (" + decoded.describe_invalid() + ")");
}

}  // namespace morvel::readers
