#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "convert/options.hpp"
#include "convert/schema.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "sql/copy.hpp"
#include "sql/statements.hpp"

namespace morvel::convert {

// The SQL script of one conversion, written as records arrive: the transaction's start, the
// CREATE TABLE statement before the first record, then the records as single INSERTs, as
// INSERTs of several rows, or as COPY blocks, and the COMMIT. It is the row sink of the reader.
// Statements go straight into the sink's buffer when it has one, saving a copy of every byte of
// output; otherwise through one staging buffer whose capacity every record reuses.
class ScriptWriter {
 public:
  // With `schema`, each value is written as its column's type; without, values the first
  // record's table cannot keep are reported to `monitor` when the script creates the table.
  ScriptWriter(core::ByteSink& sink, const CheckedOptions& options, core::Monitor* monitor,
               const Schema* schema);

  // Writes what `row` adds to the script. Taken by reference, so the reader keeps the row's
  // memory for its next record. Fails as the sink or the CREATE TABLE statement does.
  core::Status operator()(core::Row&& row);

  // Ends the script after the last record: the statement or block still open, the COMMIT.
  // Fails as the sink does.
  core::Status finish();

  // Ends what is open after a failure, so that the records before it stand complete; writes no
  // COMMIT, so that a script run as one transaction changes nothing. Fails as the sink does.
  core::Status abandon();

 private:
  core::Status begin(const core::Row& first_row);
  void add(const core::Row& row, const core::DataType* types);
  void close_group();
  core::Status hand_over();
  [[nodiscard]] core::ByteBuffer& out() noexcept {
    return direct_ != nullptr ? *direct_ : staging_;
  }

  core::ByteSink& sink_;
  const CheckedOptions& options_;
  sql::InsertWriter inserts_;
  std::optional<sql::CopyWriter> copies_;
  core::ByteBuffer* const direct_;
  core::ByteBuffer staging_;
  const Schema* schema_;
  std::vector<core::DataType> column_types_;  // the schema's types for the last row's entries
  core::Monitor* watch_;
  FirstRecordTypes first_types_;
  std::uint64_t record_ = 0;      // rows taken so far
  std::uint32_t in_group_ = 0;    // rows in the INSERT or COPY block still open
  bool has_begun_ = false;        // the transaction's start is written
};

}  // namespace morvel::convert
