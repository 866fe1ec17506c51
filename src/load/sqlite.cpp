// Loading into SQLite through its C API: one prepared INSERT per column list, every value bound in
// the type its column keeps, all in one transaction.

#include <unistd.h>

#include <charconv>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "core/text.hpp"
#include "load/client_library.hpp"
#include "load/engine.hpp"
#include "load/values.hpp"
#include "sql/literal.hpp"

namespace morvel::load {

namespace {

using core::DataType;
using core::Result;
using core::Row;
using core::Status;

// What a column does with the values put in it, by its declared type.
enum class Affinity : std::uint8_t { Integer, Real, Numeric, Text, Blob };

// SQLite's own rules, in their order: INT, then CHAR, CLOB or TEXT, then BLOB or no type, then
// REAL, FLOA or DOUB, else NUMERIC.
Affinity affinity_of(std::string_view declared) {
  std::string upper(declared);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const auto has = [&](std::string_view part) { return upper.find(part) != std::string::npos; };
  if (has("INT")) return Affinity::Integer;
  if (has("CHAR") || has("CLOB") || has("TEXT")) return Affinity::Text;
  if (has("BLOB") || upper.empty()) return Affinity::Blob;
  if (has("REAL") || has("FLOA") || has("DOUB")) return Affinity::Real;
  return Affinity::Numeric;
}

// How the encoder marks each value for the binding.
enum Tag : char { null_tag, integer_tag, real_tag, text_tag };

char* put_tagged(char* at, Tag tag, const void* value, std::size_t size) noexcept {
  *at++ = tag;
  std::memcpy(at, value, size);
  return at + size;
}

char* put_text(char* at, std::string_view text) noexcept {
  const std::uint64_t size = text.size();
  at = put_tagged(at, text_tag, &size, sizeof size);
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

char* put_double(char* at, double value) noexcept {
  return put_tagged(at, real_tag, &value, sizeof value);
}

// A value goes in as its text into a text column, which keeps it as written; as a number into
// the others, parsed here exactly (SQLite's own parsing of some decimal texts lands on the double
// next to the nearest); booleans as 1 and 0, as SQLite has them.
char* put_value(char* at, std::string_view text, DataType type, Affinity affinity) noexcept {
  switch (type) {
    case DataType::Null:
      *at++ = null_tag;
      return at;
    case DataType::Boolean: {
      const std::int64_t truth = sql::is_true_text(text) ? 1 : 0;
      return put_tagged(at, integer_tag, &truth, sizeof truth);
    }
    case DataType::Integer:
      if (affinity == Affinity::Text) break;
      if (affinity == Affinity::Real) {
        if (const auto number = parse_double(text)) return put_double(at, *number);
        break;
      }
      if (const auto number = parse_integer(text)) {
        return put_tagged(at, integer_tag, &*number, sizeof *number);
      }
      break;
    case DataType::Float:
      if (affinity == Affinity::Text) break;
      if (const auto number = parse_double(text)) return put_double(at, *number);
      break;
    default:
      break;
  }
  return put_text(at, text);
}

class SqliteEncoder final : public RowEncoder {
 public:
  // `affinities` is the connection's, borrowed and read only.
  explicit SqliteEncoder(const std::unordered_map<std::string, Affinity>& affinities) noexcept
      : affinities_(affinities) {}

  void set_columns(const Row& names) override {
    columns_.clear();
    for (const Row::Entry entry : names) {
      const auto found = affinities_.find(std::string(entry.name));
      columns_.push_back(found != affinities_.end() ? found->second : Affinity::Blob);
    }
  }

  unsigned append(core::ByteBuffer& out, const Row& row, const DataType* types) override {
    // A tag and eight bytes at most besides each text.
    char* at = out.room(row.text_bytes() + 9 * row.size());
    for (std::size_t i = 0; i < row.size(); ++i) {
      const Row::Entry entry = row[i];
      const DataType type =
          types != nullptr && entry.type != DataType::Null ? types[i] : entry.type;
      at = put_value(at, core::trim_white_space(entry.text), type, columns_[i]);
    }
    out.commit(at);
    return 0;
  }

 private:
  const std::unordered_map<std::string, Affinity>& affinities_;
  std::vector<Affinity> columns_;
};

// Reads what put_value wrote.
template <class T>
T read_as(const char*& at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  at += sizeof value;
  return value;
}

class SqliteConnection final : public Connection {
 public:
  // `api` is the process's, which lives as long.
  SqliteConnection(const SqliteClient& api, sqlite3* database, std::string path, bool is_new_file,
                   TableSettings settings)
      : api_(api),
        database_(database),
        path_(std::move(path)),
        is_new_file_(is_new_file),
        settings_(std::move(settings)) {}
  ~SqliteConnection() override {
    api_.sqlite3_finalize(insert_);
    api_.sqlite3_close_v2(database_);
  }

  // IMMEDIATE takes the write lock at once, so that a database another writer holds is refused
  // before anything is read.
  Status begin() override { return run("BEGIN IMMEDIATE"); }

  Result<bool> create_table(const std::string& statement) override {
    const bool existed = has_table();
    if (auto created = run(statement); !created) return std::unexpected(std::move(created.error()));
    return !existed;
  }

  Status inspect() override {
    sqlite3_stmt* columns = nullptr;
    const char* query = settings_.schema.empty() ? "SELECT name, type FROM pragma_table_info(?)"
                                                 : "SELECT name, type FROM pragma_table_info(?, ?)";
    if (api_.sqlite3_prepare_v2(database_, query, -1, &columns, nullptr) != SQLITE_OK) {
      return failure();
    }
    api_.sqlite3_bind_text(columns, 1, settings_.table.data(),
                           static_cast<int>(settings_.table.size()), SQLITE_STATIC);
    if (!settings_.schema.empty()) {
      api_.sqlite3_bind_text(columns, 2, settings_.schema.data(),
                             static_cast<int>(settings_.schema.size()), SQLITE_STATIC);
    }
    while (api_.sqlite3_step(columns) == SQLITE_ROW) {
      const auto text = [&](int column) {
        const auto* bytes =
            reinterpret_cast<const char*>(api_.sqlite3_column_text(columns, column));
        return std::string(bytes != nullptr ? bytes : "");
      };
      affinities_.emplace(text(0), affinity_of(text(1)));
    }
    api_.sqlite3_finalize(columns);
    return {};
  }

  std::unique_ptr<RowEncoder> encoder() const override {
    return std::make_unique<SqliteEncoder>(affinities_);
  }

  Status open(const Row& names, unsigned) override {
    if (insert_ != nullptr && names.has_same_names(names_)) return {};
    (void)close();
    names_ = names;
    std::string statement = settings_.on_conflict == sql::OnConflict::Ignore ? "INSERT OR IGNORE"
                            : settings_.on_conflict == sql::OnConflict::Replace
                                ? "INSERT OR REPLACE"
                                : "INSERT";
    statement += " INTO " +
                 sql::Dialect(sql::Dialect::Sqlite).quote_table(settings_.schema, settings_.table);
    statement += values_clause(names);
    columns_ = names.size();
    if (api_.sqlite3_prepare_v3(database_, statement.c_str(), static_cast<int>(statement.size()),
                                SQLITE_PREPARE_PERSISTENT, &insert_, nullptr) != SQLITE_OK) {
      // The first row with these columns is the one the table cannot take.
      refused_ = sent_;
      return failure();
    }
    return {};
  }

  Status send(std::string_view bytes, std::uint64_t rows) override {
    const char* at = bytes.data();
    for (std::uint64_t row = 0; row < rows; ++row) {
      for (std::size_t column = 1; column <= columns_; ++column) bind(column, at);
      if (api_.sqlite3_step(insert_) != SQLITE_DONE) {
        refused_ = sent_ + row;
        Status failed = failure();
        api_.sqlite3_reset(insert_);
        return failed;
      }
      api_.sqlite3_reset(insert_);
    }
    sent_ += rows;
    return {};
  }

  Status close() override {
    api_.sqlite3_finalize(insert_);
    insert_ = nullptr;
    return {};
  }

  Status commit() override { return run("COMMIT"); }

  void abandon(bool) noexcept override {
    api_.sqlite3_finalize(insert_);
    insert_ = nullptr;
    // Rolling back undoes the table's creation as well.
    (void)api_.sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (!is_new_file_) return;
    api_.sqlite3_close_v2(database_);
    database_ = nullptr;
    ::unlink(path_.c_str());
  }

  std::optional<std::uint64_t> refused_row() const noexcept override { return refused_; }

  Status execute(const std::string& statement) override { return run(statement); }

 private:
  void bind(std::size_t column, const char*& at) noexcept {
    const int index = static_cast<int>(column);
    switch (*at++) {
      case integer_tag:
        api_.sqlite3_bind_int64(insert_, index, read_as<std::int64_t>(at));
        return;
      case real_tag:
        api_.sqlite3_bind_double(insert_, index, read_as<double>(at));
        return;
      case text_tag: {
        const auto size = read_as<std::uint64_t>(at);
        // Static: the bytes stay put until the row is stepped, and every value is bound anew
        // for the next row.
        api_.sqlite3_bind_text64(insert_, index, at, size, SQLITE_STATIC, SQLITE_UTF8);
        at += size;
        return;
      }
      default:
        api_.sqlite3_bind_null(insert_, index);
    }
  }

  static std::string values_clause(const Row& names) {
    std::string columns = " (";
    std::string marks = ") VALUES (";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i > 0) {
        columns += ", ";
        marks += ", ";
      }
      sql::Dialect(sql::Dialect::Sqlite).append_quoted_identifier(columns, names[i].name);
      marks += '?';
    }
    return columns + marks + ")";
  }

  bool has_table() {
    sqlite3_stmt* query = nullptr;
    const std::string statement =
        "SELECT 1 FROM " +
        sql::Dialect(sql::Dialect::Sqlite).quote_table(settings_.schema, "sqlite_schema") +
        " WHERE type = 'table' AND name = ? COLLATE NOCASE";
    if (api_.sqlite3_prepare_v2(database_, statement.c_str(), -1, &query, nullptr) != SQLITE_OK) {
      return false;
    }
    api_.sqlite3_bind_text(query, 1, settings_.table.data(),
                           static_cast<int>(settings_.table.size()), SQLITE_STATIC);
    const bool found = api_.sqlite3_step(query) == SQLITE_ROW;
    api_.sqlite3_finalize(query);
    return found;
  }

  Status run(const std::string& statement) {
    if (api_.sqlite3_exec(database_, statement.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      return failure();
    }
    return {};
  }

  Status failure() const {
    return std::unexpected(
        core::Error{core::ErrorKind::Io, std::string("SQLite: ") + api_.sqlite3_errmsg(database_)});
  }

  const SqliteClient& api_;
  sqlite3* database_;
  std::string path_;
  bool is_new_file_;
  TableSettings settings_;
  std::unordered_map<std::string, Affinity> affinities_;
  sqlite3_stmt* insert_ = nullptr;
  Row names_;  // of the INSERT prepared
  std::size_t columns_ = 0;
  std::uint64_t sent_ = 0;
  std::optional<std::uint64_t> refused_;
};

}  // namespace

Result<std::unique_ptr<Connection>> connect_sqlite(const Target& target, TableSettings settings) {
  const auto client = sqlite_client();
  if (!client) return std::unexpected(client.error());
  const SqliteClient& api = **client;
  const bool is_new_file = ::access(target.location.c_str(), F_OK) != 0;
  sqlite3* database = nullptr;
  const int opened = api.sqlite3_open_v2(
      target.location.c_str(), &database,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (opened != SQLITE_OK) {
    std::string message = "cannot open the SQLite database '" + target.location + "': " +
                          (database != nullptr ? api.sqlite3_errmsg(database) : "out of memory");
    api.sqlite3_close_v2(database);
    if (is_new_file) ::unlink(target.location.c_str());
    return std::unexpected(core::Error{core::ErrorKind::Open, std::move(message)});
  }
  // Another writer is waited for a while rather than refused at once.
  api.sqlite3_busy_timeout(database, 5000);
  return std::make_unique<SqliteConnection>(api, database, target.location, is_new_file,
                                            std::move(settings));
}

}  // namespace morvel::load
