#include "readers/read_input.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/text.hpp"
#include "core/utf8.hpp"
#include "readers/csv.hpp"
#include "readers/csv_check.hpp"
#include "readers/json.hpp"
#include "readers/json_array.hpp"
#include "readers/text_feed.hpp"

namespace morvel::readers {

namespace {

using core::ByteBuffer;
using core::ByteSource;
using core::Result;
using core::RowSink;
using core::Status;

// Where the JSON white space from `from` in `text` ends.
std::size_t blank_end(std::string_view text, std::size_t from) noexcept {
  while (from < text.size() &&
         (text[from] == ' ' || text[from] == '\t' || text[from] == '\n' || text[from] == '\r')) {
    ++from;
  }
  return from;
}

// The bytes before the first value of a JSON input, which do not choose its layout: a byte-order
// mark, then JSON white space.
std::size_t json_lead(std::string_view text) noexcept {
  return blank_end(
      text, text.starts_with(core::utf8_byte_order_mark) ? core::utf8_byte_order_mark.size() : 0);
}

// Whether a JSON input that begins with `text` is an array, `text` holding its first value's
// first byte unless the input ends first.
bool is_json_array(std::string_view text) noexcept {
  const std::size_t lead = json_lead(text);
  return lead < text.size() && text[lead] == '[';
}

// Bytes that a stream's first reading goes on checking, without keeping them, after the record
// with a byte that is not UTF-8: a stream that ends within them gets the outcome of the whole
// check, as a file does (an unbalanced quote later), and endless noise is refused once read.
constexpr std::uint64_t checked_after_refusal = 64 * 1024 * 1024;

// The rest of `source` fed to `check` up to checked_after_refusal bytes. Fails as the source
// does, or with the check's outcome when the input ended.
Status check_rest(InputCheck& check, ByteSource& source) {
  ByteBuffer buffer;
  const std::span<char> block(buffer.room(read_bytes), read_bytes);
  for (std::uint64_t total = 0; total < checked_after_refusal;) {
    auto got = source.read(block);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) return check.outcome();
    check.feed({block.data(), *got});
    total += *got;
  }
  return {};
}

// The bytes a first look at a source took, then the rest of the source: the input whole again.
// A source that goes back to its start gives those bytes itself.
class PrefixedSource final : public core::ByteSource {
 public:
  // `prefix` and `inner` are borrowed.
  PrefixedSource(std::string_view prefix, ByteSource& inner) noexcept
      : prefix_(prefix), inner_(inner) {}

  Result<std::size_t> read(std::span<char> buffer) override {
    if (prefix_.empty()) return inner_.read(buffer);
    const std::size_t count = std::min(buffer.size(), prefix_.size());
    std::copy_n(prefix_.data(), count, buffer.data());
    prefix_.remove_prefix(count);
    return count;
  }
  [[nodiscard]] std::size_t size_hint() const noexcept override {
    const std::size_t rest = inner_.size_hint();
    return rest == 0 ? 0 : rest + prefix_.size();
  }
  [[nodiscard]] bool rewind() noexcept override {
    if (!inner_.rewind()) return false;
    prefix_ = {};
    return true;
  }
  [[nodiscard]] bool would_wait() const noexcept override {
    return prefix_.empty() && inner_.would_wait();
  }

 private:
  std::string_view prefix_;
  ByteSource& inner_;
};

// One reading of an input: its options, where its rows go, and its plan, all borrowed.
class Dispatch {
 public:
  // Rows go to `work`, which may share pieces, or else to `sink` alone, on this thread.
  Dispatch(const ReadOptions& options, core::Monitor* monitor, PieceWork* work, RowSink sink,
           const ReadPlan& plan) noexcept
      : options_(options), monitor_(monitor), work_(work), sink_(sink), plan_(plan) {}

  Status run(ByteSource& source, Format format) {
    if (options_.encoding) return read_decoded(source, format);
    return format == Format::Csv ? read_csv(source) : read_json(source);
  }

 private:
  Status read_decoded(ByteSource& source, Format format);
  core::Error csv_undecodable_error();
  Status read_json(ByteSource& source);
  Status read_array(std::string_view text, std::optional<core::Error> read_failure,
                    Whereabouts* decoded);
  Status read_streamed_array(ByteSource& source, std::string_view taken);
  Status read_csv(ByteSource& source);
  Status read_csv_text(std::string_view text, Whereabouts& whereabouts);
  Status read_csv_records(const csv::QuoteCheck& quotes, TextFeed& feed, Whereabouts& whereabouts,
                          bool is_decoded);

  Result<PieceEnd> read_records(PieceReader& reader, TextFeed& feed) {
    if (work_ != nullptr) return read_pieces(reader, feed, *work_, monitor_, plan_);
    return read_pieces(reader, feed, sink_, monitor_, plan_.limits);
  }
  // Bytes between the element starts an array's check notes at least: several per piece.
  [[nodiscard]] std::size_t start_spacing() const noexcept {
    return std::max<std::size_t>(plan_.limits.piece_bytes / 8, 1);
  }
  Status read_all(PieceReader& reader, TextFeed& feed) {
    auto read = read_records(reader, feed);
    if (!read) return std::unexpected(std::move(read.error()));
    return {};
  }

  const ReadOptions& options_;
  core::Monitor* monitor_;
  PieceWork* work_;
  RowSink sink_;
  const ReadPlan& plan_;
  core::DecodingSource* decoded_ = nullptr;  // the text's source, for an input in another encoding
};

// An input in another encoding, decoded as it is read: it is read as the text it decodes into,
// which ends at a byte the encoding does not allow. A CSV input with such a byte fails before any
// record, so does a JSON array; JSON lines before the line that holds the byte are read. A source
// that cannot go back (a pipe) is kept in a temporary file, for a second reading and for the
// positions in messages, which decode the input again up to them.
Status Dispatch::read_decoded(ByteSource& source, Format format) {
  core::ReplayableSource input(source);
  auto text = core::DecodingSource::open(input, *options_.encoding, monitor_);
  if (!text) return std::unexpected(std::move(text.error()));
  decoded_ = text->get();
  if (format == Format::Csv) return read_csv(*decoded_);
  decoded_->refuse_with(json_undecodable);
  return read_json(*decoded_);
}

// The error for a CSV input whose decoding stopped at a byte its encoding does not allow: the text
// before it is read again, to find the record that holds the byte.
core::Error Dispatch::csv_undecodable_error() {
  ByteBuffer text;
  if (decoded_->rewind()) {
    if (auto read = core::read_to_end(*decoded_, text); !read && !decoded_->invalid_at()) {
      return std::move(read.error());
    }
  }
  return csv_undecodable(text.view(), *decoded_, options_);
}

// A JSON input: lines, read in pieces; an array, checked whole before its first row, then read
// in pieces, held only when it is in memory already; or a document holding one at the JSON path,
// held whole.
Status Dispatch::read_json(ByteSource& source) {
  const bool has_path = !options_.json_path.empty();
  SourceWhereabouts whereabouts(source, decoded_);
  auto reader = json_lines_reader(options_, whereabouts, decoded_ != nullptr);
  if (const auto held = source.contiguous()) {
    if (is_json_array(*held) || has_path) return read_array(*held, std::nullopt, nullptr);
    TextFeed feed(*held);
    return read_all(*reader, feed);
  }
  TextFeed feed(source, std::numeric_limits<std::uint64_t>::max());
  // An empty input has no rows; an input that cannot be read at all is as much an error as one
  // that fails later. The layout waits for the first byte of the first value, or the end.
  // Each byte is looked at once: the white space before it may be long.
  std::size_t lead = 0;
  for (std::size_t wanted = 1; !feed.is_whole();) {
    if (auto first = feed.fill(wanted); !first) return first;
    const std::string_view window = feed.window();
    if (window.size() < core::utf8_byte_order_mark.size() &&
        core::utf8_byte_order_mark.starts_with(window)) {
      wanted = core::utf8_byte_order_mark.size();
      continue;
    }
    if (lead == 0 && window.starts_with(core::utf8_byte_order_mark)) {
      lead = core::utf8_byte_order_mark.size();
    }
    lead = blank_end(window, lead);
    if (lead < window.size()) break;
    wanted = window.size() + 1;
  }
  if (!has_path && !is_json_array(feed.window())) return read_all(*reader, feed);
  if (!has_path && decoded_ == nullptr) return read_streamed_array(source, feed.window());
  // A read that fails after the first is reported once the bytes before it are parsed; but a
  // decoded input's failure comes first, as a byte its encoding does not allow does.
  std::optional<core::Error> read_failure;
  if (auto rest = feed.fill_all(plan_.threads); !rest) {
    if (decoded_ != nullptr) return rest;
    read_failure = std::move(rest.error());
  }
  HeldWhereabouts decoded(feed.window(), decoded_);
  return read_array(feed.window(), std::move(read_failure), decoded_ ? &decoded : nullptr);
}

// An array, `text`, held whole and checked before its elements are read in pieces.
Status Dispatch::read_array(std::string_view text, std::optional<core::Error> read_failure,
                            Whereabouts* decoded) {
  std::vector<std::size_t> starts;
  if (auto checked = check_json_array(text, std::move(read_failure), monitor_, options_, decoded,
                                      starts, start_spacing());
      !checked) {
    return checked;
  }
  HeldWhereabouts held(text, nullptr);
  auto reader = json_array_reader(starts, text.size(), options_, decoded ? *decoded : held);
  TextFeed feed(text);
  return read_all(*reader, feed);
}

// An array from `source`, of which the bytes `taken` were read to find its layout: read once to
// check it and note where its elements begin, then again for its rows, as a CSV input is, so
// that neither reading holds it. A source that cannot go back is kept in a temporary file for the
// second reading.
Status Dispatch::read_streamed_array(ByteSource& source, std::string_view taken) {
  PrefixedSource whole(taken, source);
  core::ReplayableSource replayable(whole);
  std::vector<std::size_t> starts;
  auto size = check_streamed_array(replayable, monitor_, options_, starts, start_spacing(),
                                   plan_.limits.piece_bytes);
  if (!size) return std::unexpected(std::move(size.error()));
  if (!replayable.rewind()) {
    return std::unexpected(core::invalid("the input could not be read a second time"));
  }
  SourceWhereabouts whereabouts(replayable);
  auto reader = json_array_reader(starts, *size, options_, whereabouts);
  TextFeed feed(replayable, *size);
  return read_all(*reader, feed);
}

// A CSV input: read once to check its quotes, then again for its records. A source that cannot
// go back is kept in a temporary file for the second reading, and the second reads no more than
// the first checked.
Status Dispatch::read_csv(ByteSource& source) {
  if (const auto held = source.contiguous()) {
    HeldWhereabouts whereabouts(*held, nullptr);
    return read_csv_text(*held, whereabouts);
  }
  // A small file is read once and held: reading it again cost more than the memory.
  if (source.reads_at() && source.size_hint() <= plan_.limits.held_bytes) {
    ByteBuffer small;
    if (auto read = core::read_to_end(source, small); !read) return read;
    HeldWhereabouts whereabouts(small.view(), nullptr);
    return read_csv_text(small.view(), whereabouts);
  }
  core::ReplayableSource replayable(source);
  SourceWhereabouts whereabouts(replayable, decoded_);
  csv::QuoteCheck quotes(options_, plan_.limits.piece_bytes);
  // A stream is kept for the second reading as it is checked: a byte that is not UTF-8 ends the
  // copy at the end of its record, so that endless noise (a device) fills no disk. Decoded text
  // is UTF-8.
  if (!source.reads_at() && decoded_ == nullptr) quotes.watch_utf8();
  auto size = check_source(quotes, replayable, monitor_, plan_);
  if (!size && decoded_ != nullptr && decoded_->invalid_at()) {
    return std::unexpected(csv_undecodable_error());
  }
  if (!size) return std::unexpected(quotes.placed(std::move(size.error()), whereabouts));
  if (quotes.stop_at()) {
    if (auto rest = check_rest(quotes, source); !rest) {
      return std::unexpected(quotes.placed(std::move(rest.error()), whereabouts));
    }
  }
  if (!replayable.rewind()) {
    return std::unexpected(core::invalid("the input could not be read a second time"));
  }
  TextFeed feed(replayable, *size);
  if (auto read = read_csv_records(quotes, feed, whereabouts, decoded_ != nullptr);
      !read || !quotes.stop_at()) {
    return read;
  }
  // The records read their fields without the quotes, which may join the halves of a character.
  return std::unexpected(core::invalid("stream did not contain valid UTF-8 before byte " +
                                       std::to_string(*quotes.stop_at())));
}

// A CSV text held whole, checked block by block and then read.
Status Dispatch::read_csv_text(std::string_view text, Whereabouts& whereabouts) {
  csv::QuoteCheck quotes(options_, plan_.limits.piece_bytes);
  if (auto checked = check_text(quotes, text, monitor_, plan_); !checked) {
    return std::unexpected(quotes.placed(std::move(checked.error()), whereabouts));
  }
  TextFeed feed(text);
  return read_csv_records(quotes, feed, whereabouts, false);
}

// The records of a CSV text that `quotes` checked, and the warning of how many were padded.
Status Dispatch::read_csv_records(const csv::QuoteCheck& quotes, TextFeed& feed,
                                  Whereabouts& whereabouts, bool is_decoded) {
  auto reader = csv_reader(options_, monitor_, whereabouts, is_decoded, quotes);
  auto read = read_records(*reader, feed);
  if (!read) return std::unexpected(std::move(read.error()));
  report_padding(monitor_, read->padded);
  return {};
}

}  // namespace

Status read_input(ByteSource& source, Format format, const ReadOptions& options,
                  core::Monitor* monitor, PieceWork& work, const ReadPlan& plan) {
  return Dispatch(options, monitor, &work, work.direct(), plan).run(source, format);
}

Status read_input(ByteSource& source, Format format, const ReadOptions& options,
                  core::Monitor* monitor, RowSink sink, const ReadLimits& limits) {
  const ReadPlan plan{1, limits};
  return Dispatch(options, monitor, nullptr, sink, plan).run(source, format);
}

Status stream_csv(ByteSource& reader, RowSink sink, const ReadOptions& options,
                  core::Monitor* monitor) {
  return read_input(reader, Format::Csv, options, monitor, sink);
}

Status stream_json(ByteSource& reader, RowSink sink, const ReadOptions& options,
                   core::Monitor* monitor) {
  return read_input(reader, Format::Json, options, monitor, sink);
}

}  // namespace morvel::readers
