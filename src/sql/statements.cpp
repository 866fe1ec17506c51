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
  if (auto_id) {
    return std::unexpected(core::option_error(core::OptionRule::Conflict,
                                              "use either a primary key column or auto id, not both",
                                              "primary_key", "auto_id"));
  }
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

// Whether a float's trimmed text, written bare, reaches a text column as it was. PostgreSQL and
// MySQL read a positional decimal as an exact numeric (MySQL up to 65 digits) and print it back
// as written, but for leading zeros, a sign that is not a minus and a negative zero; SQLite reads
// it as a double and prints that with 15 significant digits, positionally only for exponents from
// -4 to 14, with ".0" after a whole number.
bool float_text_keeps(std::string_view text, Dialect dialect) noexcept {
  // The words are quoted, so they arrive as they are.
  if (core::is_non_finite_float(text)) return true;
  const bool is_negative = text.starts_with('-');
  const std::string_view number = is_negative ? text.substr(1) : text;
  const std::size_t point = number.find('.');
  if (point == 0 || point == std::string_view::npos || point + 1 == number.size()) return false;
  const std::string_view whole = number.substr(0, point);
  const std::string_view fraction = number.substr(point + 1);
  const auto all_digits = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(), core::is_digit);
  };
  if (!all_digits(whole) || !all_digits(fraction)) return false;
  if (whole.size() > 1 && whole[0] == '0') return false;
  const std::size_t zeros = fraction.find_first_not_of('0');
  if (is_negative && whole == "0" && zeros == std::string_view::npos) return false;
  if (dialect == Dialect::Postgres) return true;
  if (dialect == Dialect::Mysql) return whole.size() + fraction.size() <= 65;
  if (fraction != "0" && fraction.back() == '0') return false;
  if (whole != "0") return whole.size() + fraction.size() <= (fraction == "0" ? 16U : 15U);
  return zeros != std::string_view::npos && zeros <= 3 && fraction.size() - zeros <= 15;
}

// Whether a value written as its own type reaches a text column as it was. Written bare, a
// number reaches it as the engine prints it: only an integer already written that way, or a float
// whose digits the engine prints back, arrives unchanged; booleans arrive as the engine's words
// for them.
bool text_keeps(DataType value, std::string_view text, Dialect dialect) noexcept {
  if (value == DataType::Boolean) return false;
  if (value == DataType::Float) return float_text_keeps(core::trim_white_space(text), dialect);
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
  if (is_text_like) return text_keeps(value, text, dialect);
  switch (column) {
    case DataType::Uuid:
      // MySQL's UUID column is a VARCHAR(36), which takes any short enough text.
      return dialect == Dialect::Mysql && text_keeps(value, text, dialect) &&
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
    case DataType::Decimal:
      // MySQL's DECIMAL holds 65 digits at most and 30 after the point; a text column keeps any.
      return dialect == Dialect::Postgres ? "NUMERIC" : "TEXT";
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
    case DataType::Json:
      return sqlite ? "TEXT" : mysql ? "JSON" : "JSONB";
  }
  return "TEXT";
}

namespace {

// Writes the row's tuple, "(<values>)", at `out`, which has room for max_tuple_size(row,
// may_hold_nul).
char* write_tuple(char* out, const Row& row, Dialect dialect, bool may_hold_nul,
                  const DataType* types = nullptr,
                  const std::uint8_t* in_datetime = nullptr) noexcept {
  *out++ = '(';
  out = write_value_list(out, row, dialect, may_hold_nul, types, in_datetime);
  *out++ = ')';
  return out;
}

std::size_t max_tuple_size(const Row& row, bool may_hold_nul) noexcept {
  return max_value_list_size(row, may_hold_nul) + 2;
}

// "INSERT INTO <table> (<columns>) VALUES", or what the dialect writes for a conflict.
void append_head(std::string& out, std::string_view quoted_table, const Row& row,
                 Dialect dialect, OnConflict on_conflict) {
  if (on_conflict == OnConflict::Ignore && dialect == Dialect::Mysql) {
    out += "INSERT IGNORE INTO ";
  } else if (on_conflict == OnConflict::Ignore && dialect == Dialect::Sqlite) {
    out += "INSERT OR IGNORE INTO ";
  } else if (on_conflict == OnConflict::Replace && dialect == Dialect::Mysql) {
    out += "REPLACE INTO ";
  } else if (on_conflict == OnConflict::Replace && dialect == Dialect::Sqlite) {
    out += "INSERT OR REPLACE INTO ";
  } else {
    out += "INSERT INTO ";
  }
  out += quoted_table;
  out += " (";
  bool first = true;
  for (const Row::Entry entry : row) {
    if (!first) out += ", ";
    first = false;
    dialect.append_quoted_identifier(out, entry.name);
  }
  out += ") VALUES";
}

// PostgreSQL says what to do on a conflict after the values: nothing, or set every column but
// the key from the row that was refused (EXCLUDED).
std::string conflict_suffix(const Row& row, Dialect dialect, OnConflict on_conflict,
                            const std::vector<std::string>& key_columns) {
  if (dialect != Dialect::Postgres || on_conflict == OnConflict::Error) return {};
  std::string updates;
  if (on_conflict == OnConflict::Replace) {
    for (const Row::Entry entry : row) {
      if (std::find(key_columns.begin(), key_columns.end(), entry.name) != key_columns.end()) {
        continue;
      }
      if (!updates.empty()) updates += ", ";
      dialect.append_quoted_identifier(updates, entry.name);
      updates += " = EXCLUDED.";
      dialect.append_quoted_identifier(updates, entry.name);
    }
  }
  // A row of key columns alone has nothing to set.
  if (updates.empty()) return " ON CONFLICT DO NOTHING";
  std::string suffix = " ON CONFLICT (";
  for (std::size_t i = 0; i < key_columns.size(); ++i) {
    if (i > 0) suffix += ", ";
    dialect.append_quoted_identifier(suffix, key_columns[i]);
  }
  return suffix + ") DO UPDATE SET " + updates;
}

}  // namespace

void ColumnList::take(const Row& row) {
  names_.clear();
  for (const Row::Entry entry : row) names_.append(entry.name, {}, DataType::Null);
  is_set_ = true;
}

InsertWriter::InsertWriter(std::string_view table_name, Dialect dialect, OnConflict on_conflict,
                           std::vector<std::string> key_columns, std::string_view schema)
    : dialect_(dialect),
      on_conflict_(on_conflict),
      key_columns_(std::move(key_columns)),
      quoted_table_(dialect.quote_table(schema, table_name)) {}

void InsertWriter::set_columns(const Row& row) {
  columns_.take(row);
  head_.clear();
  append_head(head_, quoted_table_, row, dialect_, on_conflict_);
  suffix_ = conflict_suffix(row, dialect_, on_conflict_, key_columns_);
}

void InsertWriter::append_line(core::ByteBuffer& out, const Row& row, const DataType* types,
                               const std::uint8_t* in_datetime) {
  // A reader that reuses its row says so when the names stay; that spares comparing them each
  // time, which was a twentieth of a CSV conversion's instructions.
  if (!columns_.matches(row)) set_columns(row);
  const bool may_hold_nul = row.holds_nul();
  char* at = out.room(head_.size() + max_tuple_size(row, may_hold_nul) + suffix_.size() + 3);
  std::memcpy(at, head_.data(), head_.size());
  at += head_.size();
  *at++ = ' ';
  at = write_tuple(at, row, dialect_, may_hold_nul, types, in_datetime);
  if (!suffix_.empty()) {
    std::memcpy(at, suffix_.data(), suffix_.size());
    at += suffix_.size();
  }
  std::memcpy(at, ";\n", 2);
  out.commit(at + 2);
}

void InsertWriter::open_batch(core::ByteBuffer& out, const Row& row) {
  if (!columns_.matches(row)) set_columns(row);
  out.append(head_);
  out.append("\n");
}

void InsertWriter::append_tuple(core::ByteBuffer& out, const Row& row, const DataType* types,
                                bool is_first, const std::uint8_t* in_datetime) {
  const bool may_hold_nul = row.holds_nul();
  char* at = out.room(max_tuple_size(row, may_hold_nul) + 2);
  if (!is_first) {
    std::memcpy(at, ",\n", 2);
    at += 2;
  }
  out.commit(write_tuple(at, row, dialect_, may_hold_nul, types, in_datetime));
}

void InsertWriter::close_batch(core::ByteBuffer& out) {
  out.append(suffix_);
  out.append(";\n");
}

std::string generate_insert(std::string_view table_name, const Row& row, Dialect dialect) {
  std::string out;
  append_head(out, dialect.quote_identifier(table_name), row, dialect, OnConflict::Error);
  out += ' ';
  const bool may_hold_nul = row.holds_nul();
  const std::size_t size = out.size();
  out.resize_and_overwrite(size + max_tuple_size(row, may_hold_nul) + 1,
                           [&](char* data, std::size_t) noexcept {
                             char* end = write_tuple(data + size, row, dialect, may_hold_nul);
                             *end++ = ';';
                             return static_cast<std::size_t>(end - data);
                           });
  return out;
}

namespace {

// Whether the key fits the first record: every key column present, no id column in the way of
// an auto id.
core::Status check_key_fits(const Row& first_row, const PrimaryKey& primary_key, Dialect dialect) {
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
  if (primary_key.kind() != PrimaryKey::AutoId) return {};
  if (first_row.find(auto_id_column)) {
    return std::unexpected(core::invalid_instead(
        "cannot add an auto id: the data already has a column named 'id'", {"primary_key", "id"}));
  }
  // SQLite and MySQL take ID for the same column as id.
  if (dialect == Dialect::Postgres) return {};
  for (const Row::Entry entry : first_row) {
    if (!core::equals_ascii_folded(entry.name, auto_id_column)) continue;
    return std::unexpected(core::invalid(
        "cannot add an auto id: the data already has a column named '" + std::string(entry.name) +
        "', which " + std::string(dialect.name()) + " takes for 'id'"));
  }
  return {};
}

}  // namespace

Result<std::string> generate_create_table_with_pk(std::string_view table_name, const Row& first_row,
                                                  Dialect dialect, const PrimaryKey& primary_key,
                                                  std::string_view schema,
                                                  const std::vector<bool>& fractional_times) {
  if (auto fits = check_key_fits(first_row, primary_key, dialect); !fits) {
    return std::unexpected(std::move(fits.error()));
  }
  const std::vector<std::string>& keys = primary_key.key_columns();
  std::string out = "CREATE TABLE IF NOT EXISTS " + dialect.quote_table(schema, table_name);
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
  const bool has_fractions = fractional_times.size() == first_row.size();
  for (std::size_t i = 0; i < first_row.size(); ++i) {
    const Row::Entry entry = first_row[i];
    next_definition();
    dialect.append_quoted_identifier(out, entry.name);
    out += ' ';
    const bool is_key = contains(keys, entry.name);
    std::string_view type_name = column_type_name(entry.type, dialect);
    // MySQL cannot index a TEXT column without a prefix length, so key columns get a VARCHAR.
    if (is_key && dialect == Dialect::Mysql && type_name == "TEXT") type_name = "VARCHAR(255)";
    // A plain DATETIME cuts fractions of a second.
    if (has_fractions && fractional_times[i] && type_name == "DATETIME") type_name = "DATETIME(6)";
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
