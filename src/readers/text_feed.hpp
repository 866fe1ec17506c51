#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/encoding.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "readers/piece_reader.hpp"

namespace morvel::readers {

// Bytes asked for per read of the input: few enough system calls, little memory.
inline constexpr std::size_t read_bytes = 1024 * 1024;

// A piece of the text, taken out of the feed: its bytes stay valid however the feed goes on.
struct Piece {
  core::ByteBuffer bytes;  // the text, when the feed reads it from a source
  std::string_view text;
  std::uint64_t offset = 0;  // of the text's first byte
  bool is_last = false;      // nothing follows
};

// The text of an input in order, through a window that reading widens and taking narrows: the
// input's own memory when it has it, else a buffer that holds what was read and not yet taken.
class TextFeed {
 public:
  // The text `held`, borrowed.
  explicit TextFeed(std::string_view held) noexcept : held_(held) {}
  // At most `limit` bytes of `source`, which is borrowed.
  TextFeed(core::ByteSource& source, std::uint64_t limit) noexcept
      : source_(&source), limit_(limit) {}
  TextFeed(const TextFeed&) = delete;  // one reading of the text
  TextFeed& operator=(const TextFeed&) = delete;

  // The text read and not yet taken, from offset(). Never fails.
  [[nodiscard]] std::string_view window() const noexcept {
    return source_ != nullptr ? buffer_.view() : held_.substr(offset_, window_);
  }
  // Where the window begins in the text. Never fails.
  [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
  // Whether the window runs to the end of the text. Never fails.
  [[nodiscard]] bool is_whole() const noexcept {
    return source_ != nullptr ? ended_ : offset_ + window_ == held_.size();
  }
  // Whether the text has been taken to its end. Never fails.
  [[nodiscard]] bool is_done() const noexcept { return is_whole() && window().empty(); }

  // How many bytes of text are left, window included, as far as the source can tell without
  // reading them; 0 when it cannot (a pipe). Never fails.
  [[nodiscard]] std::uint64_t known_rest() const noexcept;

  // Widens the window to at least `bytes` bytes, or to the end of the text. Unless `waits`, it
  // stops after a read that brings fewer bytes than asked for, as a pipe's does when it has no
  // more for now, and reads nothing while bytes of such a read wait to be worked on: a slow
  // stream's records are then worked on as they come. Fails as the source does, with what came
  // before the failure in the window, and again on every later call.
  [[nodiscard]] core::Status fill(std::size_t bytes, bool waits = true);

  // Whether the next read of the source would wait for the input to come. Never fails.
  [[nodiscard]] bool would_wait() const noexcept {
    return source_ != nullptr && !ended_ && !failure_ && source_->would_wait();
  }
  // Lets the next fill read although the window holds bytes not worked on: they were, and a
  // record needs more. Never fails.
  void want_more() noexcept { has_news_ = false; }

  // Reads all the rest of the text into the window: a regular file in parts on `threads`
  // threads, read at offsets, which also share the page faults of the fresh memory. Fails as the
  // source does, with what came before the failure in the window.
  [[nodiscard]] core::Status fill_all(unsigned threads);

  // Forgets the first `count` bytes of the window, worked on. Never fails.
  void drop(std::size_t count) noexcept;

  // Takes the first `count` bytes of the window as a piece. Throws std::bad_alloc when memory
  // runs out.
  [[nodiscard]] Piece take(std::size_t count);

  // Takes back the buffer of a piece that is done with, to read into again: fresh memory costs
  // a page fault per page. Never fails.
  void recycle(core::ByteBuffer&& bytes) noexcept;

  // Room for the buffers of the pieces in flight. Throws std::bad_alloc when memory runs out.
  void keep_spares(std::size_t count) { spares_.reserve(count); }

 private:
  core::Status read_part(char* into, std::uint64_t from, std::uint64_t to);
  core::ByteBuffer spare() noexcept;

  std::string_view held_;
  std::size_t window_ = 0;  // of the held text
  core::ByteSource* source_ = nullptr;
  std::uint64_t limit_ = std::numeric_limits<std::uint64_t>::max();
  core::ByteBuffer buffer_;
  std::uint64_t read_ = 0;
  bool ended_ = false;
  bool has_news_ = false;  // the last read was short, and nothing was taken since
  std::optional<core::Error> failure_;
  std::uint64_t offset_ = 0;
  std::vector<core::ByteBuffer> spares_;
};

// Positions in a text held in memory, which `decoded`, if given, decoded from the input. Both are
// borrowed; `decoded` finds input offsets by decoding the input again.
class HeldWhereabouts final : public Whereabouts {
 public:
  HeldWhereabouts(std::string_view text, core::DecodingSource* decoded) noexcept
      : text_(text), decoded_(decoded) {}
  std::uint64_t line_at(std::uint64_t offset) override;
  std::uint64_t input_offset(std::uint64_t offset) override {
    return decoded_ != nullptr ? decoded_->input_offset(offset) : offset;
  }

 private:
  std::string_view text_;
  core::DecodingSource* decoded_;
};

// Positions in a text read from `source`, which `decoded`, if given, decoded from the input; both
// are borrowed and read again from their start: they serve the message of a failure, which ends
// the reading.
class SourceWhereabouts final : public Whereabouts {
 public:
  explicit SourceWhereabouts(core::ByteSource& source,
                             core::DecodingSource* decoded = nullptr) noexcept
      : source_(source), decoded_(decoded) {}
  std::uint64_t line_at(std::uint64_t offset) override;
  std::uint64_t input_offset(std::uint64_t offset) override {
    return decoded_ != nullptr ? decoded_->input_offset(offset) : offset;
  }

 private:
  core::ByteSource& source_;
  core::DecodingSource* decoded_;
};

}  // namespace morvel::readers
