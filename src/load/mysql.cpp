// Loading into MySQL and MariaDB through MariaDB Connector/C: LOAD DATA LOCAL INFILE, its file
// read from memory through the client's local-infile callbacks, in one transaction.

#include <errmsg.h>
#include <mysql.h>
#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/calendar.hpp"
#include "core/text.hpp"
#include "load/client_library.hpp"
#include "load/engine.hpp"
#include "sql/copy.hpp"

namespace morvel::load {

namespace {

using core::DataType;
using core::Result;
using core::Row;
using core::Status;

// The server's code for a key that is taken, which a load that skips such rows lets pass.
constexpr unsigned duplicate_key_code = 1062;

// The bytes that may wait for the server at once.
constexpr std::size_t most_waiting_bytes = 8 * 1024 * 1024;

// The ways rows go in: in the table's own columns, those a row lacks written as NULL, which
// is what leaving them out gives them; or in the row's columns, when that is not so. Rows of
// other columns in one LOAD DATA spare a statement each time the columns change, and with it
// the auto-increment values that each such statement reserves and leaves unused.
constexpr unsigned own_way = 0;
constexpr unsigned full_way = 1;

// What the encoders need to know of the table, learnt once before the first row.
struct TableShape {
  std::vector<std::string> columns;  // all but auto-increment ones, in the table's order
  std::unordered_map<std::string, std::size_t> position;
  std::vector<bool> takes_null;  // for a column left out: nullable, with no other default
  std::unordered_set<std::string> datetimes;
};

// LOAD DATA's default text format, which the rows are written in: tab between fields, LF after
// each row, backslash escapes, \N for NULL.
class MysqlEncoder final : public RowEncoder {
 public:
  // `shape` is the connection's, borrowed and read only.
  explicit MysqlEncoder(const TableShape& shape) noexcept : shape_(shape) {}

  void set_columns(const Row& names) override {
    is_datetime_.clear();
    positions_.clear();
    std::vector<bool> is_named(shape_.columns.size(), false);
    is_full_ = !shape_.columns.empty();
    for (const Row::Entry entry : names) {
      const std::string name(entry.name);
      is_datetime_.push_back(shape_.datetimes.contains(name));
      const auto found = shape_.position.find(name);
      if (found == shape_.position.end()) {
        is_full_ = false;
        continue;
      }
      positions_.push_back(found->second);
      is_named[found->second] = true;
    }
    for (std::size_t i = 0; i < is_named.size() && is_full_; ++i) {
      is_full_ = is_named[i] || shape_.takes_null[i];
    }
  }

  unsigned append(core::ByteBuffer& out, const Row& row, const DataType* types) override {
    if (!is_full_) {
      for (std::size_t i = 0; i < row.size(); ++i) append_field(out, row, i, types, i > 0);
      out.append("\n");
      return own_way;
    }
    entries_.assign(shape_.columns.size(), row.size());
    for (std::size_t i = 0; i < row.size(); ++i) entries_[positions_[i]] = i;
    for (std::size_t column = 0; column < entries_.size(); ++column) {
      if (entries_[column] == row.size()) {
        out.append(column > 0 ? "\t\\N" : "\\N");
      } else {
        append_field(out, row, entries_[column], types, column > 0);
      }
    }
    out.append("\n");
    return full_way;
  }

 private:
  void append_field(core::ByteBuffer& out, const Row& row, std::size_t i, const DataType* types,
                    bool is_after_another) {
    if (is_after_another) out.append("\t");
    const Row::Entry entry = row[i];
    const DataType type = types != nullptr && entry.type != DataType::Null ? types[i] : entry.type;
    const std::string_view text = core::trim_white_space(entry.text);
    // A DATETIME has no zone, and MySQL refuses one in its text: the time is kept in UTC.
    const auto utc =
        type == DataType::Timestamp && is_datetime_[i] ? core::utc_wall_time(text) : std::nullopt;
    sql::append_text_field(out, utc ? std::string_view(*utc) : text, type, sql::load_data_format);
  }

  const TableShape& shape_;
  std::vector<bool> is_datetime_;       // of each entry of the columns set
  std::vector<std::size_t> positions_;  // in the table, of each entry
  std::vector<std::size_t> entries_;    // of each column of the table, for the row being written
  bool is_full_ = false;
};

// The rows of one LOAD DATA on their way from the reading thread to the thread that runs the
// statement, whose client library asks for them through its local-infile callbacks.
class InfileFeed {
 public:
  // Adds `bytes` for the statement; waits while too many wait already. False once the statement
  // has ended and takes no more.
  bool push(std::string_view bytes) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return waiting_ < most_waiting_bytes || has_ended_; });
    if (has_ended_) return false;
    blocks_.emplace_back(bytes);
    waiting_ += bytes.size();
    changed_.notify_all();
    return true;
  }

  // No more bytes come: the file ends, or, when `is_abandoned`, its reading fails.
  void close(bool is_abandoned) {
    const std::lock_guard lock(mutex_);
    is_closed_ = true;
    is_abandoned_ = is_abandoned;
    changed_.notify_all();
  }

  // From the statement's thread: it has ended, and takes no more bytes.
  void end() {
    const std::lock_guard lock(mutex_);
    has_ended_ = true;
    changed_.notify_all();
  }

  // From the client library: up to `size` bytes into `buffer`; 0 at the end, -1 when abandoned.
  int read(char* buffer, unsigned size) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !blocks_.empty() || is_closed_; });
    if (is_abandoned_) return -1;
    if (blocks_.empty()) return 0;
    std::string& block = blocks_.front();
    const std::size_t count = std::min<std::size_t>(size, block.size() - taken_);
    std::memcpy(buffer, block.data() + taken_, count);
    taken_ += count;
    waiting_ -= count;
    if (taken_ == block.size()) {
      blocks_.pop_front();
      taken_ = 0;
    }
    changed_.notify_all();
    return static_cast<int>(count);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> blocks_;
  std::size_t taken_ = 0;  // of the first block
  std::size_t waiting_ = 0;
  bool is_closed_ = false;
  bool is_abandoned_ = false;
  bool has_ended_ = false;
};

int infile_init(void** state, const char*, void* feed) {
  *state = feed;
  return 0;
}
int infile_read(void* feed, char* buffer, unsigned size) {
  return static_cast<InfileFeed*>(feed)->read(buffer, size);
}
void infile_end(void*) {}
int infile_error(void*, char* message, unsigned size) {
  std::snprintf(message, size, "the load was stopped");
  return CR_UNKNOWN_ERROR;
}

// The row a warning or error names at its end (" at row N"), from 1, or nothing.
std::optional<std::uint64_t> row_named(std::string_view message) {
  const std::size_t at = message.rfind(" at row ");
  if (at == std::string_view::npos) return std::nullopt;
  std::uint64_t row = 0;
  const std::string_view digits = message.substr(at + 8);
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), row);
  if (error != std::errc() || row == 0) return std::nullopt;
  return row;
}

class MysqlConnection final : public Connection {
 public:
  // `api` is the process's, which lives as long.
  MysqlConnection(const MysqlClient& api, MYSQL* mysql, const Target& target,
                  TableSettings settings)
      : api_(api), mysql_(mysql), target_(target), settings_(std::move(settings)) {
    name_ =
        std::strstr(api_.mysql_get_server_info(mysql), "MariaDB") != nullptr ? "MariaDB" : "MySQL";
  }
  ~MysqlConnection() override {
    stop_statement(true);
    api_.mysql_close(mysql_);
  }

  // The session lists every warning of a statement, so that none that refuses a value is missed.
  Status begin() override {
    if (auto set = run("SET SESSION max_error_count = 65535"); !set) return set;
    return run("START TRANSACTION");
  }

  // MySQL commits a CREATE TABLE on its own; the rows go into a transaction after it. The
  // statement warns, and only then, when the table was there already.
  Result<bool> create_table(const std::string& statement) override {
    if (auto created = run(statement); !created) return std::unexpected(created.error());
    const bool is_new = api_.mysql_warning_count(mysql_) == 0;
    if (auto begun = run("START TRANSACTION"); !begun) return std::unexpected(begun.error());
    return is_new;
  }

  Status inspect() override {
    std::string query =
        "SELECT COLUMN_NAME, DATA_TYPE, IS_NULLABLE, COLUMN_DEFAULT, EXTRA FROM "
        "information_schema.COLUMNS WHERE TABLE_SCHEMA = ";
    if (settings_.schema.empty()) {
      query += "DATABASE()";
    } else {
      query.append("'").append(escaped(settings_.schema)).append("'");
    }
    query.append(" AND TABLE_NAME = '").append(escaped(settings_.table));
    query += "' ORDER BY ORDINAL_POSITION";
    if (api_.mysql_real_query(mysql_, query.data(), query.size()) != 0) return failure();
    MYSQL_RES* result = api_.mysql_store_result(mysql_);
    if (result == nullptr) return failure();
    while (MYSQL_ROW row = api_.mysql_fetch_row(result)) {
      const auto text = [&](int i) { return std::string_view(row[i] != nullptr ? row[i] : ""); };
      const std::string name(text(0));
      if (text(1) == "datetime") shape_.datetimes.insert(name);
      if (text(4).find("auto_increment") != std::string_view::npos) continue;
      shape_.position.emplace(name, shape_.columns.size());
      shape_.columns.push_back(name);
      // MariaDB shows the default NULL as the word, MySQL as no default at all.
      shape_.takes_null.push_back(text(2) == "YES" && (row[3] == nullptr || text(3) == "NULL"));
    }
    api_.mysql_free_result(result);
    return {};
  }

  std::unique_ptr<RowEncoder> encoder() const override {
    return std::make_unique<MysqlEncoder>(shape_);
  }

  Status open(const Row& names, unsigned way) override {
    if (statement_.joinable() && way == open_way_ &&
        (way == full_way || names.has_same_names(names_))) {
      return {};
    }
    if (auto closed = close(); !closed) return closed;
    open_way_ = way;
    names_ = names;
    const sql::Dialect dialect = sql::Dialect::Mysql;
    std::string statement = "LOAD DATA LOCAL INFILE 'rows' ";
    if (settings_.on_conflict == sql::OnConflict::Ignore) statement += "IGNORE ";
    if (settings_.on_conflict == sql::OnConflict::Replace) statement += "REPLACE ";
    statement += "INTO TABLE " + dialect.quote_table(settings_.schema, settings_.table) +
                 " CHARACTER SET utf8mb4 FIELDS TERMINATED BY X'09' ESCAPED BY X'5C' "
                 "LINES TERMINATED BY X'0A' (";
    if (way == full_way) {
      for (std::size_t i = 0; i < shape_.columns.size(); ++i) {
        if (i > 0) statement += ", ";
        dialect.append_quoted_identifier(statement, shape_.columns[i]);
      }
    } else {
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) statement += ", ";
        dialect.append_quoted_identifier(statement, names[i].name);
      }
    }
    statement += ')';
    first_row_ = sent_;
    feed_ = std::make_unique<InfileFeed>();
    api_.mysql_set_local_infile_handler(mysql_, infile_init, infile_read, infile_end, infile_error,
                                        feed_.get());
    statement_ = std::thread([this, statement = std::move(statement)] {
      // Signals go to the thread that reads, which checks in with the caller.
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, nullptr);
      outcome_ = api_.mysql_real_query(mysql_, statement.data(), statement.size());
      feed_->end();
    });
    return {};
  }

  Status send(std::string_view bytes, std::uint64_t rows) override {
    sent_ += rows;
    if (feed_->push(bytes)) return {};
    // The statement ended before its rows did: its error says why.
    stop_statement(false);
    return failure();
  }

  Status close() override {
    if (!statement_.joinable()) return {};
    if (!stop_statement(false)) return failure();
    return check_warnings();
  }

  Status commit() override { return run("COMMIT"); }

  void abandon(bool created) noexcept override {
    stop_statement(true);
    (void)api_.mysql_real_query(mysql_, "ROLLBACK", 8);
    if (!created) return;
    const std::string drop =
        "DROP TABLE IF EXISTS " +
        sql::Dialect(sql::Dialect::Mysql).quote_table(settings_.schema, settings_.table);
    (void)api_.mysql_real_query(mysql_, drop.data(), drop.size());
  }

  std::optional<std::uint64_t> refused_row() const noexcept override { return refused_; }

  Status execute(const std::string& statement) override { return run(statement); }

 private:
  // Ends the statement's file (abandoning it when `is_abandoned`) and waits for the statement;
  // false when it failed.
  bool stop_statement(bool is_abandoned) noexcept {
    if (!statement_.joinable()) return true;
    feed_->close(is_abandoned);
    statement_.join();
    api_.mysql_set_local_infile_default(mysql_);
    return outcome_ == 0;
  }

  // A LOAD DATA from the client's memory goes on past a bad value, as if told to ignore it, and
  // warns: each warning but a note (and a taken key, when those rows are to be skipped) is a
  // refusal, of the row it names.
  Status check_warnings() {
    if (api_.mysql_warning_count(mysql_) == 0) return {};
    if (api_.mysql_real_query(mysql_, "SHOW WARNINGS", 13) != 0) return failure();
    MYSQL_RES* result = api_.mysql_store_result(mysql_);
    if (result == nullptr) return failure();
    std::optional<std::string> refusal;
    while (MYSQL_ROW row = api_.mysql_fetch_row(result)) {
      if (row[0] == nullptr || row[1] == nullptr || row[2] == nullptr) continue;
      const std::string_view level = row[0];
      const unsigned code = static_cast<unsigned>(std::strtoul(row[1], nullptr, 10));
      if (level == "Note") continue;
      if (code == duplicate_key_code && settings_.on_conflict == sql::OnConflict::Ignore) continue;
      refusal = row[2];
      break;
    }
    api_.mysql_free_result(result);
    if (!refusal) return {};
    if (const auto row = row_named(*refusal)) refused_ = first_row_ + *row - 1;
    return std::unexpected(error(*refusal));
  }

  std::string escaped(std::string_view text) {
    std::string out(2 * text.size() + 1, '\0');
    out.resize(api_.mysql_real_escape_string(mysql_, out.data(), text.data(), text.size()));
    return out;
  }

  Status run(std::string_view statement) {
    if (api_.mysql_real_query(mysql_, statement.data(), statement.size()) != 0) return failure();
    // A statement that returns rows leaves them to be read before the next.
    if (MYSQL_RES* result = api_.mysql_store_result(mysql_)) api_.mysql_free_result(result);
    return {};
  }

  core::Error error(std::string_view message) const {
    return core::Error{core::ErrorKind::Io,
                       without_password(name_ + ": " + std::string(message), target_)};
  }

  Status failure() const { return std::unexpected(error(api_.mysql_error(mysql_))); }

  const MysqlClient& api_;
  MYSQL* mysql_;
  const Target& target_;
  TableSettings settings_;
  std::string name_;  // MariaDB or MySQL, as the server says
  TableShape shape_;
  Row names_;  // of the statement under way
  unsigned open_way_ = own_way;
  std::unique_ptr<InfileFeed> feed_;
  std::thread statement_;
  int outcome_ = 0;  // of the statement's thread, read after it is joined
  std::uint64_t sent_ = 0;
  std::uint64_t first_row_ = 0;  // of the statement open
  std::optional<std::uint64_t> refused_;
};

}  // namespace

Result<std::unique_ptr<Connection>> connect_mysql(const Target& target, TableSettings settings) {
  const auto client = mysql_client();
  if (!client) return std::unexpected(client.error());
  const MysqlClient& api = **client;
  MYSQL* mysql = api.mysql_init(nullptr);
  if (mysql == nullptr) return std::unexpected(core::invalid("out of memory"));
  const unsigned local_infile = 1;
  api.mysql_options(mysql, MYSQL_OPT_LOCAL_INFILE, &local_infile);
  api.mysql_options(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  const MysqlAddress& address = target.mysql;
  const auto c_text = [](const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
  };
  if (api.mysql_real_connect(mysql, c_text(address.host), c_text(address.user),
                             c_text(address.password), address.database.c_str(), address.port,
                             c_text(address.socket), 0) == nullptr) {
    std::string message = without_password(
        std::string("cannot connect to the MySQL database: ") + api.mysql_error(mysql), target);
    api.mysql_close(mysql);
    return std::unexpected(core::Error{core::ErrorKind::Open, std::move(message)});
  }
  return std::make_unique<MysqlConnection>(api, mysql, target, std::move(settings));
}

}  // namespace morvel::load
