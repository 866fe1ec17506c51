// Loading into PostgreSQL through libpq: COPY FROM STDIN, in one transaction. Rows go in the
// binary format, which the server reads in half the time of the text format (measured on the
// benchmark's rows, 1.4 s of server time against 2.8 s), but for those whose values only the
// server's own reading of their text gets right, which go in the text format. Rows whose key may
// be taken go through a temporary table first, from which one INSERT moves them with the
// conflict handling COPY lacks.

#include <algorithm>
#include <charconv>
#include <unordered_map>
#include <utility>

#include "core/text.hpp"
#include "load/client_library.hpp"
#include "load/engine.hpp"
#include "load/pg_binary.hpp"
#include "sql/copy.hpp"

namespace morvel::load {

namespace {

using core::Result;
using core::Row;
using core::Status;

// Bytes per call to libpq, which takes an int.
constexpr std::size_t most_bytes_per_call = 64 * 1024 * 1024;

// Where rows that may meet a taken key wait before they move to the table.
constexpr std::string_view staging_table = "pg_temp.morvel_rows";

// Owns a result and clears it when it goes, through `api`, the process's.
class PgResult {
 public:
  PgResult(const PostgresClient& api, PGresult* result) noexcept : api_(api), result_(result) {}
  PgResult(const PgResult&) = delete;  // cleared once
  PgResult& operator=(const PgResult&) = delete;
  ~PgResult() { api_.PQclear(result_); }
  [[nodiscard]] PGresult* get() const noexcept { return result_; }
  [[nodiscard]] ExecStatusType status() const noexcept { return api_.PQresultStatus(result_); }

 private:
  const PostgresClient& api_;
  PGresult* result_;
};

// The ways rows go in.
constexpr unsigned text_way = 0;
constexpr unsigned binary_way = 1;

// What the encoders need to know of the table, learnt once before the first row.
struct TableShape {
  std::unordered_map<std::string, PgType> columns;
  bool is_utc = false;  // the session reads a time without a zone as UTC
};

class PostgresEncoder final : public RowEncoder {
 public:
  // `shape` is the connection's, borrowed and read only.
  explicit PostgresEncoder(const TableShape& shape) noexcept : shape_(shape) {}

  void set_columns(const Row& names) override {
    types_.clear();
    for (const Row::Entry entry : names) {
      const auto found = shape_.columns.find(std::string(entry.name));
      types_.push_back(found != shape_.columns.end() ? found->second : PgType::Other);
    }
    is_binary_ = std::find(types_.begin(), types_.end(), PgType::Other) == types_.end();
  }

  unsigned append(core::ByteBuffer& out, const Row& row, const core::DataType* types) override {
    // The server refuses NUL in text, in a message of its own about the text format's \000.
    if (is_binary_ && !row.holds_nul() &&
        append_binary_row(out, row, types, types_, shape_.is_utc)) {
      return binary_way;
    }
    copy_.append_row(out, row, types);
    return text_way;
  }

 private:
  const TableShape& shape_;
  std::vector<PgType> types_;  // of the columns set
  bool is_binary_ = false;
  sql::CopyWriter copy_{std::string_view()};
};

// Whether a time zone's name is one of UTC's.
bool is_utc_zone(std::string_view name) noexcept {
  for (const std::string_view utc :
       {"utc", "etc/utc", "gmt", "etc/gmt", "uct", "etc/uct", "zulu", "etc/zulu", "universal",
        "etc/universal", "greenwich", "etc/greenwich", "gmt0", "etc/gmt0", "gmt+0", "gmt-0",
        "etc/gmt+0", "etc/gmt-0"}) {
    if (core::equals_ascii_folded(name, utc)) return true;
  }
  return false;
}

// `text` on one line: libpq ends its lines, and indents the ones after the first.
std::string one_line(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    while (!line.empty() && (line.front() == '\t' || line.front() == ' ')) line.remove_prefix(1);
    if (!line.empty()) out.append(out.empty() ? "" : "; ").append(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

// The number after `label` in `text`, or nothing.
std::optional<std::uint64_t> number_after(std::string_view text, std::string_view label) {
  const std::size_t at = text.find(label);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view digits = text.substr(at + label.size());
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || number == 0) return std::nullopt;
  return number;
}

class PostgresConnection final : public Connection {
 public:
  // `api` is the process's, which lives as long.
  PostgresConnection(const PostgresClient& api, PGconn* connection, const Target& target,
                     TableSettings settings)
      : api_(api), connection_(connection), target_(target), settings_(std::move(settings)) {
    table_ = sql::Dialect(sql::Dialect::Postgres).quote_table(settings_.schema, settings_.table);
  }
  ~PostgresConnection() override { api_.PQfinish(connection_); }

  Status begin() override { return run("BEGIN"); }

  Result<bool> create_table(const std::string& statement) override {
    const char* name = table_.c_str();
    const PgResult existed(
        api_, api_.PQexecParams(connection_, "SELECT to_regclass($1) IS NOT NULL", 1, nullptr,
                                &name, nullptr, nullptr, 0));
    if (existed.status() != PGRES_TUPLES_OK) return std::unexpected(error(existed.get()));
    const bool is_new = std::string_view(api_.PQgetvalue(existed.get(), 0, 0)) != "t";
    if (auto created = run(statement); !created) return std::unexpected(created.error());
    return is_new;
  }

  Status inspect() override {
    const char* name = table_.c_str();
    const PgResult columns(
        api_,
        api_.PQexecParams(
            connection_,
            "SELECT attname, format_type(atttypid, atttypmod) FROM pg_attribute WHERE attrelid = "
            "to_regclass($1) AND attnum > 0 AND NOT attisdropped",
            1, nullptr, &name, nullptr, nullptr, 0));
    if (columns.status() != PGRES_TUPLES_OK) return std::unexpected(error(columns.get()));
    for (int row = 0; row < api_.PQntuples(columns.get()); ++row) {
      shape_.columns.emplace(api_.PQgetvalue(columns.get(), row, 0),
                             pg_type_of(api_.PQgetvalue(columns.get(), row, 1)));
    }
    const PgResult zone(api_, api_.PQexec(connection_, "SHOW TimeZone"));
    if (zone.status() != PGRES_TUPLES_OK) return std::unexpected(error(zone.get()));
    shape_.is_utc = is_utc_zone(api_.PQgetvalue(zone.get(), 0, 0));
    return {};
  }

  std::unique_ptr<RowEncoder> encoder() const override {
    return std::make_unique<PostgresEncoder>(shape_);
  }

  Status open(const Row& names, unsigned way) override {
    if (is_copying_ && (way == binary_way) == is_binary_ && names.has_same_names(names_)) {
      return {};
    }
    if (auto closed = close(); !closed) return closed;
    columns_ = column_list(names);
    names_ = names;
    first_row_ = sent_;
    std::string into = table_;
    if (settings_.on_conflict != sql::OnConflict::Error) {
      into = staging_table;
      // The staging table has the table's types for these columns and nothing else: no key, no
      // default, no constraint that COPY could trip over before the conflicts are handled.
      if (auto staged = run("DROP TABLE IF EXISTS " + into +
                            "; CREATE TEMP TABLE morvel_rows ON "
                            "COMMIT DROP AS SELECT " +
                            columns_ + " FROM " + table_ + " WITH NO DATA");
          !staged) {
        refused_ = first_row_;
        return staged;
      }
    }
    is_binary_ = way == binary_way;
    const std::string copy = "COPY " + into + " (" + columns_ + ") FROM STDIN" +
                             (is_binary_ ? " WITH (FORMAT binary)" : "");
    const PgResult started(api_, api_.PQexec(connection_, copy.c_str()));
    if (started.status() != PGRES_COPY_IN) {
      // The first row with these columns is the one the table cannot take.
      refused_ = first_row_;
      return std::unexpected(error(started.get()));
    }
    is_copying_ = true;
    return is_binary_ ? put(binary_copy_header) : Status{};
  }

  Status send(std::string_view bytes, std::uint64_t rows) override {
    if (auto sent = put(bytes); !sent) return sent;
    sent_ += rows;
    return {};
  }

  Status close() override {
    if (!is_copying_) return {};
    if (is_binary_) {
      if (auto ended = put(binary_copy_trailer); !ended) return ended;
    }
    if (auto ended = end_copy(nullptr); !ended) return ended;
    if (settings_.on_conflict == sql::OnConflict::Error) return {};
    return run(merge_statement());
  }

  Status commit() override { return run("COMMIT"); }

  // The transaction takes the table's creation with it.
  void abandon(bool) noexcept override {
    if (is_copying_) (void)end_copy("the load was stopped");
    const PgResult rolled_back(api_, api_.PQexec(connection_, "ROLLBACK"));
  }

  std::optional<std::uint64_t> refused_row() const noexcept override { return refused_; }

  Status execute(const std::string& statement) override { return run(statement); }

 private:
  // Sends `bytes` of the COPY under way.
  Status put(std::string_view bytes) {
    while (!bytes.empty()) {
      const std::size_t size = std::min(bytes.size(), most_bytes_per_call);
      if (api_.PQputCopyData(connection_, bytes.data(), static_cast<int>(size)) != 1) {
        // The server refused a row, which ended the COPY, or the connection is gone.
        Status ended = end_copy(nullptr);
        if (ended) ended = std::unexpected(error(nullptr));
        return ended;
      }
      bytes.remove_prefix(size);
    }
    return {};
  }

  // Ends the COPY under way, with `failure` as its reason when there is one, and returns its
  // outcome: a refused row is named by the line of the COPY's data it was on.
  Status end_copy(const char* failure) {
    if (!is_copying_) return {};
    is_copying_ = false;
    (void)api_.PQputCopyEnd(connection_, failure);
    Status outcome;
    while (PGresult* next = api_.PQgetResult(connection_)) {
      const PgResult result(api_, next);
      if (result.status() == PGRES_COMMAND_OK || !outcome) continue;
      // A value the column refuses (class 22) or a constraint (23) is the row's doing; the COPY's
      // line means nothing when the server went away meanwhile.
      const char* state = api_.PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
      const char* context = api_.PQresultErrorField(result.get(), PG_DIAG_CONTEXT);
      const bool is_rows = state != nullptr && (std::string_view(state).starts_with("22") ||
                                                std::string_view(state).starts_with("23"));
      const auto line =
          is_rows && context != nullptr ? number_after(context, ", line ") : std::nullopt;
      if (line) refused_ = first_row_ + *line - 1;
      outcome = std::unexpected(error(result.get()));
    }
    if (outcome && api_.PQstatus(connection_) != CONNECTION_OK) {
      outcome = std::unexpected(error(nullptr));
    }
    return outcome;
  }

  // Moves the staged rows into the table in input order: a row whose key is taken is skipped,
  // or replaces the stored row, the last of the rows with that key winning, as row by row INSERTs
  // would have it.
  std::string merge_statement() const {
    const sql::Dialect dialect = sql::Dialect::Postgres;
    const auto& keys = settings_.key_columns;
    const bool has_keys =
        !keys.empty() && std::all_of(keys.begin(), keys.end(),
                                     [&](const auto& k) { return names_.find(k).has_value(); });
    std::string key_list;
    for (const std::string& key : keys) {
      if (!key_list.empty()) key_list += ", ";
      dialect.append_quoted_identifier(key_list, key);
    }
    std::string updates;
    for (const Row::Entry entry : names_) {
      if (std::find(keys.begin(), keys.end(), entry.name) != keys.end()) continue;
      if (!updates.empty()) updates += ", ";
      dialect.append_quoted_identifier(updates, entry.name);
      updates += " = EXCLUDED.";
      dialect.append_quoted_identifier(updates, entry.name);
    }
    const bool replaces = settings_.on_conflict == sql::OnConflict::Replace && has_keys;
    std::string statement = "INSERT INTO " + table_ + " (" + columns_ + ") SELECT ";
    if (replaces) statement += "DISTINCT ON (" + key_list + ") ";
    statement += columns_ + " FROM " + std::string(staging_table) + " ORDER BY ";
    statement += replaces ? key_list + ", ctid DESC" : std::string("ctid");
    if (!replaces || updates.empty()) return statement + " ON CONFLICT DO NOTHING";
    return statement + " ON CONFLICT (" + key_list + ") DO UPDATE SET " + updates;
  }

  static std::string column_list(const Row& names) {
    std::string list;
    for (const Row::Entry entry : names) {
      if (!list.empty()) list += ", ";
      sql::Dialect(sql::Dialect::Postgres).append_quoted_identifier(list, entry.name);
    }
    return list;
  }

  Status run(const std::string& statement) {
    const PgResult result(api_, api_.PQexec(connection_, statement.c_str()));
    if (result.status() == PGRES_COMMAND_OK || result.status() == PGRES_TUPLES_OK) return {};
    return std::unexpected(error(result.get()));
  }

  // The server's error in `result`, its detail and column included, or the connection's.
  core::Error error(const PGresult* result) const {
    const char* primary =
        result != nullptr ? api_.PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    std::string message = "PostgreSQL: ";
    if (primary == nullptr) {
      message += one_line(api_.PQerrorMessage(connection_));
    } else {
      message += primary;
      std::string notes;
      const char* context = api_.PQresultErrorField(result, PG_DIAG_CONTEXT);
      const std::string_view where = context != nullptr ? context : "";
      if (const std::size_t at = where.find(", column "); at != std::string_view::npos) {
        notes = "column " + std::string(where.substr(at + 9, where.find(':', at) - at - 9));
      }
      if (const char* detail = api_.PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) {
        notes += (notes.empty() ? "" : "; ") + std::string(detail);
      }
      if (!notes.empty()) message += " (" + notes + ")";
    }
    return core::Error{core::ErrorKind::Io, without_password(std::move(message), target_)};
  }

  const PostgresClient& api_;
  PGconn* connection_;
  const Target& target_;
  TableSettings settings_;
  std::string table_;    // quoted
  std::string columns_;  // of the COPY open, quoted
  Row names_;
  TableShape shape_;
  bool is_copying_ = false;
  bool is_binary_ = false;  // the COPY under way
  std::uint64_t sent_ = 0;
  std::uint64_t first_row_ = 0;  // of the COPY open
  std::optional<std::uint64_t> refused_;
};

// libpq prints the server's notices on standard error unless told otherwise; a load says nothing
// of its own.
void ignore_notice(void*, const char*) {}

}  // namespace

Result<std::unique_ptr<Connection>> connect_postgres(const Target& target, TableSettings settings) {
  const auto client = postgres_client();
  if (!client) return std::unexpected(client.error());
  const PostgresClient& api = **client;
  PGconn* connection = api.PQconnectdb(target.location.c_str());
  if (connection == nullptr) return std::unexpected(core::invalid("out of memory"));
  if (api.PQstatus(connection) != CONNECTION_OK ||
      api.PQsetClientEncoding(connection, "UTF8") != 0) {
    std::string message = without_password(
        "cannot connect to the PostgreSQL database: " + one_line(api.PQerrorMessage(connection)),
        target);
    api.PQfinish(connection);
    return std::unexpected(core::Error{core::ErrorKind::Open, std::move(message)});
  }
  api.PQsetNoticeProcessor(connection, ignore_notice, nullptr);
  return std::make_unique<PostgresConnection>(api, connection, target, std::move(settings));
}

}  // namespace morvel::load
