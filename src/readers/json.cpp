#include "readers/json.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "core/encoding.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "readers/json_syntax.hpp"

namespace morvel::readers {

namespace {

using core::ByteBuffer;
using core::ByteSource;
using core::Error;
using core::find_invalid_utf8;
using core::RowSink;
using core::Status;
using json::Origin;
using json::Parser;

// Bytes asked for per read. Larger than the descriptor buffer: reads are then fewer system
// calls, and a line layout never holds more than its longest line plus this.
constexpr std::size_t read_size = 64 * 1024;

// The message of a parse error in `text`, which starts `text_start` bytes into the decoded input
// and whose first line is `first_line`. The column counts bytes of the input as the user has it,
// also when it was decoded from another encoding.
std::string describe(const json::SyntaxError& error, std::string_view text, std::size_t text_start,
                     std::uint64_t first_line, const core::Decoded* decoded) {
  if (decoded == nullptr) return json::describe(error, text, first_line);
  const std::string_view read = text.substr(0, error.offset);
  const std::size_t last_break = read.rfind('\n');
  const std::size_t line_start = last_break == std::string_view::npos ? 0 : last_break + 1;
  const auto line =
      first_line + static_cast<std::uint64_t>(std::count(read.begin(), read.end(), '\n'));
  const std::size_t column = decoded->input_offset(text_start + error.offset) -
                             decoded->input_offset(text_start + line_start);
  return std::string(error.description) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

// The error for a decoded input that stops at a byte its encoding does not allow, on `line`.
Error undecodable(const core::Decoded& decoded, std::uint64_t line) {
  return core::invalid("stream did not contain valid " + decoded.encoding().name() + " at line " +
                       std::to_string(line) + " (" + decoded.describe_invalid() + ")");
}

std::string_view without_final_cr(std::string_view line) noexcept {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The lines of the line layout, taken one at a time: invalid UTF-8 and parse errors end the
// reading, blank lines and values other than objects are skipped. Messages name a line by its
// number in the whole input, every line break counted.
class Lines {
 public:
  // `decoded`, when the input was decoded from another encoding, places error columns in it.
  Lines(RowSink sink, core::Monitor* monitor, const ReadOptions& options,
        const core::Decoded* decoded = nullptr) noexcept
      : parser_(Origin::Line, &options.null_words),
        sink_(sink),
        checkpoints_(monitor),
        decoded_(decoded) {}

  // Takes the next line, without its line break, which starts `start` bytes into the input.
  // `is_utf8` says the caller has checked the line already, as part of a longer text.
  Status take(std::string_view line, std::uint64_t start, bool is_utf8 = false) {
    ++number_;
    if (auto go_on = checkpoints_.reached(start); !go_on) return go_on;
    if (!is_utf8 && find_invalid_utf8(line)) {
      return std::unexpected(
          core::invalid("stream did not contain valid UTF-8 at line " + std::to_string(number_)));
    }
    if (core::trim_white_space(line).empty()) return {};
    parser_.reset(line);
    switch (parser_.parse()) {
      case Parser::Parsed::Object:
        return sink_(std::move(parser_.row()));
      case Parser::Parsed::Other:
        return {};
      case Parser::Parsed::Failed:
        break;
    }
    return std::unexpected(
        core::invalid(describe(parser_.error(), line, start, number_, decoded_)));
  }

  // The number of the last line taken, counted from 1; 0 before the first.
  [[nodiscard]] std::uint64_t number() const noexcept { return number_; }

 private:
  Parser parser_;
  RowSink sink_;
  core::Checkpoints checkpoints_;
  const core::Decoded* decoded_;
  std::uint64_t number_ = 0;
};

// The line layout over an input held in memory: lines are views of it.
Status stream_lines(std::string_view input, Lines& lines) {
  // Lines are cut at ASCII bytes, so when the whole input is UTF-8 every line is: one check of
  // the whole spares a call per line. Otherwise each line is checked and the first bad one fails.
  const bool is_utf8 = !find_invalid_utf8(input);
  std::size_t start = 0;
  while (start < input.size()) {
    const std::size_t lf = input.find('\n', start);
    if (lf == std::string_view::npos) return lines.take(input.substr(start), start, is_utf8);
    const std::string_view line = without_final_cr(input.substr(start, lf - start));
    if (auto taken = lines.take(line, start, is_utf8); !taken) return taken;
    start = lf + 1;
  }
  return {};
}

// The line layout over a stream whose first bytes are in `buffer`. Each complete line is handed
// over before the next read, and the buffer holds at most the line being read plus one read.
Status stream_lines(ByteSource& reader, ByteBuffer& buffer, Lines& lines) {
  std::size_t searched = 0;
  std::uint64_t dropped = 0;  // bytes of input before the buffer's first
  for (;;) {
    const std::string_view data = buffer.view();
    // The complete lines in the buffer are checked for UTF-8 together, as in the held layout;
    // the partial line after them is checked once it is complete.
    // Only the bytes read since the last search are looked at, so that a line longer than many
    // reads is not searched again with each of them.
    const std::size_t last_lf = data.substr(searched).rfind('\n');
    const bool is_utf8 = last_lf != std::string_view::npos &&
                         !find_invalid_utf8(data.substr(0, searched + last_lf + 1));
    std::size_t line_start = 0;
    while (const void* hit = std::memchr(data.data() + searched, '\n', data.size() - searched)) {
      const auto lf = static_cast<std::size_t>(static_cast<const char*>(hit) - data.data());
      const std::string_view line = without_final_cr(data.substr(line_start, lf - line_start));
      if (auto taken = lines.take(line, dropped + line_start, is_utf8); !taken) return taken;
      line_start = searched = lf + 1;
    }
    buffer.drop_front(line_start);
    dropped += line_start;
    searched = buffer.size();
    auto got = read_some(reader, buffer, read_size);
    if (!got) return std::unexpected(std::move(got.error()));
    // A last line without LF keeps a final CR, which JSON reads as white space.
    if (*got == 0) return buffer.size() == 0 ? Status{} : lines.take(buffer.view(), dropped);
  }
}

// The array layout over the whole input. The array is checked completely before the first row
// is built, so a failure anywhere hands over nothing; rows are then built one element at a time
// instead of from a tree of the whole document. `read_failure` is the error that ended reading
// early, if any: the parser meets it where it first asks for a byte past `input`.
Status stream_array(std::string_view input, std::optional<Error> read_failure, RowSink sink,
                    core::Monitor* monitor, const ReadOptions& options,
                    const core::Decoded* decoded = nullptr) {
  Parser parser(Origin::Stream, &options.null_words);
  parser.reset(input);
  // Each pass over the input tells the monitor of its progress: the check, then the rows.
  core::Checkpoints checking(monitor, core::Stage::Checking);
  if (!parser.check(&checking)) {
    if (auto stopped = parser.stopped()) return std::unexpected(std::move(*stopped));
    if (read_failure && parser.error().reached_end) {
      read_failure->message += json::position_suffix(input, input.size());
      return std::unexpected(std::move(*read_failure));
    }
    return std::unexpected(core::invalid(describe(parser.error(), input, 0, 1, decoded)));
  }
  // The array closed; the failed read struck while the white space after it was read.
  if (read_failure) return std::unexpected(std::move(*read_failure));
  core::Checkpoints converting(monitor);
  return parser.hand_over_elements(sink, &converting);
}

// The input decoded from another encoding, held whole: an array is anyway, and the lines are
// cut from the decoded text. Lines before a byte the encoding does not allow are handed over;
// an array with one hands over nothing.
Status stream_decoded(ByteSource& reader, RowSink sink, const ReadOptions& options,
                      core::Monitor* monitor) {
  ByteBuffer owned;
  std::string_view input;
  if (const auto held = reader.contiguous()) {
    input = *held;
  } else {
    if (auto read = read_to_end(reader, owned); !read) return read;
    input = owned.view();
  }
  auto decoded = core::decode(input, *options.encoding);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  const std::string_view text = decoded->text();
  const auto breaks = [&](std::string_view part) {
    return static_cast<std::uint64_t>(std::count(part.begin(), part.end(), '\n'));
  };
  if (!text.empty() && text.front() == '[') {
    if (decoded->invalid_at()) return std::unexpected(undecodable(*decoded, 1 + breaks(text)));
    return stream_array(text, std::nullopt, sink, monitor, options, &*decoded);
  }
  Lines lines(sink, monitor, options, &*decoded);
  if (!decoded->invalid_at()) return stream_lines(text, lines);
  // Only the complete lines before the bad byte are read.
  const std::size_t complete =
      text.rfind('\n') == std::string_view::npos ? 0 : text.rfind('\n') + 1;
  if (auto taken = stream_lines(text.substr(0, complete), lines); !taken) return taken;
  return std::unexpected(undecodable(*decoded, 1 + breaks(text.substr(0, complete))));
}

}  // namespace

Status stream_json(ByteSource& reader, RowSink sink, const ReadOptions& options,
                   core::Monitor* monitor) {
  if (options.encoding) return stream_decoded(reader, sink, options, monitor);
  Lines lines(sink, monitor, options);
  if (const auto held = reader.contiguous()) {
    if (held->empty()) return {};
    return held->front() == '[' ? stream_array(*held, std::nullopt, sink, monitor, options)
                                : stream_lines(*held, lines);
  }

  // The array layout holds the whole input anyway, and a mapped file costs neither the zeroed
  // block nor the copy. The line layout keeps reading a line at a time: only the mapping's first
  // page was touched, and the mapping holds no memory of its own.
  if (const auto mapped = reader.map(); mapped && mapped->front() == '[') {
    return stream_array(*mapped, std::nullopt, sink, monitor, options);
  }

  ByteBuffer buffer;
  // An empty input has no rows; an input that cannot be read at all is as much an error as one
  // that fails later.
  auto first = read_some(reader, buffer, read_size);
  if (!first) return std::unexpected(std::move(first.error()));
  if (*first == 0) return {};
  if (buffer.view().front() != '[') return stream_lines(reader, buffer, lines);
  // A read that fails after the first is reported once the bytes before it are parsed.
  Status rest = read_to_end(reader, buffer);
  std::optional<Error> read_failure;
  if (!rest) read_failure = std::move(rest.error());
  return stream_array(buffer.view(), std::move(read_failure), sink, monitor, options);
}

}  // namespace morvel::readers
