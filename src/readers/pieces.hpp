#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/error.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "readers/piece_reader.hpp"
#include "readers/text_feed.hpp"

// Reading a text in pieces on threads, blind to its format.
//
// The rule. The text is cut into pieces of about ReadLimits::piece_bytes where the reader guesses
// that a record begins (PieceReader::find_cut); the guess is cheap and nearly always right, but
// only a guess: a cut may fall inside a quoted field. A worker thread reads a piece as if it began
// a record, from a placeholder place (its offset, no records or lines before it), and fills an
// output with its rows. The reading's own thread takes the pieces in input order and keeps a
// piece's output only when the piece before ended exactly where this one begins: what that
// reading left over (`between`, the bytes after the last complete record) is nothing a reading
// from the piece's start would have read differently (PieceReader::continues). Otherwise, and
// when the worker's reading failed, the piece is read again on the reading's own thread, from
// where the reading before ended, with the bytes between; its rows then go to the direct sink.
//
// What each party keeps:
// - The reading's thread holds the place where the last reading it confirmed ended, which is
//   always a true record start; counts from the pieces are added to it in order, so every
//   position in a message is computed there, and so is every error reported: a worker's failure
//   only sends its piece back to be read again, where the same failure is found and placed.
// - A PieceReader hands over, for a piece, rows that depend only on the piece's bytes and on what
//   the head settled (a CSV header), never on the place's counts, which serve messages only;
//   read_through covers complete records only. Clones for workers share the head, not a monitor.
// - A PieceWork sees rows read here through direct() and outputs through commit(), both strictly
//   in input order; an output slot is filled by one worker at a time, and committed or dropped
//   before it is filled again. can_share() holds pieces back until the work can take them (the
//   first record decides the table of a script).
// - An InputCheck, when the format has one, reads the whole input first, in parts on threads
//   when it allows; nothing is read for records until it passed.
// - A failed read of the input is reported after the rows of the records before it.
// - A record that the window does not end is judged by PieceReader::may_end as more of it comes,
//   on the reading's own thread with nothing in flight, before read() is called again: a long
//   line is not read again per arrival, and one that cannot become valid fails early.

namespace morvel::readers {

// Takes the rows of the pieces one thread reads, into the outputs its work keeps.
class PieceWorker {
 public:
  PieceWorker() = default;
  PieceWorker(const PieceWorker&) = delete;  // belongs to one thread
  PieceWorker& operator=(const PieceWorker&) = delete;
  virtual ~PieceWorker() = default;

  // Begins filling output `slot` with the rows of a piece, emptied first: what it held was
  // committed or dropped. Throws std::bad_alloc when memory runs out.
  virtual void start(std::size_t slot) = 0;
  // Takes the next row of the piece. Fails as the rows' final sink would.
  [[nodiscard]] virtual core::Status take(core::Row&& row) = 0;
};

// What becomes of the rows of a reading: the rows read on the reading's own thread go to
// direct(), in order; the rows of pieces read on other threads go to a worker there, into an
// output slot of the work, and come back to commit(), in input order. Only pieces whose reading
// was confirmed are committed; the rows of the others are read again and go to direct().
class PieceWork {
 public:
  PieceWork() = default;
  PieceWork(const PieceWork&) = delete;  // one per reading
  PieceWork& operator=(const PieceWork&) = delete;
  virtual ~PieceWork() = default;

  // The sink of rows read on the reading's own thread.
  [[nodiscard]] virtual core::RowSink direct() = 0;
  // Whether pieces may go to other threads yet: false until what they need is known (the
  // statement for the first record). Never fails.
  [[nodiscard]] virtual bool can_share() const = 0;
  // Makes `count` output slots, numbered from 0, one per piece in flight, each filled again
  // piece after piece; called once, before worker(). Throws std::bad_alloc when memory runs out.
  virtual void make_slots(std::size_t count) = 0;
  // A worker for another thread. Throws std::bad_alloc when memory runs out.
  [[nodiscard]] virtual std::unique_ptr<PieceWorker> worker() = 0;
  // Takes the output in `slot` of the next piece, read on another thread, and the counts of its
  // end. Fails as direct() would have for its rows.
  [[nodiscard]] virtual core::Status commit(std::size_t slot, const PieceEnd& end) = 0;
  // Told, when a reading on the reading's own thread failed, that it stands at `place`, the start
  // of the record that failed or whose row direct() refused; `reader` says where that lies.
  // Throws std::bad_alloc when memory runs out.
  virtual void stopped(const Place& /*place*/, PieceReader& /*reader*/) {}
};

// The sizes that steer a reading; the defaults were measured, tests make them small to drive
// every path on small inputs.
struct ReadLimits {
  // Bytes of text per piece, about: a piece ends where a record probably ends.
  std::size_t piece_bytes = 1024 * 1024;
  // A CSV file up to this size is read once and held, larger ones are read twice: reading a file
  // of a few megabytes again cost more than its memory.
  std::uint64_t held_bytes = 8 * 1024 * 1024;
  // The pieces a text must have for them to go to other threads. Measured with pieces of 1 MiB
  // on two threads: a CSV file of 4 MiB took 9.3 ms on two threads and 8.7 ms on one, of 8 MiB
  // 14.4 ms and 17.1 ms.
  std::size_t sharing_pieces = 6;
};

// How a reading is spread over threads.
struct ReadPlan {
  // Threads that read pieces, besides the one that reads the input; 0 or 1 reads every piece on
  // the reading's own thread.
  unsigned threads = 1;
  ReadLimits limits;
};

// Reads the records of the text `feed` gives with `reader`, whose head is read first, and hands
// their rows to `work`, as the rule above says, on the threads of `plan`. Returns the counts of
// the whole reading. `monitor` hears of the progress and may stop the reading. Fails with the
// first error of the text, of `work` or of `monitor`, unchanged; the rows before it have been
// handed over.
[[nodiscard]] core::Result<PieceEnd> read_pieces(PieceReader& reader, TextFeed& feed,
                                                 PieceWork& work, core::Monitor* monitor,
                                                 const ReadPlan& plan);

// read_pieces on one thread, with every row going to `sink`.
[[nodiscard]] core::Result<PieceEnd> read_pieces(PieceReader& reader, TextFeed& feed,
                                                 core::RowSink sink, core::Monitor* monitor,
                                                 const ReadLimits& limits);

// The first reading of `text`, held whole, by `check`: in parts on the threads of `plan` when
// the check allows and the text is long enough, else block by block. Fails as the check does, or
// with the error of `monitor`, which hears of the progress.
[[nodiscard]] core::Status check_text(InputCheck& check, std::string_view text,
                                      core::Monitor* monitor, const ReadPlan& plan);

// The first reading of `source` to its end by `check`, and how many bytes it had: a regular
// file in parts on the threads of `plan` when the check allows, read at offsets. When the check
// says where to stop, it stops there and returns that size, with no outcome of the check. Fails
// as the source or the check does, or with the error of `monitor`, which hears of the progress.
[[nodiscard]] core::Result<std::uint64_t> check_source(InputCheck& check, core::ByteSource& source,
                                                       core::Monitor* monitor,
                                                       const ReadPlan& plan);

}  // namespace morvel::readers
