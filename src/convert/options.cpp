#include "convert/options.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "core/text.hpp"

namespace morvel::convert {

namespace {

using core::OptionRule;

std::string range_text(std::uint64_t most) { return "1 to " + std::to_string(most); }

}  // namespace

core::Result<CheckedOptions> check_options(ConversionOptions options) {
  std::optional<std::string_view> key_columns;
  if (options.primary_key) key_columns = *options.primary_key;
  auto key = sql::PrimaryKey::from_options(key_columns, options.auto_id);
  if (!key) return std::unexpected(std::move(key.error()));
  if (auto combined = check_combinations(options); !combined) {
    return std::unexpected(std::move(combined.error()));
  }
  if (auto refused = sql::nul_identifier_error("table", options.table_name)) {
    return std::unexpected(std::move(*refused));
  }
  if (options.schema) {
    if (options.schema->empty()) return std::unexpected(core::invalid("the schema name is empty"));
    if (auto refused = sql::nul_identifier_error("schema", *options.schema)) {
      return std::unexpected(std::move(*refused));
    }
  }
  return CheckedOptions(std::move(options), std::move(*key));
}

core::Result<SchemaFrom> parse_schema_from(std::string_view text) {
  if (text == "first") return SchemaFrom::First;
  if (text == "all") return SchemaFrom::All;
  return std::unexpected(core::invalid("invalid schema source '" + std::string(text) +
                                       "' (possible values: first, all)"));
}

core::Result<char> parse_comment(std::string_view text) {
  // A quote would open a field, and a line break end a record, before the line could count.
  if (text.size() == 1 && text[0] != '"' && text[0] != '\r' && text[0] != '\n') return text[0];
  return std::unexpected(core::invalid("invalid comment character '" + std::string(text) +
                                       "': give one byte other than a double quote, CR or LF"));
}

core::Result<char> parse_quote(std::string_view text) {
  // A line break inside quotes continues the field, so it cannot also open one.
  if (text.size() == 1 && text[0] != '\r' && text[0] != '\n') return text[0];
  return std::unexpected(core::invalid("invalid quote character '" + std::string(text) +
                                       "': give one byte other than CR or LF"));
}

core::Result<std::string> parse_json_path(std::string_view text) {
  // An empty key would name no member, whatever the document holds.
  if (!text.empty() && !text.starts_with('.') && !text.ends_with('.') &&
      text.find("..") == std::string_view::npos) {
    return std::string(text);
  }
  return std::unexpected(core::invalid("invalid JSON path '" + std::string(text) +
                                       "': give keys joined by dots, such as data.items"));
}

core::Result<sql::OnConflict> parse_on_conflict(std::string_view text) {
  if (text == "error") return sql::OnConflict::Error;
  if (text == "ignore") return sql::OnConflict::Ignore;
  if (text == "replace") return sql::OnConflict::Replace;
  return std::unexpected(core::invalid("invalid conflict handling '" + std::string(text) +
                                       "' (possible values: error, ignore, replace)"));
}

namespace {

using core::DataType;

constexpr std::array<std::pair<std::string_view, DataType::Kind>, 8> type_words = {{
    {"text", DataType::Text},
    {"integer", DataType::Integer},
    {"float", DataType::Float},
    {"boolean", DataType::Boolean},
    {"date", DataType::Date},
    {"timestamp", DataType::Timestamp},
    {"uuid", DataType::Uuid},
    {"json", DataType::Json},
}};

}  // namespace

std::optional<DataType> parse_column_type(std::string_view text) noexcept {
  for (const auto& [word, type] : type_words) {
    if (text == word) return DataType(type);
  }
  return std::nullopt;
}

std::string_view column_type_word(DataType type) noexcept {
  for (const auto& [word, kind] : type_words) {
    if (type == kind) return word;
  }
  return "text";
}

namespace {

// The options that cannot go together, and a key or an auto id without the table to hold it.
core::Status check_pairs(const ConversionOptions& options,
                         std::span<const std::string_view> given) {
  const auto is_given = [&](std::string_view key) {
    return std::ranges::find(given, key) != given.end();
  };
  if (options.tsv && (is_given("delimiter") ||
                      options.delimiter.value_or(readers::Delimiter{}) != readers::Delimiter{})) {
    return std::unexpected(core::option_error(
        OptionRule::Conflict, "tab-separated values take no other delimiter", "tsv", "delimiter"));
  }
  if (options.copy && (is_given("batch_size") || options.batch_size != 1)) {
    return std::unexpected(core::option_error(OptionRule::Conflict,
                                              "COPY takes no batch size: it loads every row",
                                              "copy", "batch_size"));
  }
  if (options.copy && (is_given("on_conflict") || options.on_conflict != sql::OnConflict::Error)) {
    return std::unexpected(core::option_error(OptionRule::Conflict,
                                              "COPY takes no conflict handling: it loads every row",
                                              "copy", "on_conflict"));
  }
  // Resolving the key says what is wrong with giving both.
  if (options.primary_key && options.auto_id) {
    return std::unexpected(sql::PrimaryKey::from_options(*options.primary_key, true).error());
  }
  if (options.row_names && options.no_header) {
    return std::unexpected(core::option_error(OptionRule::Conflict,
                                              "row names are named by the header's count of fields",
                                              "row_names", "no_header"));
  }
  if (!options.create_table && options.primary_key) {
    return std::unexpected(core::option_error(OptionRule::Requires,
                                              "a primary key needs the table to be created",
                                              "primary_key", "create_table"));
  }
  if (!options.create_table && options.auto_id) {
    return std::unexpected(core::option_error(OptionRule::Requires,
                                              "an auto id needs the table to be created", "auto_id",
                                              "create_table"));
  }
  return {};
}

// The quote byte, when given: CSV only, and neither a byte that separates fields nor the comment
// character, whose lines it would otherwise open fields in.
core::Status check_quote(const ConversionOptions& options) {
  if (!options.quote) return {};
  if (options.format == Format::Json) {
    return std::unexpected(core::invalid("the quote option is for CSV input, not JSON"));
  }
  const readers::Delimiter delimiter = read_options(options).delimiter;
  const bool is_separator = delimiter.is_white_space
                                ? *options.quote == ' ' || *options.quote == '\t'
                                : !delimiter.is_automatic && *options.quote == delimiter.byte;
  if (is_separator) {
    return std::unexpected(core::invalid("the quote character is the delimiter"));
  }
  if (options.comment && *options.comment == *options.quote) {
    return std::unexpected(core::invalid("the quote character is the comment character"));
  }
  return {};
}

}  // namespace

core::Status check_combinations(const ConversionOptions& options,
                                std::span<const std::string_view> given) {
  if (auto paired = check_pairs(options, given); !paired) return paired;
  if (options.format == Format::Json &&
      (options.delimiter || options.tsv || options.comment || options.skip_lines > 0 ||
       options.no_header || options.allow_short_rows)) {
    return std::unexpected(core::invalid(
        "the delimiter, comment, skip-lines, no-header and short-rows options are for CSV "
        "input, not JSON"));
  }
  if (auto quoting = check_quote(options); !quoting) return quoting;
  if (options.json_path && options.format == Format::Csv) {
    return std::unexpected(core::invalid("the JSON path option is for JSON input, not CSV"));
  }
  // Kept apart from the message above, which callers match word for word.
  if (options.format == Format::Json && (options.fix_names || options.row_names)) {
    return std::unexpected(core::invalid(
        "the fix-names and row-names options are for CSV input, not JSON: a JSON record's keys "
        "are its own"));
  }
  // Only a delimiter asked for: a comment character that is the default comma is taken as given.
  const readers::Delimiter delimiter = read_options(options).delimiter;
  if (options.comment && (options.delimiter || options.tsv) && !delimiter.is_automatic &&
      *options.comment == delimiter.byte) {
    return std::unexpected(core::invalid("the comment character is the delimiter"));
  }
  if (options.batch_size < 1 || options.batch_size > max_batch_size) {
    return std::unexpected(core::invalid("a batch holds " + range_text(max_batch_size) +
                                         " records, not " + std::to_string(options.batch_size)));
  }
  if (options.jobs && (*options.jobs < 1 || *options.jobs > max_jobs)) {
    return std::unexpected(core::invalid("jobs are " + range_text(max_jobs) + " threads, not " +
                                         std::to_string(*options.jobs)));
  }
  if (options.copy && options.dialect != sql::Dialect::Postgres) {
    return std::unexpected(core::invalid("COPY is PostgreSQL's: use it with the postgres dialect"));
  }
  // PostgreSQL names the columns whose values conflict; only the table's key can say which.
  if (options.on_conflict == sql::OnConflict::Replace &&
      options.dialect == sql::Dialect::Postgres && !options.primary_key) {
    return std::unexpected(core::invalid(
        "replacing rows on conflict in PostgreSQL needs the key columns: create the table with "
        "a primary key"));
  }
  return {};
}

void apply_input_name(ConversionOptions& options, std::string_view path) {
  if (options.format != Format::Csv || options.delimiter || options.tsv) return;
  for (const std::string_view extension : {".tsv", ".tab"}) {
    if (path.size() > extension.size() &&
        core::equals_ascii_folded(path.substr(path.size() - extension.size()), extension)) {
      options.tsv = true;
    }
  }
}

readers::ReadOptions read_options(const ConversionOptions& options) {
  readers::ReadOptions read;
  if (options.delimiter) {
    read.delimiter = *options.delimiter;
    read.delimiter_is_chosen = true;
  }
  if (options.tsv) {
    read.delimiter = readers::Delimiter{'\t', false};
    read.delimiter_is_chosen = true;
  }
  read.comment = options.comment;
  read.keeps_number_texts = options.schema_from == SchemaFrom::All;
  read.skip_lines = options.skip_lines;
  read.has_header = !options.no_header;
  read.allow_short_rows = options.allow_short_rows;
  if (options.quote) read.quote = *options.quote;
  if (options.json_path) {
    for (std::size_t from = 0;;) {
      const std::size_t dot =
          std::min(options.json_path->find('.', from), options.json_path->size());
      read.json_path.push_back(options.json_path->substr(from, dot - from));
      if (dot == options.json_path->size()) break;
      from = dot + 1;
    }
  }
  read.fix_names = options.fix_names;
  read.row_names = options.row_names;
  // SQLite and MySQL compare column names without letter case; PostgreSQL and MySQL refuse an
  // empty one.
  read.names_ignore_case = options.dialect != sql::Dialect::Postgres;
  read.empty_name_refused = options.dialect != sql::Dialect::Sqlite;
  if (options.auto_id) read.added_column = sql::auto_id_column;
  read.null_words = readers::NullWords(options.null_values);
  read.encoding = options.encoding;
  return read;
}

}  // namespace morvel::convert
