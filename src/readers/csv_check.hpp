#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "readers/options.hpp"
#include "readers/piece_reader.hpp"

namespace morvel::readers::csv {

// The first reading of a CSV input: the lines to skip, then the quote bytes of the rest, counted
// outside comment lines, whose number must be even. It also marks, every few kilobytes, whether
// the quotes before are odd, so that a piece's start can be guessed outside quotes.
class QuoteCheck final : public InputCheck {
 public:
  // The check of an input to be cut in pieces of about `piece_bytes` bytes, with `options`.
  QuoteCheck(const ReadOptions& options, std::size_t piece_bytes);

  void feed(std::string_view block) override;
  [[nodiscard]] core::Status outcome() const override;
  [[nodiscard]] std::optional<std::uint64_t> stop_at() const noexcept override { return stop_at_; }

  // Also looks for a byte that is not UTF-8 outside the lines to skip, for an input without
  // comment lines: the reading then stops at the end of its record. Never fails.
  void watch_utf8() noexcept { watches_utf8_ = !comment_; }
  // Comment lines and lines to skip are only known from the start, so with them the check goes
  // in one run.
  [[nodiscard]] std::unique_ptr<CheckPart> part(std::uint64_t offset) override;

  // Where a piece may begin in `buffer`, whose first byte is the text's byte `offset` and which
  // begins a record: the last line end after a mark that the quotes before it leave outside a
  // quoted field; 0 when there is none. Never fails.
  [[nodiscard]] std::size_t find_cut(std::string_view buffer, std::uint64_t offset) const noexcept;

  // `error`, the check's failure, with a hint at where the quote that is never closed opens: the
  // last quote counted, which pairing the quotes from the start, as the check does, leaves
  // alone; however the input was cut. `whereabouts` gives its line and byte. Any other error is
  // returned as it is. Never fails but for memory.
  [[nodiscard]] core::Error placed(core::Error error, Whereabouts& whereabouts) const;

 private:
  class Part;

  // The check of the input from `offset` on, `lines_to_skip` lines to skip first, marked every
  // `mark_bytes` bytes, counting `quote` bytes.
  QuoteCheck(std::uint64_t lines_to_skip, std::optional<char> comment, char quote,
             std::uint64_t mark_bytes, std::uint64_t offset);

  // Takes `later`, the check of the input that follows what this one was fed, as if this one had
  // been fed it too. Throws std::bad_alloc when memory runs out.
  void take(const QuoteCheck& later);
  // Whether the quotes before the text's byte `offset`, a multiple of mark_bytes_, are odd;
  // nothing when the first reading did not get there. Never fails.
  [[nodiscard]] std::optional<bool> is_odd_before(std::uint64_t offset) const noexcept;
  std::uint64_t count_outside_comments(const char* p, const char* end, std::uint64_t at) noexcept;
  void mark_parity(std::uint64_t mark);
  void watch(std::string_view block, std::uint64_t at);
  void seek_record_end(std::string_view block, std::uint64_t at) noexcept;

  std::uint64_t lines_to_skip_;
  std::optional<char> comment_;
  char quote_;
  bool is_divisible_;  // neither lines to skip nor comment lines
  std::uint64_t mark_bytes_;
  bool after_cr_ = false;
  bool at_line_start_ = true;
  bool in_comment_ = false;
  std::uint64_t seen_;
  std::uint64_t first_mark_;  // the first mark this check may reach
  std::uint64_t quotes_ = 0;
  std::optional<std::uint64_t> last_quote_;  // the offset of the last quote counted
  std::vector<std::uint64_t> parity_;        // bit per mark: odd quotes before it
  std::uint64_t marks_ = 0;                  // the last mark reached
  bool watches_utf8_ = false;
  std::string unfinished_;    // the first bytes of a character that the last block cut
  char before_block_ = '\0';  // the last byte of the block before, watched for UTF-8
  bool seeks_end_ = false;    // a byte that is not UTF-8 came; its record's end is looked for
  bool is_quoted_ = false;    // while seeking: inside a quoted field
  std::optional<std::uint64_t> stop_at_;
};

}  // namespace morvel::readers::csv
