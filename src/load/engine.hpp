#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/data_type.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/row.hpp"
#include "load/url.hpp"
#include "sql/statements.hpp"

namespace morvel::load {

// What a connection loads: into which table, and what a row whose key is taken does.
struct TableSettings {
  std::string table;
  sql::OnConflict on_conflict = sql::OnConflict::Error;
  std::vector<std::string> key_columns;  // of a table this run creates with a key
  std::string schema;                    // the table's; empty for the engine's default
};

// Writes rows in the form an engine's bulk path takes them, on one of the threads that read.
class RowEncoder {
 public:
  RowEncoder() = default;
  RowEncoder(const RowEncoder&) = delete;  // belongs to one thread
  RowEncoder& operator=(const RowEncoder&) = delete;
  virtual ~RowEncoder() = default;

  // Takes the columns of the rows that follow, as a row whose texts do not count. Throws
  // std::bad_alloc when memory runs out.
  virtual void set_columns(const core::Row& names) = 0;
  // Appends `row` to `out` and returns the way it goes in: 0, or another that the connection
  // opens for rows written otherwise. `types`, when given, holds a type per entry that each value
  // but NULL is taken as instead of its own. Throws std::bad_alloc when memory runs out.
  virtual unsigned append(core::ByteBuffer& out, const core::Row& row,
                          const core::DataType* types) = 0;
};

// One connection to a database, inside one transaction, with the engine's fastest way in for
// rows. Its calls come from one thread, in this order: begin, create_table (when asked for),
// inspect, then open, send and close for each run of rows with the same columns and way, and
// commit;
// abandon after any failure. Failures carry the engine's message, without the URL's password.
class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;  // one session
  Connection& operator=(const Connection&) = delete;
  virtual ~Connection() = default;

  // Starts the transaction.
  [[nodiscard]] virtual core::Status begin() = 0;
  // Runs `statement`, a CREATE TABLE IF NOT EXISTS, and returns whether the table is new.
  [[nodiscard]] virtual core::Result<bool> create_table(const std::string& statement) = 0;
  // Learns what the encoders need of the table (the types of its columns).
  [[nodiscard]] virtual core::Status inspect() = 0;
  // An encoder for one thread, which reads what inspect() learnt. Throws std::bad_alloc when
  // memory runs out.
  [[nodiscard]] virtual std::unique_ptr<RowEncoder> encoder() const = 0;

  // Makes ready the way in `way` (as the encoders return it) for rows with the columns of
  // `names`: the way open goes on when it serves them too, else it is closed first.
  [[nodiscard]] virtual core::Status open(const core::Row& names, unsigned way) = 0;
  // Sends `rows` rows that an encoder wrote back to back into `bytes`.
  [[nodiscard]] virtual core::Status send(std::string_view bytes, std::uint64_t rows) = 0;
  // Closes the way open, if one is: its rows are in the table, or refused.
  [[nodiscard]] virtual core::Status close() = 0;
  // Makes the transaction's rows stay.
  [[nodiscard]] virtual core::Status commit() = 0;

  // Takes back all the load did: rolls the transaction back and, where the engine committed the
  // table's creation on its own, drops the table when `created` says this run made it. A
  // connection already lost took its transaction with it. Never fails.
  virtual void abandon(bool created) noexcept = 0;
  // After send() or close() failed, the row the engine refused, counted from 0 over all the rows
  // sent, when it said which. Never fails.
  [[nodiscard]] virtual std::optional<std::uint64_t> refused_row() const noexcept = 0;

  // Runs `statement` as written, apart from the order of calls above: for callers that move rows
  // between tables themselves (BEGIN, INSERT ... SELECT, COMMIT). Its rows, if any, are dropped.
  [[nodiscard]] virtual core::Status execute(const std::string& statement) = 0;
};

// Connects to the engine of `target` for a load into `settings.table`. Fails with the engine's
// message (ErrorKind::Io).
[[nodiscard]] core::Result<std::unique_ptr<Connection>> connect_sqlite(const Target& target,
                                                                       TableSettings settings);
[[nodiscard]] core::Result<std::unique_ptr<Connection>> connect_postgres(const Target& target,
                                                                         TableSettings settings);
[[nodiscard]] core::Result<std::unique_ptr<Connection>> connect_mysql(const Target& target,
                                                                      TableSettings settings);

}  // namespace morvel::load
