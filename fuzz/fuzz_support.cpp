#include "fuzz_support.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "convert/pipeline.hpp"
#include "core/data_type.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"

namespace morvel::fuzz {

namespace {

// A quote character, a backtick and an apostrophe: a table name that every dialect must quote.
constexpr std::string_view awkward_table = "t\"`'\\x";

std::string describe_row(const Row& row) {
  std::string out = "row:";
  for (const Row::Entry entry : row) {
    out += " [";
    out += entry.name;
    out += "]=[";
    out += entry.text;
    out += ']';
  }
  return out;
}

// Reads SQL text front to back the way the target engine's lexer would for the few token kinds
// our statements use.
class SqlReader {
 public:
  SqlReader(std::string_view text, Dialect dialect) noexcept : rest_(text), dialect_(dialect) {}

  bool word(std::string_view expected) noexcept {
    if (!rest_.starts_with(expected)) return false;
    rest_.remove_prefix(expected.size());
    return true;
  }

  // A quoted identifier with its quote character doubled inside.
  std::optional<std::string> identifier() {
    const char quote = dialect_ == Dialect::Mysql ? '`' : '"';
    return quoted(quote, false, true);
  }

  // A string literal: apostrophes doubled inside, and for MySQL, whose lexer reads backslash
  // escapes, backslashes doubled as well. A NUL byte stands as \0 inside a MySQL literal, and
  // elsewhere outside it, concatenated as chr(0) (PostgreSQL) or char(0) (SQLite).
  std::optional<std::string> string_literal() {
    const std::string_view nul_call = dialect_ == Dialect::Sqlite ? "||char(0)||" : "||chr(0)||";
    std::optional<std::string> text = quoted('\'', dialect_ == Dialect::Mysql, false);
    while (text && dialect_ != Dialect::Mysql && rest_.starts_with(nul_call)) {
      rest_.remove_prefix(nul_call.size());
      const std::optional<std::string> more = quoted('\'', false, false);
      if (!more) return std::nullopt;
      *text += '\0';
      *text += *more;
    }
    return text;
  }

  // A bare number: what the lexer would read as one numeric token.
  std::string_view number() noexcept {
    std::size_t n = 0;
    constexpr std::string_view number_bytes = "0123456789+-.eE";
    while (n < rest_.size() && number_bytes.find(rest_[n]) != std::string_view::npos) ++n;
    const std::string_view token = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return token;
  }

  [[nodiscard]] std::string_view rest() const noexcept { return rest_; }

 private:
  // `raw_nul`: whether a NUL byte may stand as itself. The engines' script readers end a line
  // at one, so a literal must never hold it (identifiers holding one are refused before).
  std::optional<std::string> quoted(char quote, bool backslash_escapes, bool raw_nul) {
    if (rest_.empty() || rest_.front() != quote) return std::nullopt;
    std::string out;
    std::size_t i = 1;
    for (;;) {
      if (i >= rest_.size()) return std::nullopt;
      const char c = rest_[i];
      if (c == quote) {
        if (i + 1 < rest_.size() && rest_[i + 1] == quote) {
          out += quote;
          i += 2;
          continue;
        }
        rest_.remove_prefix(i + 1);
        return out;
      }
      if (backslash_escapes && c == '\\') {
        // Only a doubled backslash and \0 are ours; any other escape would change the value.
        if (i + 1 >= rest_.size() || (rest_[i + 1] != '\\' && rest_[i + 1] != '0')) {
          return std::nullopt;
        }
        out += rest_[i + 1] == '0' ? '\0' : '\\';
        i += 2;
        continue;
      }
      if (c == '\0' && !raw_nul) return std::nullopt;
      out += c;
      ++i;
    }
  }

  std::string_view rest_;
  Dialect dialect_;
};

void check_value(SqlReader& reader, const Row::Entry& entry, Dialect dialect,
                 const std::string& note) {
  const std::string_view trimmed = trim_white_space(entry.text);
  switch (entry.type) {
    case DataType::Null:
      MORVEL_FUZZ_CHECK(reader.word("NULL"), note);
      return;
    case DataType::Boolean: {
      // Only true and false in any letter case are typed Boolean.
      const bool truth = trimmed.size() == 4;
      const std::string_view expected =
          dialect == Dialect::Sqlite ? (truth ? "1" : "0") : (truth ? "TRUE" : "FALSE");
      MORVEL_FUZZ_CHECK(reader.word(expected), note);
      return;
    }
    case DataType::Integer:
      MORVEL_FUZZ_CHECK(reader.number() == trimmed, note);
      return;
    case DataType::Float:
      if (is_non_finite_float(trimmed)) {
        MORVEL_FUZZ_CHECK(reader.string_literal() == trimmed, note);
      } else {
        MORVEL_FUZZ_CHECK(reader.number() == trimmed, note);
      }
      return;
    case DataType::Uuid:
    case DataType::Date:
    case DataType::Timestamp:
    case DataType::Text:
    // Only a column's type, never a value's own: the readers give neither.
    case DataType::Decimal:
    case DataType::Json:
      break;
  }
  MORVEL_FUZZ_CHECK(reader.string_literal() == trimmed, note);
}

}  // namespace

std::uint8_t InputTaker::byte() noexcept {
  if (rest_.empty()) return 0;
  const auto b = static_cast<std::uint8_t>(rest_.front());
  rest_.remove_prefix(1);
  return b;
}

std::string_view InputTaker::text(std::size_t max) noexcept {
  const std::size_t size = std::min<std::size_t>(byte() % (max + 1), rest_.size());
  const std::string_view taken = rest_.substr(0, size);
  rest_.remove_prefix(size);
  return taken;
}

Result<std::size_t> ChunkedSource::read(std::span<char> buffer) {
  const std::size_t n = std::min({buffer.size(), chunk_, bytes_.size()});
  if (n > 0) std::memcpy(buffer.data(), bytes_.data(), n);
  bytes_.remove_prefix(n);
  return n;
}

Collected collect(Reader reader, ByteSource& source, bool check_statements) {
  Collected collected;
  // Taken by reference and left to the reader, as the conversion's sink does: the reader then
  // refills the same row, keeping names and giving texts as views of its buffer, and the
  // statements below see the row the writer would see.
  auto sink = [&](Row&& row) -> Status {
    std::vector<Collected::Entry> entries;
    for (const Row::Entry entry : row) {
      MORVEL_FUZZ_CHECK(entry.type == DataType::infer(entry.text), describe_row(row));
      entries.push_back({std::string(entry.name), std::string(entry.text), entry.type});
    }
    collected.rows.push_back(std::move(entries));
    // Statements do not depend on a row's place, so the first rows of an input stand for all
    // of them; checking every row of a long input would only slow the search.
    if (check_statements && collected.rows.size() <= 16) check_row_statements(row);
    return {};
  };
  if (auto status = reader(source, sink, {}, nullptr); !status) {
    check_error(status.error());
    collected.error = std::move(status.error());
  }
  return collected;
}

Collected collect_both_ways(Reader reader, std::string_view input) {
  MemorySource memory(input);
  Collected held = collect(reader, memory, true);
  ChunkedSource chunked(input, 1 + input.size() % 61);
  check_same(held, collect(reader, chunked, false), "streamed against held");
  return held;
}

void check_same(const Collected& a, const Collected& b, std::string_view what) {
  const std::string note(what);
  MORVEL_FUZZ_CHECK(a.rows == b.rows, note + ": rows differ");
  MORVEL_FUZZ_CHECK(a.error.has_value() == b.error.has_value(),
                    note + ": only one failed: " + (a.error ? a.error->message : b.error->message));
  if (a.error) check_same_error(*a.error, *b.error, what);
}

void check_same_error(const Error& got, const Error& expected, std::string_view what) {
  const std::string note(what);
  MORVEL_FUZZ_CHECK(got.message == expected.message,
                    note + ": '" + got.message + "' against '" + expected.message + "'");
  MORVEL_FUZZ_CHECK(got.kind == expected.kind, note + ": same message, another kind");
}

void check_error(const Error& error, bool inputs_are_utf8) {
  MORVEL_FUZZ_CHECK(!error.message.empty(), "an error without a message");
  if (inputs_are_utf8) check_utf8(error.message, "error message");
}

void check_utf8(std::string_view text, std::string_view what) {
  const auto bad = find_invalid_utf8(text);
  MORVEL_FUZZ_CHECK(!bad, std::string(what) + " is not UTF-8 at byte " +
                              std::to_string(bad ? bad->valid_up_to : 0));
}

void check_row_statements(const Row& row) {
  const std::string note = describe_row(row);
  // Each kind of key, with whether the row must refuse it in every dialect: an auto id clashes
  // with a column named id, and every key column must be one of the row's. SQLite and MySQL take
  // names in any letter case for one, so there an auto id clashes with Id and ID as well.
  const bool has_id = row.find("id").has_value();
  const bool has_id_in_any_case = std::any_of(row.begin(), row.end(), [](const Row::Entry entry) {
    return entry.name.size() == 2 && (entry.name[0] | 0x20) == 'i' && (entry.name[1] | 0x20) == 'd';
  });
  std::vector<std::pair<PrimaryKey, bool>> keys;
  auto add_key = [&](PrimaryKey key) {
    const bool key_missing = key.kind() == PrimaryKey::Columns &&
                             std::any_of(key.key_columns().begin(), key.key_columns().end(),
                                         [&](const std::string& c) { return !row.find(c); });
    const bool should_fail = key_missing || (key.kind() == PrimaryKey::AutoId && has_id);
    keys.emplace_back(std::move(key), should_fail);
  };
  add_key(PrimaryKey());
  add_key(PrimaryKey::auto_id());
  if (!row.empty()) {
    add_key(PrimaryKey::columns({std::string(row[0].name)}));
    add_key(PrimaryKey::columns({std::string(row[row.size() - 1].name), std::string(row[0].name)}));
  }
  add_key(PrimaryKey::columns({"no such column \x01"}));

  for (const Dialect dialect : all_dialects) {
    const std::string insert = generate_insert(awkward_table, row, dialect);
    MORVEL_FUZZ_CHECK(insert.ends_with(';'), note);
    check_utf8(insert, "INSERT statement");
    check_insert(insert, dialect, awkward_table, row);

    for (const auto& [key, fails_everywhere] : keys) {
      const bool should_fail =
          fails_everywhere ||
          (key.kind() == PrimaryKey::AutoId && dialect != Dialect::Postgres && has_id_in_any_case);
      auto create = generate_create_table_with_pk(awkward_table, row, dialect, key);
      if (!create) {
        MORVEL_FUZZ_CHECK(should_fail, note + ": " + create.error().message);
        check_error(create.error());
        continue;
      }
      MORVEL_FUZZ_CHECK(!should_fail, note);
      MORVEL_FUZZ_CHECK(create->ends_with(';'), note);
      check_utf8(*create, "CREATE TABLE statement");
      check_create_table(*create, dialect, awkward_table, row, key);
    }
  }
}

void check_insert(std::string_view statement, Dialect dialect, std::string_view table,
                  const Row& row) {
  const std::string note = std::string(statement) + "\n  " + describe_row(row);
  SqlReader reader(statement, dialect);
  MORVEL_FUZZ_CHECK(reader.word("INSERT INTO "), note);
  MORVEL_FUZZ_CHECK(reader.identifier() == table, note);
  MORVEL_FUZZ_CHECK(reader.word(" ("), note);
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) MORVEL_FUZZ_CHECK(reader.word(", "), note);
    MORVEL_FUZZ_CHECK(reader.identifier() == row[i].name, note);
  }
  MORVEL_FUZZ_CHECK(reader.word(") VALUES ("), note);
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) MORVEL_FUZZ_CHECK(reader.word(", "), note);
    check_value(reader, row[i], dialect, note);
  }
  MORVEL_FUZZ_CHECK(reader.word(");"), note);
  MORVEL_FUZZ_CHECK(reader.rest().empty(), note);
}

void check_create_table(std::string_view statement, Dialect dialect, std::string_view table,
                        const Row& row, const PrimaryKey& key) {
  const std::string note = std::string(statement) + "\n  " + describe_row(row);
  const std::vector<std::string>& key_columns = key.key_columns();
  SqlReader reader(statement, dialect);
  MORVEL_FUZZ_CHECK(reader.word("CREATE TABLE IF NOT EXISTS "), note);
  MORVEL_FUZZ_CHECK(reader.identifier() == table, note);
  MORVEL_FUZZ_CHECK(reader.word(" (\n  "), note);
  bool first = true;
  auto separator = [&] {
    if (!first) MORVEL_FUZZ_CHECK(reader.word(",\n  "), note);
    first = false;
  };
  if (key.kind() == PrimaryKey::AutoId) {
    separator();
    MORVEL_FUZZ_CHECK(reader.identifier() == "id", note);
    const std::string_view clause =
        dialect == Dialect::Sqlite  ? " INTEGER PRIMARY KEY AUTOINCREMENT"
        : dialect == Dialect::Mysql ? " BIGINT AUTO_INCREMENT PRIMARY KEY"
                                    : " BIGSERIAL PRIMARY KEY";
    MORVEL_FUZZ_CHECK(reader.word(clause), note);
  }
  for (const Row::Entry entry : row) {
    separator();
    MORVEL_FUZZ_CHECK(reader.identifier() == entry.name, note);
    MORVEL_FUZZ_CHECK(reader.word(" "), note);
    const bool is_key =
        std::find(key_columns.begin(), key_columns.end(), entry.name) != key_columns.end();
    std::string_view type = column_type_name(entry.type, dialect);
    // MySQL cannot index TEXT without a prefix length.
    if (is_key && dialect == Dialect::Mysql && type == "TEXT") type = "VARCHAR(255)";
    MORVEL_FUZZ_CHECK(reader.word(type), note);
    if (is_key) MORVEL_FUZZ_CHECK(reader.word(" NOT NULL"), note);
  }
  if (!key_columns.empty()) {
    separator();
    MORVEL_FUZZ_CHECK(reader.word("PRIMARY KEY ("), note);
    for (std::size_t i = 0; i < key_columns.size(); ++i) {
      if (i > 0) MORVEL_FUZZ_CHECK(reader.word(", "), note);
      MORVEL_FUZZ_CHECK(reader.identifier() == key_columns[i], note);
    }
    MORVEL_FUZZ_CHECK(reader.word(")"), note);
  }
  MORVEL_FUZZ_CHECK(reader.word("\n);"), note);
  MORVEL_FUZZ_CHECK(reader.rest().empty(), note);
}

namespace {

Result<std::string> checked_text(Result<ByteBuffer> sql) {
  if (!sql) return std::unexpected(std::move(sql.error()));
  if (auto bad = convert::utf8_error(sql->view())) return std::unexpected(std::move(*bad));
  return std::string(sql->view());
}

}  // namespace

Result<std::string> convert_text(ByteSource& source, convert::ConversionOptions options,
                                 std::size_t piece_bytes) {
  auto checked = convert::check_options(std::move(options));
  if (!checked) return std::unexpected(std::move(checked.error()));
  StringSink sink;
  const readers::ReadLimits limits{.piece_bytes = piece_bytes};
  if (auto converted = convert::convert(source, sink, *checked, nullptr, limits); !converted) {
    return std::unexpected(std::move(converted.error()));
  }
  return checked_text(sink.take());
}

Result<std::string> convert_file_text(const std::string& path, convert::ConversionOptions options) {
  auto file = core::open_for_reading(path);
  if (!file) return std::unexpected(std::move(file.error()));
  core::FdSource source(std::move(*file));
  return convert_text(source, std::move(options));
}

}  // namespace morvel::fuzz
