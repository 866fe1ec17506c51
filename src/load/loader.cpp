#include "load/loader.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "convert/inputs.hpp"
#include "convert/pipeline.hpp"
#include "convert/schema.hpp"
#include "convert/script.hpp"
#include "convert/typing.hpp"
#include "load/engine.hpp"
#include "readers/locate.hpp"
#include "readers/read_input.hpp"
#include "sql/statements.hpp"

namespace morvel::load {

namespace {

using core::DataType;
using core::Result;
using core::Row;
using core::Status;

// Rows read on the reading's own thread wait until they fill this many bytes: a small input goes
// to the engine in one call rather than a call per row.
constexpr std::size_t pending_bytes = 1024 * 1024;

// The first row of a piece whose columns or way in are not those of the row before it (the
// piece's first row always is one): where a run of rows that go in together begins.
struct Run {
  std::uint64_t row;  // of the piece, from 0
  std::size_t at;     // where its encoded rows begin
  unsigned way;
  Row names;
};

// The rows of one piece in the engine's form, back to back, with what sending them needs.
struct LoadPiece {
  core::ByteBuffer bytes;
  std::uint64_t rows = 0;
  std::vector<Run> runs;
  std::vector<convert::FoundLoss> losses;  // the first in each column, when they are watched

  // Empties the piece and keeps its memory. Never fails.
  void clear() noexcept {
    bytes.clear();
    rows = 0;
    runs.clear();
    losses.clear();
  }
};

// Encodes the rows of the pieces one thread reads into the LoadPiece outputs of a work.
class LoadWorker final : public readers::PieceWorker {
 public:
  // `schema`, if given, types every column; `typing` says what each value goes in as; `watched`,
  // if given, is the load's watch of its values. All are borrowed and read only. `pieces` are the
  // work's outputs, each given room for `bytes` bytes when filled.
  LoadWorker(std::unique_ptr<RowEncoder> encoder, const convert::Schema* schema,
             const convert::ColumnTyping& typing, const convert::ValueWatch* watched,
             std::vector<LoadPiece>& pieces, std::size_t bytes)
      : encoder_(std::move(encoder)),
        typer_(typing),
        schema_(schema),
        pieces_(pieces),
        bytes_(bytes) {
    if (watched != nullptr) watched_ = *watched;
  }

  void start(std::size_t slot) override { fill(pieces_[slot]); }

  // Begins filling `piece`, emptied first, which outlives the filling. Throws std::bad_alloc
  // when memory runs out.
  void fill(LoadPiece& piece) {
    piece_ = &piece;
    piece.clear();
    // Room made at once is only address space until written; refilling the same output spares
    // the page faults of fresh memory.
    piece.bytes.reserve(bytes_);
    columns_ = {};
    if (watched_) watch_ = *watched_;
    completion_.has_names = false;
  }

  Status take(Row&& row) override {
    if (auto refused = convert::refuse_nul_names(row); !refused) return refused;
    LoadPiece& piece = *piece_;
    // With the schema, every record has every column, so the rows go in in one run.
    const Row& full = schema_ != nullptr ? schema_->complete(row, completion_) : row;
    const auto typed = typer_.types_for(full);
    if (!typed) {
      has_refused_value_ = true;
      return std::unexpected(typed.error());
    }
    const DataType* types = *typed;
    if (watch_) {
      watch_->note(row, piece.rows, piece.losses);
      if (row.holds_false_date()) watch_->note_dates(row, piece.rows, piece.losses);
    }
    const bool are_new_columns = !columns_.matches(full);
    if (are_new_columns) {
      columns_.take(full);
      encoder_->set_columns(columns_.names());
    }
    const std::size_t at = piece.bytes.size();
    const unsigned way = encoder_->append(piece.bytes, full, types);
    if (are_new_columns || way != way_) {
      piece.runs.push_back(Run{piece.rows, at, way, columns_.names()});
      way_ = way;
    }
    ++piece.rows;
    return {};
  }

  // The output being filled. Only after start() or fill().
  [[nodiscard]] const LoadPiece& piece() const noexcept { return *piece_; }

  // Whether a value its column's declared type refused stopped this worker. Never fails.
  [[nodiscard]] bool has_refused_value() const noexcept { return has_refused_value_; }

 private:
  std::unique_ptr<RowEncoder> encoder_;
  convert::RowTyper typer_;
  const convert::Schema* schema_;
  std::optional<convert::ValueWatch> watched_;
  std::optional<convert::ValueWatch> watch_;  // the watched values, afresh for each piece
  convert::Schema::Completion completion_;
  sql::ColumnList columns_;  // of the piece's last row
  unsigned way_ = 0;         // of the piece's last row
  bool has_refused_value_ = false;
  std::vector<LoadPiece>& pieces_;
  std::size_t bytes_;
  LoadPiece* piece_ = nullptr;
};

// The rows of a load into the database: encoded on every thread, sent in input order from the
// reading's own thread, whose rows wait in a piece of their own until it fills or a piece from
// another thread comes.
class LoadWork final : public readers::PieceWork {
 public:
  // `files`, if given, places the records of a load of several files for its warnings.
  LoadWork(Connection& connection, const convert::CheckedOptions& options,
           const convert::Schema* schema, core::Monitor* monitor, std::size_t piece_bytes,
           const convert::FilesRead* files = nullptr)
      : connection_(connection),
        options_(options),
        schema_(schema),
        typing_(options->types, schema),
        watch_(*options, schema, monitor, files),
        piece_bytes_(2 * piece_bytes) {}

  core::RowSink direct() override { return *this; }
  // Pieces go to other threads once the table is there and its columns known.
  bool can_share() const override { return direct_ != nullptr; }
  void make_slots(std::size_t count) override { pieces_.resize(count); }
  std::unique_ptr<readers::PieceWorker> worker() override { return make_worker(); }
  Status commit(std::size_t slot, const readers::PieceEnd&) override {
    if (auto sent = send_waiting(); !sent) return sent;
    return send(pieces_[slot]);
  }
  void stopped(const readers::Place& place, readers::PieceReader& reader) override {
    if (direct_ != nullptr && direct_->has_refused_value() && !refused_at_) {
      refused_at_ = reader.where(place);
    }
  }
  // Where the record of a value its declared type refused lies, if that stopped the reading.
  [[nodiscard]] const std::optional<readers::RecordPlace>& refused_at() const noexcept {
    return refused_at_;
  }

  Status operator()(Row&& row) {
    if (direct_ == nullptr) {
      if (auto begun = begin(row); !begun) return begun;
    }
    if (auto taken = direct_->take(std::move(row)); !taken) return taken;
    return waiting_.bytes.size() < pending_bytes ? Status{} : send_waiting();
  }

  // Sends what waits after the last row and closes the way in. Fails as the engine does.
  Status finish() {
    if (auto sent = send_waiting(); !sent) return sent;
    return connection_.close();
  }

  [[nodiscard]] bool has_created_table() const noexcept { return has_created_; }
  [[nodiscard]] std::uint64_t rows() const noexcept { return rows_; }
  // The rows taken so far, sent or waiting. Never fails.
  [[nodiscard]] std::uint64_t taken() const noexcept { return rows_ + waiting_.rows; }
  // Whether sending rows to the engine failed, which may concern rows of an input read before.
  [[nodiscard]] bool has_engine_failure() const noexcept { return has_engine_failure_; }

 private:
  // The table, made from the first row (or the schema) when asked for, and what the encoders
  // need to know of it.
  Status begin(const Row& first_row) {
    if (auto refused = convert::refuse_nul_names(first_row); !refused) return refused;
    auto columns = typing_.table_columns(schema_ != nullptr ? schema_->columns() : first_row);
    if (!columns) return std::unexpected(std::move(columns.error()));
    if (options_->create_table) {
      auto statement = sql::generate_create_table_with_pk(
          options_->table_name, *columns, options_->dialect, options_.primary_key(),
          options_->schema.value_or(""),
          schema_ != nullptr ? schema_->fractional_times() : std::vector<bool>{});
      if (!statement) return std::unexpected(std::move(statement.error()));
      auto created = connection_.create_table(*statement);
      if (!created) return std::unexpected(std::move(created.error()));
      has_created_ = *created;
      watch_.remember(first_row);
    }
    if (auto inspected = connection_.inspect(); !inspected) return inspected;
    direct_ = make_worker();
    direct_->fill(waiting_);
    return {};
  }

  std::unique_ptr<LoadWorker> make_worker() {
    return std::make_unique<LoadWorker>(connection_.encoder(), schema_, typing_,
                                        watch_.is_on() ? &watch_ : nullptr, pieces_, piece_bytes_);
  }

  // Sends the rows read here that wait, and starts waiting afresh.
  Status send_waiting() {
    if (direct_ == nullptr || waiting_.rows == 0) return {};
    Status sent = send(waiting_);
    direct_->fill(waiting_);
    return sent;
  }

  // Sends the rows of `piece`, the next in the input, a run at a time.
  Status send(const LoadPiece& piece) {
    if (watch_.is_on()) watch_.warn(piece.losses, rows_);
    const std::string_view bytes = piece.bytes.view();
    for (std::size_t i = 0; i < piece.runs.size(); ++i) {
      const Run& run = piece.runs[i];
      const bool is_last = i + 1 == piece.runs.size();
      const std::uint64_t end_row = is_last ? piece.rows : piece.runs[i + 1].row;
      const std::size_t end_at = is_last ? bytes.size() : piece.runs[i + 1].at;
      Status sent = connection_.open(run.names, run.way);
      if (sent) sent = connection_.send(bytes.substr(run.at, end_at - run.at), end_row - run.row);
      if (!sent) {
        has_engine_failure_ = true;
        return sent;
      }
    }
    rows_ += piece.rows;
    return {};
  }

  Connection& connection_;
  const convert::CheckedOptions& options_;
  const convert::Schema* schema_;
  convert::ColumnTyping typing_;
  convert::ValueWatch watch_;           // of values the table may not keep as they are
  std::size_t piece_bytes_;             // room given to each output
  std::vector<LoadPiece> pieces_;       // the slots of pieces read on other threads
  LoadPiece waiting_;                   // the rows read here, not yet sent
  std::unique_ptr<LoadWorker> direct_;  // the reading's own thread's, once the table is there
  bool has_created_ = false;
  bool has_engine_failure_ = false;
  std::uint64_t rows_ = 0;  // sent so far
  std::optional<readers::RecordPlace> refused_at_;
};

Result<std::unique_ptr<Connection>> connect(const Target& target,
                                            const convert::CheckedOptions& options) {
  TableSettings settings{options->table_name, options->on_conflict,
                         options.primary_key().key_columns(), options->schema.value_or("")};
  switch (target.dialect) {
    case sql::Dialect::Sqlite:
      return connect_sqlite(target, std::move(settings));
    case sql::Dialect::Mysql:
      return connect_mysql(target, std::move(settings));
    case sql::Dialect::Postgres:
      break;
  }
  return connect_postgres(target, std::move(settings));
}

// `error`, an engine's refusal of row `row`, with where the row's record lies in the input, read
// again to find it; as it was when the input cannot say.
core::Error placed(core::Error error, core::ReplayableSource& input,
                   const convert::ConversionOptions& options, std::uint64_t row) {
  if (!input.rewind()) return error;
  const auto place =
      readers::locate_row(input, options.format, convert::read_options(options), row);
  if (!place || !*place) return error;
  return convert::at_record(std::move(error), **place);
}

// The options of a load into `target`, checked; a load takes no script's shapes.
Result<convert::CheckedOptions> load_options(convert::ConversionOptions options,
                                             const Target& target) {
  options.dialect = target.dialect;
  if (options.copy || options.batch_size != 1) {
    return std::unexpected(
        core::invalid("COPY blocks and batches shape a script: a load sends the rows its own way"));
  }
  return convert::check_options(std::move(options));
}

// A load before it reads its input: the options checked, the database connected to, and the
// schema rows are typed by when the options take it from every record (borrowed), else null.
struct Prepared {
  convert::CheckedOptions options;
  std::unique_ptr<Connection> connection;
  readers::ReadPlan plan;
  const convert::Schema* schema;
};

// Reads into a schema, with the options and plan of the load, whatever input the load has.
using SchemaReading = std::function<Status(const convert::CheckedOptions&, const readers::ReadPlan&,
                                           convert::Schema&)>;

// Checks `options` for a load into `target`, connects to it, and when the options take the schema
// from every record, reads it into `schema`, empty, with `read_schema`. Fails as the first of
// these steps does.
Result<Prepared> prepare(convert::ConversionOptions options, const Target& target,
                         const readers::ReadLimits& limits, convert::Schema& schema,
                         const SchemaReading& read_schema) {
  auto checked = load_options(std::move(options), target);
  if (!checked) return std::unexpected(std::move(checked.error()));
  auto connection = connect(target, *checked);
  if (!connection) return std::unexpected(std::move(connection.error()));
  const readers::ReadPlan plan = convert::read_plan(**checked, limits);
  const bool has_schema = (*checked)->schema_from == convert::SchemaFrom::All;
  if (has_schema) {
    if (auto read = read_schema(*checked, plan, schema); !read) {
      return std::unexpected(std::move(read.error()));
    }
  }
  return Prepared{std::move(*checked), std::move(*connection), plan,
                  has_schema ? &schema : nullptr};
}

// The failure of a load, after the rollback: placed at the record the engine or a declared type
// refused, when known; `input` gives the record's input to read again.
core::Error load_failure(core::Error error, const LoadWork& work, Connection& database,
                         const convert::CheckedOptions& options,
                         const std::function<core::ReplayableSource*(std::uint64_t&)>& input) {
  database.abandon(work.has_created_table());
  if (work.refused_at()) return convert::at_record(std::move(error), *work.refused_at());
  auto row = database.refused_row();
  if (!row || error.kind == core::ErrorKind::Interrupted) return error;
  core::ReplayableSource* source = input(*row);
  if (source == nullptr) return error;
  return placed(std::move(error), *source, *options, *row);
}

}  // namespace

Result<std::uint64_t> load(core::ByteSource& source, convert::ConversionOptions options,
                           const Target& target, core::Monitor* monitor,
                           const readers::ReadLimits& limits) {
  // Kept so that the record of a row the engine refuses can be found by reading it again.
  core::ReplayableSource input(source);
  convert::Schema schema;
  auto prepared = prepare(std::move(options), target, limits, schema,
                          [&](const convert::CheckedOptions& checked, const readers::ReadPlan& plan,
                              convert::Schema& read) {
                            return convert::read_schema(input, checked, monitor, plan, read);
                          });
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  const convert::CheckedOptions& checked = prepared->options;
  Connection& database = *prepared->connection;
  LoadWork work(database, checked, prepared->schema, monitor, prepared->plan.limits.piece_bytes);
  Status loaded = database.begin();
  if (loaded) {
    loaded = readers::read_input(input, checked->format, convert::read_options(*checked), monitor,
                                 work, prepared->plan);
  }
  if (loaded) loaded = work.finish();
  if (loaded) loaded = database.commit();
  if (loaded) return work.rows();
  return std::unexpected(load_failure(std::move(loaded.error()), work, database, checked,
                                      [&](std::uint64_t&) { return &input; }));
}

Result<std::uint64_t> load_files(const std::vector<std::string>& paths,
                                 convert::ConversionOptions options, const Target& target,
                                 core::Monitor* monitor, const readers::ReadLimits& limits) {
  convert::Schema schema;
  auto prepared = prepare(std::move(options), target, limits, schema,
                          [&](const convert::CheckedOptions& checked, const readers::ReadPlan& plan,
                              convert::Schema& read) {
                            return convert::read_files_schema(paths, checked, monitor, plan, read);
                          });
  if (!prepared) return std::unexpected(std::move(prepared.error()));
  const convert::CheckedOptions& checked = prepared->options;
  Connection& database = *prepared->connection;
  convert::FilesRead files(monitor);
  core::Monitor* const told = files.or_null();
  LoadWork work(database, checked, prepared->schema, told, prepared->plan.limits.piece_bytes,
                &files);
  std::vector<std::uint64_t> ends;  // the rows taken when each file was read
  std::vector<std::string> header;
  Status loaded = database.begin();
  const std::string* failed_in = nullptr;
  for (const std::string& path : paths) {
    if (!loaded) break;
    failed_in = &path;
    auto fd = core::open_for_reading(path);
    if (!fd) {
      loaded = std::unexpected(std::move(fd.error()));
      break;
    }
    files.begin(path, work.taken());
    core::FdSource file(std::move(*fd), told);
    loaded = readers::read_input(file, checked->format,
                                 convert::file_read_options(*checked, path, header), told, work,
                                 prepared->plan);
    ends.push_back(work.taken());
  }
  // Rows wait before they are sent, so the engine's refusal while a file is read may be of a row
  // of a file before: only the row, when the engine says which, tells whose it is.
  if (loaded || work.has_engine_failure()) failed_in = nullptr;
  if (loaded) loaded = work.finish();
  if (loaded) loaded = database.commit();
  if (loaded) return work.rows();

  // An engine's refusal may come after the last file was read: the row says whose it was.
  std::optional<core::FdSource> again;
  std::optional<core::ReplayableSource> replay;
  const auto input_of_row = [&](std::uint64_t& row) -> core::ReplayableSource* {
    const auto file = static_cast<std::size_t>(std::ranges::upper_bound(ends, row) - ends.begin());
    if (file >= paths.size()) return nullptr;
    failed_in = &paths[file];
    if (file > 0) row -= ends[file - 1];
    auto fd = core::open_for_reading(paths[file]);
    if (!fd) return nullptr;
    again.emplace(std::move(*fd), nullptr);
    replay.emplace(*again);
    return &*replay;
  };
  core::Error error =
      load_failure(std::move(loaded.error()), work, database, checked, input_of_row);
  if (failed_in != nullptr) error.input = *failed_in;
  return std::unexpected(std::move(error));
}

Result<std::uint64_t> load_file(const std::string& path, convert::ConversionOptions options,
                                const Target& target, core::Monitor* monitor) {
  auto fd = core::open_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  core::FdSource source(std::move(*fd), monitor);
  return load(source, std::move(options), target, monitor);
}

Status execute(const Target& target, const std::vector<std::string>& statements) {
  auto connection = [&]() -> Result<std::unique_ptr<Connection>> {
    switch (target.dialect) {
      case sql::Dialect::Sqlite:
        return connect_sqlite(target, TableSettings{});
      case sql::Dialect::Mysql:
        return connect_mysql(target, TableSettings{});
      case sql::Dialect::Postgres:
        break;
    }
    return connect_postgres(target, TableSettings{});
  }();
  if (!connection) return std::unexpected(std::move(connection.error()));
  for (const std::string& statement : statements) {
    if (auto done = (*connection)->execute(statement); !done) return done;
  }
  return {};
}

}  // namespace morvel::load
