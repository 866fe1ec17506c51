#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/row.hpp"

// What a format implements to be read in pieces: a reader of pieces and, when the format needs
// the whole input read once before its records, a check. pieces.hpp says how they are driven.

namespace morvel::readers {

// Where a piece of an input's text begins in the whole text.
struct Place {
  std::uint64_t offset = 0;  // bytes of the text before the piece
  std::uint64_t record = 0;  // records before the piece, as messages number them
  std::uint64_t line = 0;    // line ends before the piece, for a reader that counts them
  std::uint64_t padded = 0;  // short records completed with NULL before the piece
};

// A key that an object of a record repeats, of which the last value is kept.
struct RepeatedKey {
  std::string name;
  std::uint64_t record = 0;  // of the first record that repeats it, in its piece, from 0
};

// How the reading of a piece ended.
struct PieceEnd {
  // Bytes of the piece read through: its complete records and the blank and comment lines after
  // them. The rest begins a record that the piece cuts, and is read again with what follows.
  std::size_t read_through = 0;
  std::uint64_t records = 0;               // records read through
  std::uint64_t lines = 0;                 // line ends read through, for a reader that counts them
  std::uint64_t rows = 0;                  // rows handed over
  std::uint64_t padded = 0;                // short records completed with NULL
  std::vector<RepeatedKey> repeated_keys;  // each name once, in the order first met

  // Adds the counts of `later`, a piece that follows. Never fails.
  void add_counts(const PieceEnd& later) noexcept {
    records += later.records;
    lines += later.lines;
    rows += later.rows;
    padded += later.padded;
  }
};

// How far a reader has judged a record that the text has not ended yet; read in pieces, a long
// record from a slow stream is looked at once, not again each time more of it comes.
struct Looked {
  std::size_t bytes = 0;   // judged: they hold no end of the record and nothing it is refused for
  std::size_t parsed = 0;  // the record's bytes when its start was last parsed whole
};

// Where a record lies in the input, as messages name it.
struct RecordPlace {
  std::uint64_t record = 0;  // from 1, as messages number records
  std::uint64_t line = 0;    // from 1, of the record's first byte
  std::uint64_t byte = 0;    // offset of the record's first byte in the input

  friend bool operator==(const RecordPlace&, const RecordPlace&) = default;
};

// Tells a reader where a byte of the whole text lies, for its messages: a piece knows neither the
// line ends before it nor, for a decoded input, the input's own offsets.
class Whereabouts {
 public:
  Whereabouts() = default;
  Whereabouts(const Whereabouts&) = delete;  // answers for one reading
  Whereabouts& operator=(const Whereabouts&) = delete;
  virtual ~Whereabouts() = default;

  // 1 + the line ends before the text's byte `offset`, as core::LineEnds counts them. Never fails:
  // a count that would need a failing read counts what could be read.
  [[nodiscard]] virtual std::uint64_t line_at(std::uint64_t offset) = 0;
  // The offset in the input of the text's byte `offset`, which starts a character. Never fails.
  [[nodiscard]] virtual std::uint64_t input_offset(std::uint64_t offset) = 0;
};

// A part of a check, from one offset of the input to another, fed on a thread of its own.
class CheckPart {
 public:
  CheckPart() = default;
  CheckPart(const CheckPart&) = delete;  // fed by one thread
  CheckPart& operator=(const CheckPart&) = delete;
  virtual ~CheckPart() = default;

  // Takes the next block of the part. Never fails.
  virtual void feed(std::string_view block) = 0;
  // Adds what the part found to the check that made it, as if the check had been fed the part's
  // blocks itself. Called once, in input order: the parts before it have joined. Throws
  // std::bad_alloc when memory runs out.
  virtual void join() = 0;
};

// A reading of the whole input, block by block, that must pass before any of its records is read
// (a CSV's quotes).
class InputCheck {
 public:
  InputCheck() = default;
  InputCheck(const InputCheck&) = delete;  // one per input
  InputCheck& operator=(const InputCheck&) = delete;
  virtual ~InputCheck() = default;

  // Takes the next block of the input. Never fails.
  virtual void feed(std::string_view block) = 0;
  // The outcome, after the last block. Fails as the check does.
  [[nodiscard]] virtual core::Status outcome() const = 0;
  // Where the first reading may stop, when the input holds what its records cannot have: past the
  // end of the record that holds it, which the reading of the records then refuses. Never fails.
  [[nodiscard]] virtual std::optional<std::uint64_t> stop_at() const noexcept {
    return std::nullopt;
  }
  // A part of the check that begins `offset` bytes into the input, for another thread; nothing
  // when the check must go through the input in one run (a comment line may begin anywhere).
  // Throws std::bad_alloc when memory runs out.
  [[nodiscard]] virtual std::unique_ptr<CheckPart> part(std::uint64_t offset) = 0;
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

  // Reads what comes before the first record at the start of the text (a CSV header) and returns
  // the bytes it took, 0 for a layout without a head, or nothing when `text` ends before the head
  // does and more follows. Fails as the head does: a CSV header that is not UTF-8 or repeats a
  // name.
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

  // Whether the record at the start of `record`, which read() took nothing of and which more text
  // follows, may end within it: `looked`, 0 for a fresh record, counts the bytes judged by earlier
  // calls, which are not judged again, and is updated. Fails with the error read() would give for
  // the record when its first bytes already decide it, the record starting at `place`. The default
  // judges nothing: the record may end anywhere.
  [[nodiscard]] virtual core::Result<bool> may_end(std::string_view /*record*/,
                                                   const Place& /*place*/, Looked& /*looked*/) {
    return true;
  }

  // Where the record that begins at `place` lies in the input, for a message about its row. Never
  // fails but for memory.
  [[nodiscard]] virtual RecordPlace where(const Place& place) {
    return {place.record + 1, place.line + 1, place.offset};
  }

  // A reader of the same text for another thread, with what the head settled, answered for
  // positions by `whereabouts`, which it borrows, and without a monitor: its failures are not
  // the reading's, which reads the piece again to find them. Throws std::bad_alloc when memory
  // runs out.
  [[nodiscard]] virtual std::unique_ptr<PieceReader> clone(Whereabouts& whereabouts) const = 0;
};

}  // namespace morvel::readers
