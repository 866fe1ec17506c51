#include "readers/csv_check.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "core/scan.hpp"
#include "readers/csv_scanner.hpp"

namespace morvel::readers::csv {

namespace {

// Bytes of text per parity mark of the first reading, at most: a piece's guessed start is looked
// for from one of these marks on, a few to a piece.
constexpr std::uint64_t most_mark_bytes = 64 * 1024;

constexpr std::string_view unbalanced_quotes = "Malformed CSV: unbalanced quotes detected";

std::uint64_t count_quotes(const char* p, const char* end, char quote) {
  std::array<std::uint64_t, scan::marks_size(most_mark_bytes)> unused{};
  bool has_nul = false;
  return scan::count_marking_non_ascii(p, end, quote, unused.data(), has_nul);
}

}  // namespace

// The check of one part of the input, which joins the whole check it came from.
class QuoteCheck::Part final : public CheckPart {
 public:
  // A part exists only without lines to skip and comment lines.
  Part(QuoteCheck& whole, std::uint64_t offset)
      : whole_(whole), own_(0, std::nullopt, whole.quote_, whole.mark_bytes_, offset) {}
  void feed(std::string_view block) override { own_.feed(block); }
  void join() override { whole_.take(own_); }

 private:
  QuoteCheck& whole_;
  QuoteCheck own_;
};

QuoteCheck::QuoteCheck(const ReadOptions& options, std::size_t piece_bytes)
    : QuoteCheck(options.skip_lines, options.comment, options.quote,
                 std::clamp<std::uint64_t>(piece_bytes / 8, 1, most_mark_bytes), 0) {}

QuoteCheck::QuoteCheck(std::uint64_t lines_to_skip, std::optional<char> comment, char quote,
                       std::uint64_t mark_bytes, std::uint64_t offset)
    : lines_to_skip_(lines_to_skip),
      comment_(comment),
      quote_(quote),
      is_divisible_(!comment && lines_to_skip == 0),
      mark_bytes_(mark_bytes),
      seen_(offset),
      first_mark_(offset / mark_bytes + 1) {}

void QuoteCheck::feed(std::string_view block) {
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
  if (watches_utf8_ && !stop_at_ && p != end) watch({p, static_cast<std::size_t>(end - p)}, at);
  while (p != end) {
    const std::uint64_t next_mark = (at / mark_bytes_ + 1) * mark_bytes_;
    const char* stop =
        end - p > static_cast<std::ptrdiff_t>(next_mark - at) ? p + (next_mark - at) : end;
    if (comment_) {
      quotes_ += count_outside_comments(p, stop, at);
    } else if (const std::uint64_t quotes = count_quotes(p, stop, quote_); quotes > 0) {
      quotes_ += quotes;
      // Near the stretch's end in a quoted CSV: an unbalanced quote is then placed without
      // reading the input again.
      const auto* last = static_cast<const char*>(
          ::memrchr(p, static_cast<unsigned char>(quote_), static_cast<std::size_t>(stop - p)));
      last_quote_ = at + static_cast<std::uint64_t>(last - p);
    }
    at += static_cast<std::uint64_t>(stop - p);
    p = stop;
    if (at == next_mark) mark_parity(at / mark_bytes_);
  }
  seen_ += block.size();
}

// The block, whose first byte is the input's byte `at`, checked for UTF-8 from where the last
// block left off; the quotes before it are all counted.
void QuoteCheck::watch(std::string_view block, std::uint64_t at) {
  if (seeks_end_) return seek_record_end(block, at);
  const char before = std::exchange(before_block_, block.back());
  std::size_t from = 0;
  if (!unfinished_.empty()) {
    // The character the last block cut is judged whole, with its first bytes here.
    const std::size_t kept = unfinished_.size();
    unfinished_.append(block.substr(0, 4));
    const auto bad = core::find_invalid_utf8(unfinished_);
    if (bad && bad->valid_up_to == 0) {
      if (bad->error_length == 0) {
        unfinished_.resize(std::min(unfinished_.size(), std::size_t{3}));
        return;
      }
      if (bad->error_length >= unfinished_.size() || unfinished_[bad->error_length] != quote_) {
        unfinished_.clear();
        seeks_end_ = true;
        is_quoted_ = quotes_ % 2 != 0;
        return seek_record_end(block, at);
      }
      // Left to the reader, as below.
      from = bad->error_length > kept ? bad->error_length - kept : 0;
    } else {
      from = (bad ? bad->valid_up_to : unfinished_.size()) - kept;
    }
    unfinished_.clear();
  }
  for (;;) {
    const std::string_view rest = block.substr(from);
    const auto bad = core::find_invalid_utf8(rest);
    if (!bad) return;
    if (bad->error_length == 0) {
      unfinished_.assign(rest.substr(bad->valid_up_to));
      return;
    }
    const std::size_t start = from + bad->valid_up_to;
    const std::size_t after = start + bad->error_length;
    // A quote between the bytes of a character leaves the field and joins them: only the reader
    // can tell such a record from one that is not UTF-8, so the copy goes on for it to judge.
    if ((start > 0 ? block[start - 1] : before) == quote_ ||
        (after < block.size() && block[after] == quote_)) {
      from = after;
      continue;
    }
    seeks_end_ = true;
    is_quoted_ = (quotes_ + count_quotes(block.data(), block.data() + start, quote_)) % 2 != 0;
    return seek_record_end(block.substr(start), at + start);
  }
}

// Looks for the line end outside quotes that ends the record with the bad byte, from the block,
// whose first byte is the input's byte `at`.
void QuoteCheck::seek_record_end(std::string_view block, std::uint64_t at) noexcept {
  for (std::size_t i = 0; i < block.size(); ++i) {
    if (block[i] == quote_) {
      is_quoted_ = !is_quoted_;
    } else if (!is_quoted_ && is_line_end(block[i])) {
      stop_at_ = at + i + 1;
      return;
    }
  }
}

core::Status QuoteCheck::outcome() const {
  if (quotes_ % 2 == 0) return {};
  return std::unexpected(core::invalid(std::string(unbalanced_quotes)));
}

core::Error QuoteCheck::placed(core::Error error, Whereabouts& whereabouts) const {
  if (error.message != unbalanced_quotes || quotes_ % 2 == 0 || !last_quote_) return error;
  const std::string byte = "byte " + std::to_string(whereabouts.input_offset(*last_quote_));
  // A stream's bytes after a refused record were checked but not kept: their lines are unknown.
  const bool is_kept = !stop_at_ || *last_quote_ < *stop_at_;
  error.hint = core::Notice(
      "the quote at " +
      (is_kept ? "line " + std::to_string(whereabouts.line_at(*last_quote_)) + ", " + byte : byte) +
      " is never closed");
  return error;
}

std::unique_ptr<CheckPart> QuoteCheck::part(std::uint64_t offset) {
  if (!is_divisible_) return nullptr;
  return std::make_unique<Part>(*this, offset);
}

void QuoteCheck::take(const QuoteCheck& later) {
  const bool is_odd = quotes_ % 2 != 0;
  for (std::uint64_t mark = later.first_mark_; mark <= later.marks_; ++mark) {
    const bool is_later_odd = (later.parity_[mark / 64] >> (mark % 64) & 1) != 0;
    if (parity_.size() <= mark / 64) parity_.resize(mark / 64 + 1, 0);
    if (is_odd != is_later_odd) parity_[mark / 64] |= std::uint64_t{1} << (mark % 64);
  }
  quotes_ += later.quotes_;
  if (later.last_quote_) last_quote_ = later.last_quote_;
  seen_ = later.seen_;
  marks_ = std::max(marks_, later.marks_);
}

std::optional<bool> QuoteCheck::is_odd_before(std::uint64_t offset) const noexcept {
  const std::uint64_t mark = offset / mark_bytes_;
  if (mark == 0) return false;
  if (mark > marks_) return std::nullopt;
  return (parity_[mark / 64] >> (mark % 64) & 1) != 0;
}

// A line end outside quotes, by the parity of a mark, and the last such place in the buffer, so
// that the piece is as long as the buffer allows.
std::size_t QuoteCheck::find_cut(std::string_view buffer, std::uint64_t offset) const noexcept {
  const std::uint64_t end = offset + buffer.size();
  if (end == 0) return 0;
  for (std::uint64_t mark = (end - 1) / mark_bytes_ * mark_bytes_; mark > offset;
       mark -= mark_bytes_) {
    const std::optional<bool> is_odd = is_odd_before(mark);
    if (!is_odd) continue;
    bool quoted = *is_odd;
    for (std::size_t i = static_cast<std::size_t>(mark - offset); i < buffer.size(); ++i) {
      const char c = buffer[i];
      if (c == quote_) {
        quoted = !quoted;
      } else if (!quoted &&
                 (c == '\n' || (c == '\r' && i + 1 < buffer.size() && buffer[i + 1] != '\n'))) {
        return i + 1;
      }
    }
  }
  return 0;
}

// A line that starts with the comment character where no quoted field is open is a comment,
// whose quotes do not count; line ends are CR and LF alike, as the scanner has them.
std::uint64_t QuoteCheck::count_outside_comments(const char* p, const char* end,
                                                 std::uint64_t at) noexcept {
  std::uint64_t quotes = 0;
  for (const char* const start = p; p != end; ++p) {
    if (is_line_end(*p)) {
      at_line_start_ = true;
      in_comment_ = false;
      continue;
    }
    if (at_line_start_) {
      in_comment_ = (quotes_ + quotes) % 2 == 0 && *p == *comment_;
      at_line_start_ = false;
    }
    if (*p == quote_ && !in_comment_) {
      ++quotes;
      last_quote_ = at + static_cast<std::uint64_t>(p - start);
    }
  }
  return quotes;
}

void QuoteCheck::mark_parity(std::uint64_t mark) {
  if (parity_.size() <= mark / 64) parity_.resize(mark / 64 + 1, 0);
  if (quotes_ % 2 != 0) parity_[mark / 64] |= std::uint64_t{1} << (mark % 64);
  marks_ = mark;
}

}  // namespace morvel::readers::csv
