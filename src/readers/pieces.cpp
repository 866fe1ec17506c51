#include "readers/pieces.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "readers/csv.hpp"
#include "readers/json.hpp"

namespace morvel::readers {

namespace {

using core::ByteBuffer;
using core::ByteSource;
using core::Result;
using core::Row;
using core::RowSink;
using core::Status;

// Bytes asked for per read of the input: few enough system calls, little memory.
constexpr std::size_t read_bytes = 1024 * 1024;

// The pieces an input must have for them to go to other threads. Measured with pieces of 1 MiB
// on two threads: a CSV file of 4 MiB took 9.3 ms on two threads and 8.7 ms on one, of 8 MiB
// 14.4 ms and 17.1 ms.
constexpr std::size_t sharing_pieces = 6;

// No limit on the rows of a reading.
constexpr std::uint64_t all_rows = std::numeric_limits<std::uint64_t>::max();

// Signals go to the thread that reads, which checks in with the caller's monitor (a Ctrl-C must
// reach the Python interpreter's main thread): threads started within its life block them all.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before_);
  }
  SignalsBlocked(const SignalsBlocked&) = delete;  // restores once
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

 private:
  sigset_t before_;
};

// A piece of the text, taken out of the feed: its bytes stay valid however the feed goes on.
struct Piece {
  ByteBuffer bytes;  // the text, when the feed reads it from a source
  std::string_view text;
  std::uint64_t offset = 0;  // of the text's first byte
  bool is_last = false;      // nothing follows
};

// The text of an input in order, through a window that reading widens and taking narrows: the
// input's own memory when it has it, else a buffer that holds what was read and not yet taken.
class TextFeed {
 public:
  explicit TextFeed(std::string_view held) noexcept : held_(held) {}
  // At most `limit` bytes of `source`, which is borrowed.
  TextFeed(ByteSource& source, std::uint64_t limit) noexcept : source_(&source), limit_(limit) {}

  // The text read and not yet taken, from offset().
  [[nodiscard]] std::string_view window() const noexcept {
    return source_ != nullptr ? buffer_.view() : held_.substr(offset_, window_);
  }
  [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
  // Whether the window runs to the end of the text.
  [[nodiscard]] bool is_whole() const noexcept {
    return source_ != nullptr ? ended_ : offset_ + window_ == held_.size();
  }
  // Whether the text has been taken to its end.
  [[nodiscard]] bool is_done() const noexcept { return is_whole() && window().empty(); }

  // How many bytes of text are left, window included, as far as the source can tell without
  // reading them; 0 when it cannot (a pipe). Never fails.
  [[nodiscard]] std::uint64_t known_rest() const noexcept {
    if (source_ == nullptr) return held_.size() - offset_;
    if (ended_) return buffer_.size();
    const std::uint64_t unread = source_->size_hint();
    if (unread == 0) return 0;
    return buffer_.size() + std::min(unread, limit_ - read_);
  }

  // Widens the window to at least `bytes` bytes, or to the end of the text. Unless `waits`, it
  // stops after a read that brings fewer bytes than asked for, as a pipe's does when it has no
  // more for now, and reads nothing while bytes of such a read wait to be worked on: a slow
  // stream's records are then worked on as they come. Fails as the source does, with what came
  // before the failure in the window.
  Status fill(std::size_t bytes, bool waits = true) {
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

  // Lets the next fill read although the window holds bytes not worked on: they were, and a
  // record needs more. Never fails.
  void want_more() noexcept { has_news_ = false; }

  // Reads all the rest of the text into the window: a regular file in parts on `threads`
  // threads, read at offsets, which also share the page faults of the fresh memory. Fails as the
  // source does, with what came before the failure in the window.
  Status fill_all(unsigned threads) {
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
          outcomes[i] =
              read_part(into, start + rest * i / threads, start + rest * (i + 1) / threads);
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
  Status read_part(char* into, std::uint64_t from, std::uint64_t to) {
    while (from < to) {
      auto got = source_->read_at(from, {into + from, static_cast<std::size_t>(to - from)});
      if (!got) return std::unexpected(std::move(got.error()));
      if (*got == 0) return std::unexpected(core::invalid("the input could not be read"));
      from += *got;
    }
    return {};
  }

  // Forgets the first `count` bytes of the window, worked on. Never fails.
  void drop(std::size_t count) noexcept {
    if (count > 0) has_news_ = false;
    if (source_ != nullptr) {
      buffer_.drop_front(count);
    } else {
      window_ -= count;
    }
    offset_ += count;
  }

  // Takes the first `count` bytes of the window as a piece. Throws std::bad_alloc when memory
  // runs out.
  Piece take(std::size_t count) {
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

  // Takes back the buffer of a piece that is done with, to read into again: fresh memory costs
  // a page fault per page. Never fails.
  void recycle(ByteBuffer&& bytes) noexcept {
    if (bytes.capacity() == 0 || spares_.size() == spares_.capacity()) return;
    bytes.clear();
    spares_.push_back(std::move(bytes));
  }

  // Room for the buffers of the pieces in flight. Throws std::bad_alloc when memory runs out.
  void keep_spares(std::size_t count) { spares_.reserve(count); }

 private:
  ByteBuffer spare() {
    if (spares_.empty()) return {};
    ByteBuffer bytes = std::move(spares_.back());
    spares_.pop_back();
    return bytes;
  }

  std::string_view held_;
  std::size_t window_ = 0;  // of the held text
  ByteSource* source_ = nullptr;
  std::uint64_t limit_ = std::numeric_limits<std::uint64_t>::max();
  ByteBuffer buffer_;
  std::uint64_t read_ = 0;
  bool ended_ = false;
  bool has_news_ = false;  // the last read was short, and nothing was taken since
  std::optional<core::Error> failure_;
  std::uint64_t offset_ = 0;
  std::vector<ByteBuffer> spares_;
};

// Positions in a text held in memory, which `decoded`, if given, decoded from the input.
class HeldWhereabouts final : public Whereabouts {
 public:
  HeldWhereabouts(std::string_view text, const core::Decoded* decoded) noexcept
      : text_(text), decoded_(decoded) {}
  std::uint64_t line_at(std::uint64_t offset) override {
    const std::string_view before = text_.substr(0, offset);
    return 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
  }
  std::uint64_t input_offset(std::uint64_t offset) override {
    return decoded_ != nullptr ? decoded_->input_offset(offset) : offset;
  }

 private:
  std::string_view text_;
  const core::Decoded* decoded_;
};

// Positions in a text read from `source`, which line_at() reads again from its start: it serves
// the message of a failure, which ends the reading.
class SourceWhereabouts final : public Whereabouts {
 public:
  explicit SourceWhereabouts(ByteSource& source) noexcept : source_(source) {}
  std::uint64_t line_at(std::uint64_t offset) override {
    std::uint64_t lines = 1;
    if (!source_.rewind()) return lines;
    std::vector<char> block(read_bytes);
    while (offset > 0) {
      auto got = source_.read({block.data(), std::min<std::uint64_t>(block.size(), offset)});
      if (!got || *got == 0) break;
      lines += static_cast<std::uint64_t>(std::count(block.begin(), block.begin() + *got, '\n'));
      offset -= *got;
    }
    return lines;
  }
  std::uint64_t input_offset(std::uint64_t offset) override { return offset; }

 private:
  ByteSource& source_;
};

// For the readers of other threads, whose messages are never shown.
class NoWhereabouts final : public Whereabouts {
 public:
  std::uint64_t line_at(std::uint64_t) override { return 0; }
  std::uint64_t input_offset(std::uint64_t) override { return 0; }
};

// A piece on its way through another thread.
struct Slot {
  Piece piece;
  std::unique_ptr<PieceOutput> output;
  PieceEnd end;
  bool is_read = false;  // the reading of the piece succeeded
  bool is_done = false;  // the thread is done with it; guarded by the crew's mutex
};

// The threads that read pieces, each with its own reader and worker.
class Crew {
 public:
  Crew(unsigned threads, const PieceReader& reader, PieceWork& work) {
    std::vector<std::pair<std::unique_ptr<PieceReader>, std::unique_ptr<PieceWorker>>> hands;
    for (unsigned i = 0; i < threads; ++i)
      hands.emplace_back(reader.clone(nowhere_), work.worker());
    const SignalsBlocked blocked;
    try {
      for (auto& [piece_reader, worker] : hands) {
        threads_.emplace_back(
            [this, r = std::move(piece_reader), w = std::move(worker)] { serve(*r, *w); });
      }
    } catch (...) {
      stop();
      throw;
    }
  }
  Crew(const Crew&) = delete;  // owns threads
  Crew& operator=(const Crew&) = delete;
  ~Crew() { stop(); }

  void submit(Slot& slot) {
    {
      const std::lock_guard lock(mutex_);
      queue_.push_back(&slot);
    }
    ready_.notify_one();
  }

  void wait(const Slot& slot) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return slot.is_done; });
  }

 private:
  void stop() noexcept {
    {
      const std::lock_guard lock(mutex_);
      is_stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  void serve(PieceReader& reader, PieceWorker& worker) {
    for (;;) {
      Slot* slot;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return is_stopping_ || !queue_.empty(); });
        if (is_stopping_) return;
        slot = queue_.front();
        queue_.pop_front();
      }
      read_piece(reader, worker, *slot);
      {
        const std::lock_guard lock(mutex_);
        slot->is_done = true;
      }
      done_.notify_all();
    }
  }

  // Whatever goes wrong here is found again, and reported, when the reading's own thread reads
  // the piece once more.
  static void read_piece(PieceReader& reader, PieceWorker& worker, Slot& slot) noexcept {
    try {
      worker.start();
      auto take = [&](Row&& row) { return worker.take(std::move(row)); };
      const Place guess{slot.piece.offset, 0, 0, 0};
      slot.is_read =
          reader.read(slot.piece.text, guess, slot.piece.is_last, take, all_rows, slot.end)
              .has_value();
      slot.output = worker.finish();
    } catch (...) {
      slot.is_read = false;
    }
  }

  NoWhereabouts nowhere_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable done_;
  std::deque<Slot*> queue_;
  bool is_stopping_ = false;
  std::vector<std::thread> threads_;
};

// One reading of the records of a text: the head, the first rows on this thread, then the
// pieces, on this thread or on the crew's.
class Reading {
 public:
  Reading(PieceReader& reader, PieceWork& work, core::Monitor* monitor, const ReadPlan& plan)
      : reader_(reader), work_(work), checkpoints_(monitor), plan_(plan) {}

  Status run(TextFeed& feed) {
    if (reader_.has_head()) {
      if (auto head = read_head(feed); !head) return head;
    }
    auto is_shared = is_worth_sharing(feed);
    if (!is_shared) return std::unexpected(std::move(is_shared.error()));
    Status read = *is_shared ? read_shared(feed) : read_here(feed, all_rows);
    if (!read) return read;
    reader_.finish(total_);
    return {};
  }

 private:
  // A failed read is left for read_here() to report, after the records before it.
  Status read_head(TextFeed& feed) {
    std::size_t want = plan_.piece_bytes;
    for (;;) {
      Status filled = feed.fill(want, false);
      auto head = reader_.read_head(feed.window(), filled && feed.is_whole());
      if (!head) return std::unexpected(std::move(head.error()));
      if (*head) {
        feed.drop(**head);
        place_.offset = feed.offset();
        return {};
      }
      if (!filled) return filled;
      want = 2 * feed.window().size();
      feed.want_more();
    }
  }

  // Whether the rest of the text goes to other threads, after the first row, read here: the work
  // learns from it what the other threads need. A text of fewer than sharing_pieces pieces is
  // read here: the threads would cost more than they save.
  Result<bool> is_worth_sharing(TextFeed& feed) {
    if (plan_.threads < 2) return false;
    while (!work_.can_share() && !feed.is_done()) {
      if (auto first = read_here(feed, 1); !first) return std::unexpected(std::move(first.error()));
    }
    // A failed read is reported by read_here(), after the records before it.
    if (!work_.can_share()) return false;
    const std::size_t least = sharing_pieces * plan_.piece_bytes;
    // Reading ahead to find out copies what was read on as it is cut into pieces: a file says
    // how long it is.
    if (const std::uint64_t rest = feed.known_rest(); rest > 0) return rest >= least;
    return feed.fill(least).has_value() && !feed.is_whole();
  }

  // Reads pieces of the feed on this thread until `most_rows` rows were handed over or the text
  // ends. The complete records before a failed read are read before the failure is reported.
  Status read_here(TextFeed& feed, std::uint64_t most_rows) {
    std::size_t want = plan_.piece_bytes;
    std::uint64_t rows = 0;
    while (rows < most_rows) {
      Status filled = feed.fill(want, false);
      if (filled && feed.is_done()) return {};
      const std::string_view window = feed.window();
      PieceEnd end;
      Status read = reader_.read(window, place_, filled && feed.is_whole(), work_.direct(),
                                 most_rows - rows, end);
      advance(end);
      feed.drop(end.read_through);
      if (!read) {
        work_.stopped(place_, reader_);
        return read;
      }
      if (!filled) return filled;
      rows += end.rows;
      // A record longer than the window needs a wider one.
      want = plan_.piece_bytes;
      if (end.read_through == 0 && end.rows == 0) {
        want = 2 * window.size();
        feed.want_more();
      }
      if (auto go_on = checkpoints_.reached(place_.offset); !go_on) return go_on;
    }
    return {};
  }

  // Cuts the feed into pieces that the crew reads ahead, and takes their outputs in order. A
  // piece whose reading failed, or that did not begin where the piece before ended, is read
  // again here, from where that one ended, with the text between them.
  Status read_shared(TextFeed& feed) {
    const std::size_t depth = plan_.threads + 1;
    std::deque<std::unique_ptr<Slot>> slots;  // before the crew, which must stop first
    feed.keep_spares(depth + 1);
    Crew crew(plan_.threads, reader_, work_);
    std::optional<core::Error> failure;  // of a read, reported after the records before it
    for (;;) {
      while (slots.size() < depth && !feed.is_done() && !failure) {
        auto piece = cut(feed);
        if (!piece) {
          failure = std::move(piece.error());
          break;
        }
        slots.push_back(std::make_unique<Slot>());
        slots.back()->piece = std::move(*piece);
        crew.submit(*slots.back());
      }
      if (slots.empty()) {
        if (!failure) return {};
        if (auto read = read_again(feed.window(), false); !read) return read;
        return std::unexpected(std::move(*failure));
      }
      Slot& slot = *slots.front();
      crew.wait(slot);
      if (auto taken = take(slot); !taken) return taken;
      feed.recycle(std::move(slot.piece.bytes));
      work_.reuse(std::move(slot.output));
      slots.pop_front();
      if (auto go_on = checkpoints_.reached(place_.offset); !go_on) return go_on;
    }
  }

  // Takes the output of `slot`, the next piece, when its reading began where the reading before
  // ended; reads the piece again here otherwise.
  Status take(Slot& slot) {
    if (!slot.is_read || !reader_.continues(between_.view())) {
      return read_again(slot.piece.text, slot.piece.is_last);
    }
    if (auto taken = work_.commit(*slot.output, slot.end); !taken) return taken;
    // A piece that read nothing through (blank lines only) leaves the next search where it was,
    // and the piece's text joins the text between.
    if (slot.end.read_through > 0) {
      place_.offset = slot.piece.offset;
      between_.clear();
    }
    advance(slot.end);
    between_.append(slot.piece.text.substr(slot.end.read_through));
    return {};
  }

  // Reads `text`, which follows the text between, here, from where the last reading ended.
  Status read_again(std::string_view text, bool is_last) {
    again_.clear();
    again_.append(between_.view());
    again_.append(text);
    PieceEnd end;
    Status read = reader_.read(again_.view(), place_, is_last, work_.direct(), all_rows, end);
    advance(end);
    if (!read) {
      work_.stopped(place_, reader_);
      return read;
    }
    between_.clear();
    between_.append(again_.view().substr(end.read_through));
    return read;
  }

  // The next piece: about plan_.piece_bytes long, ending where the reader guesses a record ends.
  Result<Piece> cut(TextFeed& feed) {
    std::size_t want = plan_.piece_bytes;
    for (;;) {
      if (auto filled = feed.fill(want); !filled) return std::unexpected(std::move(filled.error()));
      const std::string_view window = feed.window();
      const bool holds_rest = feed.is_whole() && window.size() <= want;
      if (holds_rest) return feed.take(window.size());
      // The cut is looked for in the first `want` bytes only, however much the window holds.
      if (const std::size_t at = reader_.find_cut(window.substr(0, want), feed.offset()); at > 0) {
        return feed.take(at);
      }
      want *= 2;
    }
  }

  void advance(const PieceEnd& end) noexcept {
    place_.offset += end.read_through;
    place_.record += end.records;
    place_.line += end.lines;
    place_.padded += end.padded;
    total_.add_counts(end);
  }

  PieceReader& reader_;
  PieceWork& work_;
  core::Checkpoints checkpoints_;
  ReadPlan plan_;
  Place place_;
  PieceEnd total_;
  ByteBuffer between_;  // the text from place_.offset up to the next piece's
  ByteBuffer again_;    // the text of a piece read again here
};

// Feeds `part` the bytes of the input from `from` to `to`, which `read_at(offset, block)` reads.
// `on_block`, given the bytes done so far, may stop the part with its error.
template <class ReadAt, class OnBlock>
Status feed_part(PieceReader::CheckPart& part, std::uint64_t from, std::uint64_t to,
                 ReadAt& read_at, OnBlock on_block) {
  while (from < to) {
    auto block = read_at(from, std::min<std::uint64_t>(to - from, read_bytes));
    if (!block) return std::unexpected(std::move(block.error()));
    part.feed(*block);
    from += block->size();
    if (auto go_on = on_block(from); !go_on) return go_on;
  }
  return {};
}

// The first reading in parts on the threads of `plan`, when the reader can split it and the
// input is large enough (parts of fewer than four pieces are not worth a thread); false when it
// is left to one thread. `read_at(offset, size)` gives the bytes of
// each block, on any thread: each thread has its own copy of it. The part on this thread tells the
// monitor of the progress, as if every part went at its pace.
template <class ReadAt>
Result<bool> check_in_parts(PieceReader& reader, std::uint64_t size, const ReadPlan& plan,
                            core::Monitor* monitor, const ReadAt& read_at) {
  const std::uint64_t least_part_bytes = 4 * std::uint64_t{plan.piece_bytes};
  if (plan.threads < 2 || size < 2 * least_part_bytes) return false;
  const auto parts_count =
      static_cast<unsigned>(std::min<std::uint64_t>(plan.threads, size / least_part_bytes));
  std::vector<std::unique_ptr<PieceReader::CheckPart>> parts;
  for (unsigned i = 0; i < parts_count; ++i) {
    parts.push_back(reader.check_part(size * i / parts_count));
    if (!parts.back()) return false;
  }
  std::vector<Status> outcomes(parts_count);
  std::atomic<bool> is_stopped = false;
  {
    std::vector<std::jthread> crew;
    {
      const SignalsBlocked blocked;
      for (unsigned i = 1; i < parts_count; ++i) {
        crew.emplace_back([&, i, read = read_at] mutable {
          outcomes[i] =
              feed_part(*parts[i], size * i / parts_count, size * (i + 1) / parts_count, read,
                        [&](std::uint64_t) {
                          return is_stopped ? Status{std::unexpected(core::invalid(""))} : Status{};
                        });
        });
      }
    }
    core::Checkpoints checking(monitor, core::Stage::Checking);
    ReadAt read = read_at;
    outcomes[0] = feed_part(*parts[0], 0, size / parts_count, read, [&](std::uint64_t done) {
      return checking.reached(done * parts_count);
    });
    if (!outcomes[0]) is_stopped = true;
  }
  for (unsigned i = 0; i < parts_count; ++i) {
    if (!outcomes[i]) return std::unexpected(std::move(outcomes[i].error()));
    reader.take_part(*parts[i]);
  }
  if (auto checked = reader.checked(); !checked) return std::unexpected(checked.error());
  return true;
}

// The first reading of a text whose reader checks it whole first, block by block.
Status check_held(PieceReader& reader, std::string_view text, core::Monitor* monitor,
                  const ReadPlan& plan) {
  auto slice = [text](std::uint64_t offset, std::uint64_t size) -> Result<std::string_view> {
    return text.substr(offset, size);
  };
  auto in_parts = check_in_parts(reader, text.size(), plan, monitor, slice);
  if (!in_parts) return std::unexpected(std::move(in_parts.error()));
  if (*in_parts) return {};
  core::Checkpoints checking(monitor, core::Stage::Checking);
  for (std::size_t at = 0; at < text.size(); at += read_bytes) {
    reader.check(text.substr(at, read_bytes));
    if (auto go_on = checking.reached(at); !go_on) return go_on;
  }
  return reader.checked();
}

// The first reading of `source` to its end; returns how many bytes it had. A regular file is read
// in parts on the threads of the plan.
Result<std::uint64_t> check_read(PieceReader& reader, ByteSource& source, core::Monitor* monitor,
                                 const ReadPlan& plan) {
  if (source.reads_at()) {
    const std::uint64_t size = source.size_hint();
    // Each thread reads into a block of its own, made when it first reads.
    auto read_block = [&source, block = std::vector<char>()](
                          std::uint64_t offset,
                          std::uint64_t count) mutable -> Result<std::string_view> {
      block.resize(read_bytes);
      auto got = source.read_at(offset, {block.data(), static_cast<std::size_t>(count)});
      if (!got) return std::unexpected(std::move(got.error()));
      if (*got == 0) return std::unexpected(core::invalid("the input could not be read"));
      return std::string_view(block.data(), *got);
    };
    auto in_parts = check_in_parts(reader, size, plan, monitor, read_block);
    if (!in_parts) return std::unexpected(std::move(in_parts.error()));
    if (*in_parts) return size;
  }
  core::Checkpoints checking(monitor, core::Stage::Checking);
  // Read into without zeroing it first.
  ByteBuffer buffer;
  const std::span<char> block(buffer.room(read_bytes), read_bytes);
  std::uint64_t total = 0;
  for (;;) {
    auto got = source.read(block);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) break;
    reader.check({block.data(), *got});
    total += *got;
    if (auto go_on = checking.reached(total); !go_on) return std::unexpected(go_on.error());
  }
  if (auto checked = reader.checked(); !checked) return std::unexpected(checked.error());
  return total;
}

// The work of a reading on one thread, into one sink.
class DirectWork final : public PieceWork {
 public:
  explicit DirectWork(RowSink sink) noexcept : sink_(sink) {}
  RowSink direct() override { return sink_; }
  bool can_share() const override { return false; }
  std::unique_ptr<PieceWorker> worker() override { return nullptr; }
  Status commit(PieceOutput&, const PieceEnd&) override { return {}; }

 private:
  RowSink sink_;
};

std::unique_ptr<PieceReader> make_reader(Format format, const ReadOptions& options,
                                         core::Monitor* monitor, Whereabouts& whereabouts,
                                         bool is_decoded, const ReadPlan& plan) {
  return format == Format::Csv
             ? csv_reader(options, monitor, whereabouts, is_decoded, plan.piece_bytes)
             : json_lines_reader(options, whereabouts, is_decoded);
}

// An array, `text`, held whole and checked before its elements are read in pieces.
Status read_array(std::string_view text, std::optional<core::Error> read_failure,
                  const ReadOptions& options, core::Monitor* monitor, Whereabouts* decoded,
                  PieceWork& work, const ReadPlan& plan) {
  std::vector<std::size_t> starts;
  if (auto checked = check_json_array(text, std::move(read_failure), monitor, options, decoded,
                                      starts, std::max<std::size_t>(plan.piece_bytes / 8, 1));
      !checked) {
    return checked;
  }
  auto reader = json_array_reader(text, starts, options, decoded);
  TextFeed feed(text);
  return Reading(*reader, work, monitor, plan).run(feed);
}

// An input in another encoding, decoded and held whole; the text of its records is what could
// be decoded. A CSV input with a byte the encoding does not allow fails before any record, so
// does a JSON array; JSON lines before the line that holds the byte are read.
Status read_decoded(ByteSource& source, Format format, const ReadOptions& options,
                    core::Monitor* monitor, PieceWork& work, const ReadPlan& plan) {
  ByteBuffer owned;
  std::string_view input;
  if (const auto held = source.contiguous()) {
    input = *held;
  } else {
    if (auto read = core::read_to_end(source, owned); !read) return read;
    input = owned.view();
  }
  auto decoded = core::decode(input, *options.encoding);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  std::string_view text = decoded->text();
  HeldWhereabouts whereabouts(text, &*decoded);
  const auto breaks = [](std::string_view part) {
    return static_cast<std::uint64_t>(std::count(part.begin(), part.end(), '\n'));
  };
  const bool is_invalid = decoded->invalid_at().has_value();
  if (format == Format::Csv && is_invalid) {
    return std::unexpected(csv_undecodable(text, *decoded, options));
  }
  if (format == Format::Json && !text.empty() && text.front() == '[') {
    if (is_invalid) return std::unexpected(json_undecodable(*decoded, 1 + breaks(text)));
    return read_array(text, std::nullopt, options, monitor, &whereabouts, work, plan);
  }
  // Only the complete lines before the bad byte are read.
  if (is_invalid)
    text = text.substr(0, text.rfind('\n') == std::string_view::npos ? 0 : text.rfind('\n') + 1);
  auto reader = make_reader(format, options, monitor, whereabouts, true, plan);
  if (reader->needs_check()) {
    if (auto checked = check_held(*reader, text, monitor, plan); !checked) {
      return checked;
    }
  }
  TextFeed feed(text);
  if (auto read = Reading(*reader, work, monitor, plan).run(feed); !read) return read;
  if (is_invalid) return std::unexpected(json_undecodable(*decoded, 1 + breaks(text)));
  return {};
}

// A JSON input: an array, held whole and checked before its first row, or lines, read in pieces.
Status read_json(ByteSource& source, const ReadOptions& options, core::Monitor* monitor,
                 PieceWork& work, const ReadPlan& plan) {
  HeldWhereabouts unused({}, nullptr);
  auto reader = json_lines_reader(options, unused, false);
  if (const auto held = source.contiguous()) {
    if (!held->empty() && held->front() == '[') {
      return read_array(*held, std::nullopt, options, monitor, nullptr, work, plan);
    }
    TextFeed feed(*held);
    return Reading(*reader, work, monitor, plan).run(feed);
  }
  TextFeed feed(source, std::numeric_limits<std::uint64_t>::max());
  // An empty input has no rows; an input that cannot be read at all is as much an error as one
  // that fails later.
  if (auto first = feed.fill(1); !first) return first;
  if (feed.is_done() || feed.window().front() != '[') {
    return Reading(*reader, work, monitor, plan).run(feed);
  }
  // A read that fails after the first is reported once the bytes before it are parsed.
  std::optional<core::Error> read_failure;
  if (auto rest = feed.fill_all(plan.threads); !rest) read_failure = std::move(rest.error());
  return read_array(feed.window(), std::move(read_failure), options, monitor, nullptr, work, plan);
}

// The size up to which a CSV file is held rather than read twice.
constexpr std::uint64_t most_held_bytes = 8 * 1024 * 1024;

// A CSV input: read once to check its quotes, then again for its records. A source that cannot
// go back is kept in a temporary file for the second reading, and the second reads no more than
// the first checked.
Status read_csv(ByteSource& source, const ReadOptions& options, core::Monitor* monitor,
                PieceWork& work, const ReadPlan& plan) {
  std::optional<std::string_view> held = source.contiguous();
  // A small file is read once and held: reading it again cost more than the memory, measured on
  // files of a few megabytes.
  ByteBuffer small;
  if (!held && source.reads_at() && source.size_hint() <= most_held_bytes) {
    if (auto read = core::read_to_end(source, small); !read) return read;
    held = small.view();
  }
  if (held) {
    HeldWhereabouts whereabouts(*held, nullptr);
    auto reader = csv_reader(options, monitor, whereabouts, false, plan.piece_bytes);
    if (auto checked = check_held(*reader, *held, monitor, plan); !checked) {
      return checked;
    }
    TextFeed feed(*held);
    return Reading(*reader, work, monitor, plan).run(feed);
  }
  core::ReplayableSource replayable(source);
  SourceWhereabouts whereabouts(replayable);
  auto reader = csv_reader(options, monitor, whereabouts, false, plan.piece_bytes);
  auto size = check_read(*reader, replayable, monitor, plan);
  if (!size) return std::unexpected(std::move(size.error()));
  if (!replayable.rewind()) {
    return std::unexpected(core::invalid("the input could not be read a second time"));
  }
  TextFeed feed(replayable, *size);
  return Reading(*reader, work, monitor, plan).run(feed);
}

}  // namespace

Status read_input(ByteSource& source, Format format, const ReadOptions& options,
                  core::Monitor* monitor, PieceWork& work, const ReadPlan& plan) {
  if (options.encoding) return read_decoded(source, format, options, monitor, work, plan);
  return format == Format::Csv ? read_csv(source, options, monitor, work, plan)
                               : read_json(source, options, monitor, work, plan);
}

Status read_input(ByteSource& source, Format format, const ReadOptions& options,
                  core::Monitor* monitor, RowSink sink) {
  DirectWork work(sink);
  return read_input(source, format, options, monitor, work, ReadPlan{1});
}

}  // namespace morvel::readers
