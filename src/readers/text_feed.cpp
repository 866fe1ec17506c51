#include "readers/text_feed.hpp"

#include <algorithm>
#include <thread>
#include <utility>

#include "core/text.hpp"
#include "readers/signals_blocked.hpp"

namespace morvel::readers {

using core::ByteBuffer;
using core::Status;

std::uint64_t TextFeed::known_rest() const noexcept {
  if (source_ == nullptr) return held_.size() - offset_;
  if (ended_) return buffer_.size();
  const std::uint64_t unread = source_->size_hint();
  if (unread == 0) return 0;
  return buffer_.size() + std::min(unread, limit_ - read_);
}

Status TextFeed::fill(std::size_t bytes, bool waits) {
  if (source_ == nullptr) {
    window_ = std::max(window_, std::min<std::size_t>(bytes, held_.size() - offset_));
    return {};
  }
  // A source that failed once is not asked again: the failure stands for all the rest.
  if (failure_) return std::unexpected(*failure_);
  if (!waits && has_news_ && !buffer_.empty()) return {};
  has_news_ = false;
  while (!ended_ && buffer_.size() < bytes) {
    // No more than asked for and a read's worth: a buffer taken back from a long piece has room
    // for much more, and its pieces would be as long.
    const std::size_t asked = std::max(bytes - buffer_.size(), read_bytes);
    char* at = buffer_.room(asked);
    auto got = source_->read({at, asked});
    if (!got) {
      failure_ = got.error();
      return std::unexpected(std::move(got.error()));
    }
    buffer_.commit(at + *got);
    read_ += *got;
    // Bytes past the limit are not the text that was checked.
    if (read_ >= limit_) {
      buffer_.commit(buffer_.data() + buffer_.size() - (read_ - limit_));
      read_ = limit_;
    }
    ended_ = *got == 0 || read_ == limit_;
    if (*got < asked) {
      has_news_ = true;
      if (!waits) break;
    }
  }
  return {};
}

Status TextFeed::fill_all(unsigned threads) {
  if (source_ == nullptr) return fill(held_.size());
  ended_ = true;
  if (threads < 2 || !source_->reads_at()) return core::read_to_end(*source_, buffer_);
  const std::uint64_t start = read_;
  const std::uint64_t rest = source_->size_hint();
  char* const into = buffer_.room(rest) - start;
  std::vector<Status> outcomes(threads);
  {
    const SignalsBlocked blocked;
    std::vector<std::jthread> crew;
    for (unsigned i = 0; i < threads; ++i) {
      crew.emplace_back([&, i] {
        outcomes[i] = read_part(into, start + rest * i / threads, start + rest * (i + 1) / threads);
      });
    }
  }
  for (Status& outcome : outcomes) {
    if (!outcome) return outcome;
  }
  buffer_.commit(into + start + rest);
  read_ += rest;
  return {};
}

// Reads the text's bytes from `from` to `to` at offsets, to `into` + the same offsets.
Status TextFeed::read_part(char* into, std::uint64_t from, std::uint64_t to) {
  while (from < to) {
    auto got = source_->read_at(from, {into + from, static_cast<std::size_t>(to - from)});
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) return std::unexpected(core::invalid("the input could not be read"));
    from += *got;
  }
  return {};
}

void TextFeed::drop(std::size_t count) noexcept {
  if (count > 0) has_news_ = false;
  if (source_ != nullptr) {
    buffer_.drop_front(count);
  } else {
    window_ -= count;
  }
  offset_ += count;
}

Piece TextFeed::take(std::size_t count) {
  Piece piece;
  piece.offset = offset_;
  piece.is_last = is_whole() && count == window().size();
  if (source_ != nullptr) {
    // The piece keeps the buffer; what follows it starts the next one.
    piece.bytes = std::move(buffer_);
    buffer_ = spare();
    buffer_.append(piece.bytes.view().substr(count));
    piece.bytes.commit(piece.bytes.data() + count);
    piece.text = piece.bytes.view();
  } else {
    piece.text = held_.substr(offset_, count);
    window_ -= count;
  }
  offset_ += count;
  return piece;
}

void TextFeed::recycle(ByteBuffer&& bytes) noexcept {
  if (bytes.capacity() == 0 || spares_.size() == spares_.capacity()) return;
  bytes.clear();
  spares_.push_back(std::move(bytes));
}

ByteBuffer TextFeed::spare() noexcept {
  if (spares_.empty()) return {};
  ByteBuffer bytes = std::move(spares_.back());
  spares_.pop_back();
  return bytes;
}

std::uint64_t HeldWhereabouts::line_at(std::uint64_t offset) {
  return 1 + core::count_line_ends(text_.substr(0, offset));
}

std::uint64_t SourceWhereabouts::line_at(std::uint64_t offset) {
  core::LineEnds ends;
  if (!source_.rewind()) return 1;
  std::vector<char> block(read_bytes);
  while (offset > 0) {
    auto got = source_.read({block.data(), std::min<std::uint64_t>(block.size(), offset)});
    if (!got || *got == 0) break;
    ends.feed({block.data(), *got});
    offset -= *got;
  }
  return 1 + ends.count();
}

}  // namespace morvel::readers
