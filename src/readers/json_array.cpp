#include "readers/json_array.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/encoding.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "readers/json_messages.hpp"
#include "readers/json_syntax.hpp"
#include "readers/text_feed.hpp"

namespace morvel::readers {

namespace {

using core::Error;
using core::Result;
using core::Status;
namespace message = json::message;

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The bytes at the end of `text` that begin a UTF-8 character it does not finish: the parser
// sees a window without them, so that a character cut by a read does not make it check every
// string of the window for UTF-8.
std::size_t cut_character(std::string_view text) noexcept {
  std::size_t back = 0;
  while (back < 3 && back < text.size() &&
         (static_cast<unsigned char>(text[text.size() - 1 - back]) & 0xC0) == 0x80) {
    ++back;
  }
  if (back == text.size()) return 0;
  const auto lead = static_cast<unsigned char>(text[text.size() - 1 - back]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return length > back + 1 ? back + 1 : 0;
}

// What a failure's message needs of the whole input, read again from its start: the lines before
// the failure and whether, and how, the input is not UTF-8.
struct Survey {
  std::uint64_t lines = 0;       // line ends before the failure, as core::LineEnds counts them
  std::uint64_t line_start = 0;  // offset of the first byte of the failure's line
  bool is_utf8 = true;
  core::EncodingClues clues;
};

// Bytes after a failure that its advice looks at: an endless stream must not be read, nor kept
// on disk, to its end to advise on its encoding.
constexpr std::uint64_t surveyed_after_failure = 64 * 1024 * 1024;

// Reads `source` again from its start, at most `limit` bytes, for the message of a failure at
// `offset`. A source that fails or cannot go back is surveyed as far as it could be read.
Survey survey(core::ByteSource& source, std::uint64_t offset, std::uint64_t limit) {
  Survey found;
  limit = std::min(limit, offset + surveyed_after_failure);
  if (!source.rewind()) return found;
  core::ByteBuffer buffer;
  const std::span<char> block(buffer.room(read_bytes), read_bytes);
  std::string carry;  // a character that a read cut, begun in the block before
  core::LineEnds ends;
  for (std::uint64_t at = 0; at < limit;) {
    auto got = source.read(block.first(std::min<std::uint64_t>(block.size(), limit - at)));
    if (!got || *got == 0) break;
    const std::string_view bytes(block.data(), *got);
    const std::string_view before = bytes.substr(0, offset > at ? offset - at : 0);
    ends.feed(before);
    found.lines = ends.count();
    if (const std::size_t start = core::last_line_start(before); start > 0) {
      found.line_start = at + start;
    }
    found.clues.feed(bytes);
    if (found.is_utf8) {
      const std::string joined = carry.empty() ? std::string() : carry + std::string(bytes);
      const std::string_view checked = carry.empty() ? bytes : std::string_view(joined);
      const auto bad = core::find_invalid_utf8(checked);
      found.is_utf8 = !bad || bad->error_length == 0;
      carry = bad ? std::string(checked.substr(bad->valid_up_to)) : std::string();
    }
    at += *got;
  }
  if (!carry.empty()) found.is_utf8 = false;
  return found;
}

// The check of an array that comes as a stream, through a window of it: the parser checks each
// element where the window holds it whole, and the window moves on past the elements checked. An
// element that the window cuts is checked again once the window has grown to twice the part of
// it that was there, so a long element costs a few readings of it, not one per read.
class StreamedArray {
 public:
  StreamedArray(core::ByteSource& source, core::Monitor* monitor, const ReadOptions& options,
                std::vector<std::size_t>& starts, std::size_t spacing,
                std::size_t window_bytes) noexcept
      : source_(source),
        feed_(source, std::numeric_limits<std::uint64_t>::max()),
        parser_(json::Origin::Stream, &options.null_words, options.keeps_number_texts),
        checking_(monitor, core::Stage::Checking),
        starts_(starts),
        spacing_(spacing),
        window_bytes_(std::max<std::size_t>(window_bytes, 1)) {}

  Result<std::uint64_t> run();

 private:
  [[nodiscard]] bool is_whole() const noexcept { return feed_.is_whole() || failure_; }
  [[nodiscard]] std::uint64_t read() const noexcept {
    return feed_.offset() + feed_.window().size();
  }
  [[nodiscard]] bool has_byte();
  [[nodiscard]] bool skip_blanks() {
    while (has_byte() && is_blank(text_[at_])) ++at_;
    return has_byte();
  }
  void grow();
  Status check_elements();
  Status check_element();
  Status fail(std::string_view description, std::uint64_t offset);
  Status fail_at_end(std::string_view description);

  core::ByteSource& source_;
  TextFeed feed_;
  json::Parser parser_;
  core::Checkpoints checking_;
  std::vector<std::size_t>& starts_;
  std::size_t spacing_;
  std::size_t window_bytes_;
  std::uint64_t next_start_ = 0;
  std::optional<Error> failure_;  // of a read, which ended the input early
  std::string_view text_;         // what the parser sees of the window
  std::size_t at_ = 0;            // in text_
};

bool StreamedArray::has_byte() {
  while (at_ >= text_.size()) {
    if (is_whole() && text_.size() == feed_.window().size()) return false;
    grow();
  }
  return true;
}

// Forgets the bytes before at_ and reads at least as many as are left, and window_bytes_.
void StreamedArray::grow() {
  feed_.drop(at_);
  at_ = 0;
  if (!is_whole()) {
    const std::size_t rest = feed_.window().size();
    if (auto more = feed_.fill(rest + std::max(rest, window_bytes_)); !more) {
      failure_ = std::move(more.error());
    }
  }
  text_ = feed_.window();
  if (!is_whole()) text_.remove_suffix(cut_character(text_));
  parser_.reset(text_);
}

Result<std::uint64_t> StreamedArray::run() {
  grow();
  if (text_.starts_with(core::utf8_byte_order_mark)) at_ = core::utf8_byte_order_mark.size();
  if (!skip_blanks()) return std::unexpected(fail_at_end(message::eof_value).error());
  assert(text_[at_] == '[');
  ++at_;
  if (auto checked = check_elements(); !checked) return std::unexpected(std::move(checked.error()));
  if (skip_blanks()) {
    return std::unexpected(fail(message::trailing_characters, feed_.offset() + at_ + 1).error());
  }
  // The array closed; the failed read struck while the white space after it was read.
  if (failure_) return std::unexpected(std::move(*failure_));
  return read();
}

// The elements after the opening bracket, and the closing bracket, as the parser walks an array.
Status StreamedArray::check_elements() {
  if (!skip_blanks()) return fail_at_end(message::eof_list);
  if (text_[at_] == ']') {
    ++at_;
    return {};
  }
  for (;;) {
    if (auto checked = check_element(); !checked) return checked;
    if (!skip_blanks()) return fail_at_end(message::eof_list);
    if (text_[at_] == ']') {
      ++at_;
      return {};
    }
    if (text_[at_] != ',') return fail(message::expected_list_comma, feed_.offset() + at_ + 1);
    ++at_;
    if (!skip_blanks()) return fail_at_end(message::eof_value);
    if (text_[at_] == ']') return fail(message::trailing_comma, feed_.offset() + at_ + 1);
  }
}

Status StreamedArray::check_element() {
  const std::uint64_t element = feed_.offset() + at_;
  if (auto go_on = checking_.reached(element); !go_on) return go_on;
  if (element >= next_start_) {
    starts_.push_back(static_cast<std::size_t>(element));
    next_start_ = element + spacing_;
  }
  for (;;) {
    const auto after = parser_.check_element(at_);
    // A number that ends with the window may go on in the next read.
    const bool is_cut = after ? *after == text_.size() : parser_.error().reached_end;
    if (!is_cut || is_whole()) {
      if (after) {
        at_ = *after;
        return {};
      }
      const json::SyntaxError& error = parser_.error();
      if (error.reached_end) return fail_at_end(error.description);
      return fail(error.description, feed_.offset() + error.offset);
    }
    grow();
  }
}

// The failure `description` found when `offset` bytes of the input were read, placed as the
// parser places it in the whole input, with advice when the input is not UTF-8.
Status StreamedArray::fail(std::string_view description, std::uint64_t offset) {
  const std::uint64_t limit = failure_ ? read() : std::numeric_limits<std::uint64_t>::max();
  Survey found = survey(source_, offset, limit);
  Error error =
      core::invalid(std::string(description) + " at line " + std::to_string(found.lines + 1) +
                    " column " + std::to_string(offset - found.line_start));
  if (!found.is_utf8) error.hint = found.clues.advice();
  return std::unexpected(std::move(error));
}

// A failure at the end of the input: the end of the bytes read, when a read failed, is the read's
// failure.
Status StreamedArray::fail_at_end(std::string_view description) {
  if (!failure_) return fail(description, read());
  const std::uint64_t end = read();
  const Survey found = survey(source_, end, end);
  failure_->message += " at line " + std::to_string(found.lines + 1) + " column " +
                       std::to_string(end - found.line_start);
  return std::unexpected(std::move(*failure_));
}

}  // namespace

Result<std::uint64_t> check_streamed_array(core::ByteSource& source, core::Monitor* monitor,
                                           const ReadOptions& options,
                                           std::vector<std::size_t>& starts, std::size_t spacing,
                                           std::size_t window_bytes) {
  return StreamedArray(source, monitor, options, starts, spacing, window_bytes).run();
}

}  // namespace morvel::readers
