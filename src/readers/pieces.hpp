#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/encoding.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "readers/options.hpp"

namespace morvel::readers {

// The layout an input is read in.
enum class Format : std::uint8_t { Csv, Json };

// Where a piece of an input's text begins in the whole text.
struct Place {
  std::uint64_t offset = 0;  // bytes of the text before the piece
  std::uint64_t record = 0;  // records before the piece, as messages number them
  std::uint64_t line = 0;    // line feeds before the piece, for a reader that counts them
  std::uint64_t padded = 0;  // short records completed with NULL before the piece
};

// How the reading of a piece ended.
struct PieceEnd {
  // Bytes of the piece read through: its complete records and the blank and comment lines after
  // them. The rest begins a record that the piece cuts, and is read again with what follows.
  std::size_t read_through = 0;
  std::uint64_t records = 0;  // records read through
  std::uint64_t lines = 0;    // line feeds read through, for a reader that counts them
  std::uint64_t rows = 0;     // rows handed over
  std::uint64_t padded = 0;   // short records completed with NULL

  // Adds the counts of `later`, a piece that follows. Never fails.
  void add_counts(const PieceEnd& later) noexcept {
    records += later.records;
    lines += later.lines;
    rows += later.rows;
    padded += later.padded;
  }
};

// Where a record lies in the input, as messages name it.
struct RecordPlace {
  std::uint64_t record = 0;  // from 1, as messages number records
  std::uint64_t line = 0;    // from 1, of the record's first byte
  std::uint64_t byte = 0;    // offset of the record's first byte in the input

  friend bool operator==(const RecordPlace&, const RecordPlace&) = default;
};

// Tells a reader where a byte of the whole text lies, for its messages: a piece knows neither the
// line feeds before it nor, for a decoded input, the input's own offsets.
class Whereabouts {
 public:
  Whereabouts() = default;
  Whereabouts(const Whereabouts&) = delete;  // answers for one reading
  Whereabouts& operator=(const Whereabouts&) = delete;
  virtual ~Whereabouts() = default;

  // 1 + the line feeds before the text's byte `offset`. Never fails: a count that would need a
  // failing read counts what could be read.
  [[nodiscard]] virtual std::uint64_t line_at(std::uint64_t offset) = 0;
  // The offset in the input of the text's byte `offset`, which starts a character. Never fails.
  [[nodiscard]] virtual std::uint64_t input_offset(std::uint64_t offset) = 0;
};

// A reader of one input's text that comes in pieces, each read on its own and in any order: what
// a piece hands over depends only on the piece and on what the head of the text settled (a CSV
// header). One reader per thread; clone() makes more.
class PieceReader {
 public:
  PieceReader() = default;
  PieceReader(const PieceReader&) = delete;  // clone() says what a copy shares
  PieceReader& operator=(const PieceReader&) = delete;
  virtual ~PieceReader() = default;

  // Whether the whole input is read once before its records, to check it (a CSV's quotes);
  // a reader that needs no first reading leaves the five functions of it as they are. Never
  // fails.
  [[nodiscard]] virtual bool needs_check() const noexcept { return false; }
  // Takes the next block of that first reading. Never fails.
  virtual void check(std::string_view /*block*/) {}
  // The outcome of the first reading, after its last block. Fails as the check does.
  [[nodiscard]] virtual core::Status checked() { return {}; }

  // A part of the first reading: the blocks from one offset of the input to another, in order.
  class CheckPart {
   public:
    virtual ~CheckPart() = default;
    virtual void feed(std::string_view block) = 0;
  };
  // A part of the first reading that begins `offset` bytes into the input, for another thread;
  // nothing when the first reading must go through the input in one run (comment lines). Throws
  // std::bad_alloc when memory runs out.
  [[nodiscard]] virtual std::unique_ptr<CheckPart> check_part(std::uint64_t /*offset*/) const {
    return nullptr;
  }
  // Takes `part`, the next part of the first reading after those taken, as if check() had been
  // fed its blocks. Never fails.
  virtual void take_part(CheckPart& /*part*/) {}

  // Whether something comes before the first record (a CSV header). Never fails.
  [[nodiscard]] virtual bool has_head() const noexcept = 0;
  // Reads what comes before the first record at the start of the text (a CSV header) and returns
  // the bytes it took, or nothing when `text` ends before the head does and more follows.
  // Fails as the head does: a CSV header that is not UTF-8 or repeats a name.
  [[nodiscard]] virtual core::Result<std::optional<std::size_t>> read_head(std::string_view text,
                                                                           bool is_whole) = 0;

  // Reads the records of `piece`, which starts at a record's start at `place`, and hands `sink`
  // a row per record, at most `most_rows` rows; `is_last` says nothing follows the piece. `end`
  // counts what was read, also when the reading fails: up to the start of the record that failed,
  // or whose row the sink refused. Fails on the first bad record, with its message, or with the
  // first error of the sink, unchanged. The rows of the records before the failure have been
  // handed over.
  [[nodiscard]] virtual core::Status read(std::string_view piece, const Place& place, bool is_last,
                                          core::RowSink sink, std::uint64_t most_rows,
                                          PieceEnd& end) = 0;

  // Where a piece may begin in `buffer`, whose first byte is the text's byte `offset` and which
  // begins a record: a guess, right nearly always, that read() and continues() then confirm. 0
  // when the buffer has no such place. Never fails.
  [[nodiscard]] virtual std::size_t find_cut(std::string_view buffer,
                                             std::uint64_t offset) const = 0;
  // Whether reading on after `between`, the rest of a piece after what read() read through,
  // reads what reading from its start would. Never fails.
  [[nodiscard]] virtual bool continues(std::string_view between) const = 0;

  // Where the record that begins at `place` lies in the input, for a message about its row. Never
  // fails but for memory.
  [[nodiscard]] virtual RecordPlace where(const Place& place) {
    return {place.record + 1, place.line + 1, place.offset};
  }

  // Tells the reader's monitor of what the whole reading, `total`, calls for (short records
  // completed with NULL), after the last piece. Never fails.
  virtual void finish(const PieceEnd& total) = 0;

  // A reader of the same text for another thread, with what the head settled, answered for
  // positions by `whereabouts`, which it borrows, and without a monitor: its failures are not
  // the reading's, which reads the piece again to find them. Throws std::bad_alloc when memory
  // runs out.
  [[nodiscard]] virtual std::unique_ptr<PieceReader> clone(Whereabouts& whereabouts) const = 0;
};

// What a reading makes of the rows of one piece on a thread of its own: filled there, then handed
// back, in input order, to the thread that reads.
class PieceOutput {
 public:
  PieceOutput() = default;
  PieceOutput(const PieceOutput&) = delete;  // moved between threads, never shared
  PieceOutput& operator=(const PieceOutput&) = delete;
  virtual ~PieceOutput() = default;
};

// Takes the rows of the pieces one thread reads.
class PieceWorker {
 public:
  PieceWorker() = default;
  PieceWorker(const PieceWorker&) = delete;  // belongs to one thread
  PieceWorker& operator=(const PieceWorker&) = delete;
  virtual ~PieceWorker() = default;

  // Begins the output of a piece. Throws std::bad_alloc when memory runs out.
  virtual void start() = 0;
  // Takes the next row of the piece. Fails as the rows' final sink would.
  [[nodiscard]] virtual core::Status take(core::Row&& row) = 0;
  // The output of the rows taken since start(). Throws std::bad_alloc when memory runs out.
  [[nodiscard]] virtual std::unique_ptr<PieceOutput> finish() = 0;
};

// What becomes of the rows of a reading: the rows read on the reading's own thread go to
// direct(), in order; the rows of pieces read on other threads go to a worker of each thread and
// come back as outputs to commit(), in input order. Only pieces whose reading was confirmed are
// committed; the rows of the others are read again and go to direct().
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
  // A worker for another thread. Throws std::bad_alloc when memory runs out.
  [[nodiscard]] virtual std::unique_ptr<PieceWorker> worker() = 0;
  // Takes the output of the next piece, read on another thread, and the counts of its end. Fails
  // as direct() would have for its rows.
  [[nodiscard]] virtual core::Status commit(PieceOutput& output, const PieceEnd& end) = 0;
  // Takes back an output that is done with, committed or not, to fill again. Never fails.
  virtual void reuse(std::unique_ptr<PieceOutput> /*output*/) noexcept {}
  // Told, when a reading on the reading's own thread failed, that it stands at `place`, the start
  // of the record that failed or whose row direct() refused; `reader` says where that lies.
  // Throws std::bad_alloc when memory runs out.
  virtual void stopped(const Place& /*place*/, PieceReader& /*reader*/) {}
};

// How a reading is spread over threads.
struct ReadPlan {
  // Threads that read pieces, besides the one that reads the input; 0 or 1 reads every piece on
  // the reading's own thread.
  unsigned threads = 1;
  // Bytes of text per piece, about: a piece ends where a record probably ends.
  std::size_t piece_bytes = 1024 * 1024;
};

// Reads all of `source` in `format` and hands its rows to `work`: the input is read in blocks,
// never held whole (but a JSON array, and an input in another encoding), cut into pieces at
// record boundaries, and each piece is read on a thread of `plan`. A CSV input is read twice,
// first to check its quotes; a source that cannot go back (a pipe) is kept in a temporary file
// for the second reading. Outcomes are those of reading the pieces in order on one thread: the
// same rows, the same first error, the same warnings to `monitor`, which also hears of the
// progress and may stop the reading. Fails with the first error of the input, of `work` or of
// `monitor`, unchanged; the rows before it have been handed over.
[[nodiscard]] core::Status read_input(core::ByteSource& source, Format format,
                                      const ReadOptions& options, core::Monitor* monitor,
                                      PieceWork& work, const ReadPlan& plan = {});

// read_input on one thread, with every row going to `sink`.
[[nodiscard]] core::Status read_input(core::ByteSource& source, Format format,
                                      const ReadOptions& options, core::Monitor* monitor,
                                      core::RowSink sink);

}  // namespace morvel::readers
