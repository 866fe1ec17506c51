#include "sql/statements.hpp"

#include <algorithm>
#include <cstring>

#include "core/text.hpp"
#include "sql/literal.hpp"

namespace morvel::sql {

using core::DataType;
using core::Result;
using core::Row;

namespace {

std::string_view auto_id_clause(Dialect dialect) noexcept {
  switch (dialect) {
    case Dialect::Sqlite:
      return " INTEGER PRIMARY KEY AUTOINCREMENT";
    case Dialect::Mysql:
      return " BIGINT AUTO_INCREMENT PRIMARY KEY";
    case Dialect::Postgres:
      break;
  }
  return " BIGSERIAL PRIMARY KEY";
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

Result<PrimaryKey> PrimaryKey::from_options(std::optional<std::string_view> option, bool auto_id) {
  if (!option) return auto_id ? PrimaryKey::auto_id() : PrimaryKey();
  if (auto_id)
    return std::unexpected(core::invalid("use either a primary key column or auto id, not both"));
  std::vector<std::string> names;
  std::string_view rest = *option;
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string_view piece = core::trim_white_space(rest.substr(0, comma));
    if (!piece.empty()) names.emplace_back(piece);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (names.empty()) return std::unexpected(core::invalid("primary key column list is empty"));
  return PrimaryKey::columns(std::move(names));
}

namespace {

// Whether a value written as its own type reaches a text column as it was. Written bare, a
// number reaches it as the engine prints it: only an integer already written that way arrives
// unchanged; booleans arrive as the engine's words for them.
bool text_keeps(DataType value, std::string_view text) noexcept {
  if (value == DataType::Boolean || value == DataType::Float) return false;
  if (value != DataType::Integer) return true;
  const std::string_view digits = core::trim_white_space(text);
  const std::string_view magnitude = digits.starts_with('-') ? digits.substr(1) : digits;
  return !digits.starts_with('+') && digits != "-0" &&
         (magnitude.size() == 1 || magnitude[0] != '0');
}

std::size_t characters(std::string_view text) noexcept {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

bool column_keeps(DataType column, DataType value, std::string_view text,
                  Dialect dialect) noexcept {
  if (value == DataType::Null || value == column) return true;
  const bool is_text_like =
      column == DataType::Null || column == DataType::Text ||
      (dialect == Dialect::Sqlite &&
       (column == DataType::Uuid || column == DataType::Date || column == DataType::Timestamp));
  if (is_text_like) return text_keeps(value, text);
  switch (column) {
    case DataType::Uuid:
      // MySQL's UUID column is a VARCHAR(36), which takes any short enough text.
      return dialect == Dialect::Mysql && text_keeps(value, text) &&
             characters(core::trim_white_space(text)) <= 36;
    case DataType::Float:
      return value == DataType::Integer;
    case DataType::Timestamp:
      return value == DataType::Date;
    default:
      return false;
  }
}

std::string_view column_type_name(DataType type, Dialect dialect) noexcept {
  const bool sqlite = dialect == Dialect::Sqlite;
  const bool mysql = dialect == Dialect::Mysql;
  switch (type) {
    case DataType::Null:
    case DataType::Text:
      return "TEXT";
    case DataType::Boolean:
      return sqlite ? "INTEGER" : "BOOLEAN";
    case DataType::Integer:
      return sqlite ? "INTEGER" : "BIGINT";
    case DataType::Float:
      return sqlite ? "REAL" : mysql ? "DOUBLE" : "DOUBLE PRECISION";
    case DataType::Uuid:
      return sqlite ? "TEXT" : mysql ? "VARCHAR(36)" : "UUID";
    case DataType::Date:
      return sqlite ? "TEXT" : "DATE";
    case DataType::Timestamp:
      return sqlite ? "TEXT" : mysql ? "DATETIME" : "TIMESTAMPTZ";
  }
  return "TEXT";
}

namespace {

// Writes the row's literals and the statement's end after the column list: "<values>);".
// `out` has room for max_values_size(row, may_hold_nul).
char* write_values(char* out, const Row& row, Dialect dialect, bool may_hold_nul,
                   const DataType* types = nullptr) noexcept {
  out = write_value_list(out, row, dialect, may_hold_nul, types);
  std::memcpy(out, ");", 2);
  return out + 2;
}

std::size_t max_values_size(const Row& row, bool may_hold_nul) noexcept {
  return max_value_list_size(row, may_hold_nul) + 2;
}

void append_prefix(std::string& out, std::string_view quoted_table, const Row& row,
                   Dialect dialect) {
  out += "INSERT INTO ";
  out += quoted_table;
  out += " (";
  bool first = true;
  for (const Row::Entry entry : row) {
    if (!first) out += ", ";
    first = false;
    dialect.append_quoted_identifier(out, entry.name);
  }
  out += ") VALUES (";
}

}  // namespace

InsertWriter::InsertWriter(std::string_view table_name, Dialect dialect)
    : dialect_(dialect), quoted_table_(dialect.quote_identifier(table_name)) {}

void InsertWriter::append_line(core::ByteBuffer& out, const Row& row, const DataType* types) {
  // A reader that reuses its row says so when the names stay; that spares comparing them each
  // time, which was a twentieth of a CSV conversion's instructions.
  if (!has_columns_ || (!row.names_repeat() && !row.has_same_names(columns_))) {
    columns_.clear();
    for (const Row::Entry entry : row) columns_.append(entry.name, {}, DataType::Null);
    prefix_.clear();
    append_prefix(prefix_, quoted_table_, row, dialect_);
    has_columns_ = true;
  }
  const bool may_hold_nul = row.holds_nul();
  char* at = out.room(prefix_.size() + max_values_size(row, may_hold_nul) + 1);
  std::memcpy(at, prefix_.data(), prefix_.size());
  at = write_values(at + prefix_.size(), row, dialect_, may_hold_nul, types);
  *at++ = '\n';
  out.commit(at);
}

std::string generate_insert(std::string_view table_name, const Row& row, Dialect dialect) {
  std::string out;
  append_prefix(out, dialect.quote_identifier(table_name), row, dialect);
  const bool may_hold_nul = row.holds_nul();
  const std::size_t size = out.size();
  out.resize_and_overwrite(size + max_values_size(row, may_hold_nul), [&](char* data,
                                                                          std::size_t) noexcept {
    return static_cast<std::size_t>(write_values(data + size, row, dialect, may_hold_nul) - data);
  });
  return out;
}

namespace {

// Whether the key fits the first record: every key column present, no id column in the way of
// an auto id.
core::Status check_key_fits(const Row& first_row, const PrimaryKey& primary_key) {
  for (const std::string& key : primary_key.key_columns()) {
    if (first_row.find(key)) continue;
    std::string message = "primary key column '" + key + "' not found in data (available columns: ";
    bool first = true;
    for (const Row::Entry entry : first_row) {
      if (!first) message += ", ";
      first = false;
      message += entry.name;
    }
    message += ')';
    return std::unexpected(core::invalid(std::move(message)));
  }
  if (primary_key.kind() == PrimaryKey::AutoId && first_row.find("id")) {
    return std::unexpected(core::invalid(
        "cannot add an auto id: the data already has a column named 'id' (use --primary-key id "
        "instead)"));
  }
  return {};
}

}  // namespace

Result<std::string> generate_create_table_with_pk(std::string_view table_name, const Row& first_row,
                                                  Dialect dialect, const PrimaryKey& primary_key) {
  if (auto fits = check_key_fits(first_row, primary_key); !fits) {
    return std::unexpected(std::move(fits.error()));
  }
  const std::vector<std::string>& keys = primary_key.key_columns();
  std::string out = "CREATE TABLE IF NOT EXISTS ";
  dialect.append_quoted_identifier(out, table_name);
  out += " (\n  ";
  bool first = true;
  auto next_definition = [&] {
    if (!first) out += ",\n  ";
    first = false;
  };
  if (primary_key.kind() == PrimaryKey::AutoId) {
    next_definition();
    dialect.append_quoted_identifier(out, "id");
    out += auto_id_clause(dialect);
  }
  for (const Row::Entry entry : first_row) {
    next_definition();
    dialect.append_quoted_identifier(out, entry.name);
    out += ' ';
    const bool is_key = contains(keys, entry.name);
    std::string_view type_name = column_type_name(entry.type, dialect);
    // MySQL cannot index a TEXT column without a prefix length, so key columns get a VARCHAR.
    if (is_key && dialect == Dialect::Mysql && type_name == "TEXT") type_name = "VARCHAR(255)";
    out += type_name;
    if (is_key) out += " NOT NULL";
  }
  if (!keys.empty()) {
    next_definition();
    out += "PRIMARY KEY (";
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (i > 0) out += ", ";
      dialect.append_quoted_identifier(out, keys[i]);
    }
    out += ')';
  }
  out += "\n);";
  return out;
}

}  // namespace morvel::sql
