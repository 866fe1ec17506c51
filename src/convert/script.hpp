#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "convert/batch_keys.hpp"
#include "convert/inputs.hpp"
#include "convert/options.hpp"
#include "convert/schema.hpp"
#include "convert/typing.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "readers/pieces.hpp"
#include "sql/copy.hpp"
#include "sql/statements.hpp"

namespace morvel::convert {

// A value the table may not keep, or a number whose text changes (`change`), found in a piece
// read on another thread, with texts of its own until the piece takes its place in the script.
struct FoundLoss {
  std::uint64_t row;  // of the piece, from 0
  std::string column;
  core::DataType column_type;  // or, for a false date, the value's own type
  std::string text;
  bool is_missing;
  core::NumberChange change = core::NumberChange::None;
  std::string became = {};  // what a Rounded number was written as
  bool is_false_date = false;  // shaped like a date or timestamp but none (FalseDates)
};

// The columns a script declared DATETIME (MySQL), in which a time with a zone is written as the
// UTC time it stands for, and which entries of each row stand in one.
class DeclaredDatetimes {
 public:
  // Takes the DATETIME columns among `columns`, those of the CREATE TABLE statement, when the
  // dialect is MySQL. Throws std::bad_alloc when memory runs out.
  void declare(const core::Row& columns, sql::Dialect dialect);

  // Per entry of `row`, non-zero when it stands in a declared column; null when no column is
  // declared. `row` must follow the row passed before, as a reader hands them over, unless
  // forget() came between. Throws std::bad_alloc when memory runs out.
  const std::uint8_t* entries_of(const core::Row& row) {
    return names_.empty() ? nullptr : flags_of(row);
  }

  // Forgets the last row's names, for rows of another reading. Never fails.
  void forget() noexcept { flags_.clear(); }

 private:
  const std::uint8_t* flags_of(const core::Row& row);

  NameSet names_;
  std::vector<std::uint8_t> flags_;  // of the last row's entries
};

// What a conversion that types its columns from the first record watches its values for: values
// the table it creates cannot keep, and numbers whose text storing them as numbers changes; the
// first of each kind in each column is reported. A copy watches the rows of a piece.
class ValueWatch {
 public:
  // Watches nothing without `monitor` (borrowed) or with `schema`; values the table cannot keep
  // only when the options create the table. With `files` (borrowed), the run reads several and
  // a warning names the file of its record and counts the record within it.
  ValueWatch(const ConversionOptions& options, const Schema* schema, core::Monitor* monitor,
             const FilesRead* files = nullptr);

  [[nodiscard]] bool is_on() const noexcept { return monitor_ != nullptr; }

  // Takes the types of the table the first record made, if it watches for losses. Throws
  // std::bad_alloc when memory runs out.
  void remember(const core::Row& first_row);

  // Warns of what `row`, record `record` (from 1), holds. Throws std::bad_alloc when memory runs
  // out.
  void check(const core::Row& row, std::uint64_t record) {
    // Inline, as this runs for every row of a conversion that creates its table.
    if (watches_losses_ && record > 1) {
      types_.check(row, dialect_,
                   [&](const FirstRecordTypes::Loss& loss) { report_loss(loss, record); });
    }
    // Most rows hold no number to look at twice.
    if (row.may_change_number() || row.rounded_count() != 0) check_changes(row, record);
  }

  // Notes in `losses` what row `row_index` of a piece holds, for warn() to report in order.
  // Throws std::bad_alloc when memory runs out.
  void note(const core::Row& row, std::uint64_t row_index, std::vector<FoundLoss>& losses);

  // Warns of each value of `row`, record `record` (from 1), shaped like a date but none, in a
  // column not reported yet: for the rare row that holds one (Row::holds_false_date). Throws
  // std::bad_alloc when memory runs out.
  void check_dates(const core::Row& row, std::uint64_t record);

  // Notes in `losses` the false dates of `row`, row `row_index` of a piece, as check_dates()
  // finds them. Throws std::bad_alloc when memory runs out.
  void note_dates(const core::Row& row, std::uint64_t row_index, std::vector<FoundLoss>& losses);

  // Warns of each of `losses`, found in a piece whose first row follows `rows_before` rows, that
  // no piece before reported. Throws std::bad_alloc when memory runs out.
  void warn(const std::vector<FoundLoss>& losses, std::uint64_t rows_before);

 private:
  void report_loss(const FirstRecordTypes::Loss& loss, std::uint64_t record);
  void check_changes(const core::Row& row, std::uint64_t record);
  template <class Describe>
  void tell(std::uint64_t record, const Describe& describe);

  core::Monitor* monitor_;
  const FilesRead* files_;
  sql::Dialect dialect_;
  bool watches_losses_;
  FirstRecordTypes types_;
  ChangedNumbers changes_;
  FalseDates dates_;
  const std::vector<DeclaredType>* declared_;  // the options' types, which outlive the watch
};

// The refusal of the first column name of `row` that holds NUL, for a row that holds one
// (Row::holds_nul). Never fails but for memory.
[[nodiscard]] core::Status refuse_nul_name_of(const core::Row& row);

// The refusal of the first column name of `row` that holds NUL, which no engine takes. Inline:
// this runs for every record. Never fails but for memory.
[[nodiscard]] inline core::Status refuse_nul_names(const core::Row& row) {
  return row.holds_nul() ? refuse_nul_name_of(row) : core::Status{};
}

// The script's part for the rows of one piece, written on another thread: the statement of each
// row, or in batches and COPY blocks its tuple (after ",\n") or line, back to back, with what the
// script needs to put them in place.
struct ScriptPiece {
  core::ByteBuffer bytes;
  std::uint64_t rows = 0;
  // Batches and COPY blocks: where the part of each row ends, and the rows whose columns differ
  // from the row's before (the piece's first row always), with those columns.
  std::vector<std::size_t> ends;
  std::vector<std::pair<std::uint64_t, core::Row>> columns;
  // PostgreSQL batches that replace rows: the form of each row's key, back to back, and where
  // each ends.
  std::string key_forms;
  std::vector<std::size_t> key_form_ends;
  // The first loss in each column, when the script watches for them.
  std::vector<FoundLoss> losses;
};

// Writes the rows of the pieces one thread reads, as the script would, into the ScriptPiece
// outputs of a work.
class PieceWriter final : public readers::PieceWorker {
 public:
  // `schema`, if given, types every column; `typing` says what each value is written as;
  // `watched`, if given, is the script's watch of its values; `datetimes` the declared DATETIME
  // columns. All are borrowed and read only. `pieces` are the work's outputs, each given room for
  // `bytes` bytes of statements when first filled.
  PieceWriter(const CheckedOptions& options, const Schema* schema, const ColumnTyping& typing,
              const ValueWatch* watched, const DeclaredDatetimes& datetimes,
              std::vector<ScriptPiece>& pieces, std::size_t bytes);

  void start(std::size_t slot) override;
  [[nodiscard]] core::Status take(core::Row&& row) override;

 private:
  const CheckedOptions& options_;
  RowTyper typer_;
  std::optional<ValueWatch> watched_;
  sql::InsertWriter inserts_;
  std::optional<sql::CopyWriter> copies_;
  std::optional<ValueWatch> watch_;  // the watched values, afresh for each piece
  const Schema* schema_;
  DeclaredDatetimes datetimes_;
  Schema::Completion completion_;
  sql::ColumnList columns_;  // of the piece's last row
  std::optional<BatchKeys> batch_keys_;
  std::string key_form_;
  std::vector<ScriptPiece>& pieces_;
  std::size_t bytes_;
  ScriptPiece* piece_ = nullptr;
};

// The SQL script of one conversion, written as records arrive: the transaction's start, the
// CREATE TABLE statement before the first record, then the records as single INSERTs, as
// INSERTs of several rows, or as COPY blocks, and the COMMIT. It is the row sink of the reader.
// Statements go straight into the sink's buffer, saving a copy of every byte of output.
class ScriptWriter {
 public:
  // With `schema`, each value is written as its column's type; without, values the first
  // record's table cannot keep are reported to `monitor` when the script creates the table.
  // `sink` must lend its buffer (ByteSink::buffer). `files`, borrowed, places the records of a
  // run that reads several files for its warnings.
  ScriptWriter(core::ByteSink& sink, const CheckedOptions& options, core::Monitor* monitor,
               const Schema* schema, const FilesRead* files = nullptr);

  // Writes what `row` adds to the script. Taken by reference, so the reader keeps the row's
  // memory for its next record. Fails as the sink or the CREATE TABLE statement does.
  core::Status operator()(core::Row&& row);

  // Writes what the rows of `piece`, the next in the input, add to the script, as operator()
  // would have row by row. Fails as the sink does.
  core::Status append(ScriptPiece& piece);

  // Whether the first row was written, and with it what pieces on other threads need: the
  // table's types. Never fails.
  [[nodiscard]] bool has_begun() const noexcept { return record_ > 0; }

  // The rows taken so far. Never fails.
  [[nodiscard]] std::uint64_t rows() const noexcept { return record_; }

  // Whether the last failure was a value its column's declared type refused, which the reading
  // places in the input. Never fails.
  [[nodiscard]] bool has_refused_value() const noexcept { return has_refused_value_; }

  // A writer of pieces for another thread, which fills the outputs `pieces`, each with room for
  // `bytes` bytes. Only once has_begun(). Throws std::bad_alloc when memory runs out.
  [[nodiscard]] std::unique_ptr<PieceWriter> piece_writer(std::vector<ScriptPiece>& pieces,
                                                          std::size_t bytes) const;

  // Ends the script after the last record: the statement or block still open, the COMMIT.
  // Fails as the sink does.
  core::Status finish();

  // Ends what is open after a failure, so that the records before it stand complete; writes no
  // COMMIT, so that a script run as one transaction changes nothing. Fails as the sink does.
  core::Status abandon();

 private:
  core::Status begin(const core::Row& first_row);
  void add(const core::Row& row, const core::DataType* types, const std::uint8_t* in_datetime);
  void append_grouped(const ScriptPiece& piece);
  void close_group();
  core::Status hand_over() { return sink_.appended(); }

  core::ByteSink& sink_;
  const CheckedOptions& options_;
  sql::InsertWriter inserts_;
  std::optional<sql::CopyWriter> copies_;
  core::ByteBuffer& out_;  // the sink's buffer
  const Schema* schema_;
  ColumnTyping typing_;
  RowTyper typer_;
  ValueWatch watch_;
  DeclaredDatetimes datetimes_;
  Schema::Completion completion_;
  std::optional<BatchKeys> batch_keys_;  // of the batch open, when a repeated key must end it
  std::string key_form_;
  std::uint64_t record_ = 0;    // rows taken so far
  std::uint32_t in_group_ = 0;  // rows in the INSERT or COPY block still open
  bool has_begun_ = false;      // the transaction's start is written
  bool has_refused_value_ = false;
};

}  // namespace morvel::convert
