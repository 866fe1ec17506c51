#include "readers/pieces.hpp"

#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "readers/signals_blocked.hpp"

namespace morvel::readers {

namespace {

using core::ByteBuffer;
using core::Result;
using core::Row;
using core::RowSink;
using core::Status;

// No limit on the rows of a reading.
constexpr std::uint64_t all_rows = std::numeric_limits<std::uint64_t>::max();

// The pieces' worth of text in which a cut is looked for before the record at the window's start
// is taken for a long one, read on the reading's own thread.
constexpr std::size_t long_record_pieces = 8;

// For the readers of other threads, whose messages are never shown.
class NoWhereabouts final : public Whereabouts {
 public:
  std::uint64_t line_at(std::uint64_t) override { return 0; }
  std::uint64_t input_offset(std::uint64_t) override { return 0; }
};

// A piece on its way through another thread.
struct Flight {
  Piece piece;
  std::size_t output = 0;  // the slot of the work's outputs it fills
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

  void submit(Flight& flight) {
    {
      const std::lock_guard lock(mutex_);
      queue_.push_back(&flight);
    }
    ready_.notify_one();
  }

  void wait(const Flight& flight) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return flight.is_done; });
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
      Flight* flight;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return is_stopping_ || !queue_.empty(); });
        if (is_stopping_) return;
        flight = queue_.front();
        queue_.pop_front();
      }
      read_piece(reader, worker, *flight);
      {
        const std::lock_guard lock(mutex_);
        flight->is_done = true;
      }
      done_.notify_all();
    }
  }

  // Whatever goes wrong here is found again, and reported, when the reading's own thread reads
  // the piece once more.
  static void read_piece(PieceReader& reader, PieceWorker& worker, Flight& flight) noexcept {
    try {
      worker.start(flight.output);
      auto take = [&](Row&& row) { return worker.take(std::move(row)); };
      const Place guess{flight.piece.offset, 0, 0, 0};
      flight.is_read =
          reader.read(flight.piece.text, guess, flight.piece.is_last, take, all_rows, flight.end)
              .has_value();
    } catch (...) {
      flight.is_read = false;
    }
  }

  NoWhereabouts nowhere_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable done_;
  std::deque<Flight*> queue_;
  bool is_stopping_ = false;
  std::vector<std::thread> threads_;
};

// One reading of the records of a text: the head, the first rows on this thread, then the
// pieces, on this thread or on the crew's.
class Reading {
 public:
  // Rows read here go to `direct`; pieces go to other threads only with a `work`, which it
  // borrows.
  Reading(PieceReader& reader, RowSink direct, PieceWork* work, core::Monitor* monitor,
          const ReadPlan& plan)
      : reader_(reader), direct_(direct), work_(work), checkpoints_(monitor), plan_(plan) {}

  Result<PieceEnd> run(TextFeed& feed) {
    if (auto head = read_head(feed); !head) return std::unexpected(std::move(head.error()));
    auto is_shared = is_worth_sharing(feed);
    if (!is_shared) return std::unexpected(std::move(is_shared.error()));
    Status read = *is_shared ? read_shared(feed) : read_here(feed, all_rows);
    if (!read) return std::unexpected(std::move(read.error()));
    return total_;
  }

 private:
  // A failed read is left for read_here() to report, after the records before it.
  Status read_head(TextFeed& feed) {
    std::size_t want = plan_.limits.piece_bytes;
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
    if (work_ == nullptr || plan_.threads < 2) return false;
    while (!work_->can_share() && !feed.is_done()) {
      if (auto first = read_here(feed, 1); !first) return std::unexpected(std::move(first.error()));
    }
    // A failed read is reported by read_here(), after the records before it.
    if (!work_->can_share()) return false;
    const std::size_t least = plan_.limits.sharing_pieces * plan_.limits.piece_bytes;
    // Reading ahead to find out copies what was read on as it is cut into pieces: a file says
    // how long it is.
    if (const std::uint64_t rest = feed.known_rest(); rest > 0) return rest >= least;
    // A stream that keeps us waiting before it has given that much may go on for long: it is
    // shared, and its records are read here whenever it waits.
    while (feed.window().size() < least && !feed.is_whole()) {
      if (feed.would_wait()) return true;
      feed.want_more();
      if (!feed.fill(least, false)) return false;
    }
    return !feed.is_whole();
  }

  // Reads pieces of the feed on this thread until `most_rows` rows were handed over or the text
  // ends. The complete records before a failed read are read before the failure is reported.
  Status read_here(TextFeed& feed, std::uint64_t most_rows) {
    std::size_t want = plan_.limits.piece_bytes;
    std::uint64_t rows = 0;
    while (rows < most_rows) {
      Status filled = feed.fill(want, false);
      if (filled && feed.is_done()) return {};
      const std::string_view window = feed.window();
      PieceEnd end;
      Status read =
          reader_.read(window, place_, filled && feed.is_whole(), direct_, most_rows - rows, end);
      advance(end);
      feed.drop(end.read_through);
      if (!read) return stop(read);
      if (!filled) return filled;
      rows += end.rows;
      // A record longer than the window needs a wider one.
      want = plan_.limits.piece_bytes;
      if (end.read_through == 0 && end.rows == 0) {
        // The window widened by the wait holds the record's end, unless the reader cannot tell.
        Looked looked;
        if (auto awaited = await_end(feed, looked); !awaited) return stop(awaited);
        want = std::max(feed.window().size(), 2 * window.size());
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
    std::deque<std::unique_ptr<Flight>> flights;  // before the crew, which must stop first
    feed.keep_spares(depth + 1);
    work_->make_slots(depth);
    Crew crew(plan_.threads, reader_, *work_);
    // Piece n fills output n % depth, whose piece before, n - depth, was taken.
    std::size_t submitted = 0;
    std::optional<core::Error> failure;  // of a read, reported after the records before it
    for (;;) {
      bool is_waiting = false;
      while (flights.size() < depth && !feed.is_done() && !failure && !is_waiting) {
        auto piece = cut(feed);
        if (!piece) {
          failure = std::move(piece.error());
          break;
        }
        if (!*piece) {
          is_waiting = true;
          break;
        }
        flights.push_back(std::make_unique<Flight>());
        flights.back()->piece = std::move(**piece);
        flights.back()->output = submitted++ % depth;
        crew.submit(*flights.back());
      }
      if (flights.empty() && is_waiting) {
        if (auto caught_up = catch_up(feed); !caught_up) return caught_up;
        continue;
      }
      if (flights.empty()) {
        if (!failure) return {};
        if (auto read = read_again(feed.window(), false); !read) return read;
        return std::unexpected(std::move(*failure));
      }
      Flight& flight = *flights.front();
      crew.wait(flight);
      if (auto taken = take(flight); !taken) return taken;
      feed.recycle(std::move(flight.piece.bytes));
      flights.pop_front();
      if (auto go_on = checkpoints_.reached(place_.offset); !go_on) return go_on;
    }
  }

  // Takes the output of `flight`, the next piece, when its reading began where the reading before
  // ended; reads the piece again here otherwise.
  Status take(Flight& flight) {
    if (!flight.is_read || !reader_.continues(between_.view())) {
      return read_again(flight.piece.text, flight.piece.is_last);
    }
    if (auto taken = work_->commit(flight.output, flight.end); !taken) return taken;
    // A piece that read nothing through (blank lines only) leaves the next search where it was,
    // and the piece's text joins the text between.
    if (flight.end.read_through > 0) {
      place_.offset = flight.piece.offset;
      between_.clear();
    }
    advance(flight.end);
    between_.append(flight.piece.text.substr(flight.end.read_through));
    return {};
  }

  // Reads `text`, which follows the text between, here, from where the last reading ended.
  Status read_again(std::string_view text, bool is_last) {
    again_.clear();
    again_.append(between_.view());
    again_.append(text);
    PieceEnd end;
    Status read = reader_.read(again_.view(), place_, is_last, direct_, all_rows, end);
    advance(end);
    if (!read) return stop(read);
    between_.clear();
    between_.append(again_.view().substr(end.read_through));
    return read;
  }

  // The pieces taken, a stream that keeps us waiting has its records read here, from what the
  // window holds, before the wait: the source then hears that it is idle, with everything before
  // the wait written.
  Status catch_up(TextFeed& feed) {
    // Nothing is in flight: a record that begins the window begins where the reading stands.
    if (between_.empty() && !feed.window().empty()) {
      Looked looked;
      auto may_end = reader_.may_end(feed.window(), place_, looked);
      if (!may_end) return stop(std::unexpected(std::move(may_end.error())));
      if (!*may_end) {
        if (auto awaited = await_end(feed, looked); !awaited) return stop(awaited);
      }
    }
    if (!feed.window().empty()) {
      Piece piece = feed.take(feed.window().size());
      Status read = read_again(piece.text, piece.is_last);
      feed.recycle(std::move(piece.bytes));
      if (!read) return read;
    }
    feed.want_more();
    // A failed read is reported by the next cut, after the records before it.
    (void)feed.fill(1);
    return {};
  }

  // Widens the window, waiting for the stream, until the reader says that the record at its start,
  // at place_, which the window does not end, may end in it, or the text ends. Fails as the reader
  // judges the record, `looked` far already. A failed read is left for the next fill to report,
  // after the records before it: a record it cuts short is never judged.
  Status await_end(TextFeed& feed, Looked& looked) {
    for (;;) {
      feed.want_more();
      if (!feed.fill(feed.window().size() + 1) || feed.is_whole()) return {};
      auto may_end = reader_.may_end(feed.window(), place_, looked);
      if (!may_end) return std::unexpected(std::move(may_end.error()));
      if (*may_end) return {};
    }
  }

  // The next piece: about piece_bytes long, ending where the reader guesses a record ends; nothing
  // when a stream keeps us waiting before the window holds one, or when no record ends within
  // long_record_pieces pieces: such a record is judged as it comes by catch_up(), as a waiting
  // stream's is, so that a line that can never become valid is refused without being held whole
  // however fast its writer is.
  Result<std::optional<Piece>> cut(TextFeed& feed) {
    std::size_t want = plan_.limits.piece_bytes;
    for (;;) {
      while (feed.window().size() < want && !feed.is_whole()) {
        if (feed.would_wait()) return std::nullopt;
        feed.want_more();
        if (auto filled = feed.fill(want, false); !filled) {
          return std::unexpected(std::move(filled.error()));
        }
      }
      const std::string_view window = feed.window();
      const bool holds_rest = feed.is_whole() && window.size() <= want;
      if (holds_rest) return feed.take(window.size());
      // The cut is looked for in the first `want` bytes only, however much the window holds.
      if (const std::size_t at = reader_.find_cut(window.substr(0, want), feed.offset()); at > 0) {
        return feed.take(at);
      }
      if (!feed.is_whole() && want >= long_record_pieces * plan_.limits.piece_bytes) {
        return std::nullopt;
      }
      want *= 2;
    }
  }

  // Tells the work where the reading stopped, at the start of the record that failed, and passes
  // the failure on.
  Status stop(Status failed) {
    if (work_ != nullptr) work_->stopped(place_, reader_);
    return failed;
  }

  // Warns of each key that a record repeats the first time a piece, in input order, holds it.
  void advance(const PieceEnd& end) {
    for (const RepeatedKey& key : end.repeated_keys) {
      if (checkpoints_.monitor() == nullptr || !warned_keys_.insert(key.name).second) continue;
      checkpoints_.monitor()->warn("record " + std::to_string(place_.record + key.record + 1) +
                                   " repeats the key '" + key.name +
                                   "' in an object; the last value is kept");
    }
    place_.offset += end.read_through;
    place_.record += end.records;
    place_.line += end.lines;
    place_.padded += end.padded;
    total_.add_counts(end);
  }

  PieceReader& reader_;
  RowSink direct_;
  PieceWork* work_;
  core::Checkpoints checkpoints_;
  ReadPlan plan_;
  Place place_;
  PieceEnd total_;
  std::unordered_set<std::string> warned_keys_;
  ByteBuffer between_;  // the text from place_.offset up to the next piece's
  ByteBuffer again_;    // the text of a piece read again here
};

}  // namespace

Result<PieceEnd> read_pieces(PieceReader& reader, TextFeed& feed, PieceWork& work,
                             core::Monitor* monitor, const ReadPlan& plan) {
  return Reading(reader, work.direct(), &work, monitor, plan).run(feed);
}

Result<PieceEnd> read_pieces(PieceReader& reader, TextFeed& feed, RowSink sink,
                             core::Monitor* monitor, const ReadLimits& limits) {
  return Reading(reader, sink, nullptr, monitor, ReadPlan{1, limits}).run(feed);
}

}  // namespace morvel::readers
