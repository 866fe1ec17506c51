#include "convert/option_table.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "core/encoding.hpp"
#include "readers/options.hpp"

namespace morvel::convert {
namespace {

using core::Status;

// Indexed by the enumerators of Format, Dialect::Kind, SchemaFrom and OnConflict.
constexpr std::array<std::string_view, 2> format_names = {"csv", "json"};
constexpr std::array<std::string_view, 3> dialect_names = {"postgres", "sqlite", "mysql"};
constexpr std::array<std::string_view, 2> schema_names = {"first", "all"};
constexpr std::array<std::string_view, 3> conflict_names = {"error", "ignore", "replace"};

template <class Enum, std::size_t N>
std::string name_of(const std::array<std::string_view, N>& names, Enum value) {
  return std::string(names[static_cast<std::size_t>(value)]);
}

core::Result<Format> parse_format(std::string_view text) {
  if (text == "csv") return Format::Csv;
  if (text == "json") return Format::Json;
  return std::unexpected(
      core::invalid("invalid format '" + std::string(text) + "' (possible values: csv, json)"));
}

core::Result<sql::Dialect> parse_dialect(std::string_view text) {
  if (auto dialect = sql::Dialect::from_name(text)) return *dialect;
  return std::unexpected(
      core::invalid("unknown dialect '" + std::string(text) +
                    "' (accepted names: " + std::string(sql::Dialect::accepted_names()) + ")"));
}

template <bool ConversionOptions::*field>
Status set_switch(ConversionOptions& options, const OptionValue& value) {
  options.*field = std::get<bool>(value);
  return {};
}

template <std::uint64_t ConversionOptions::*field>
Status set_count(ConversionOptions& options, const OptionValue& value) {
  options.*field = std::get<std::uint64_t>(value);
  return {};
}

// Stores the text as it is, in a text or an optional text.
template <auto field>
Status set_text(ConversionOptions& options, const OptionValue& value) {
  options.*field = std::string(std::get<std::string_view>(value));
  return {};
}

// Stores what `parse` makes of the text, or fails with its message.
template <auto parse, auto field>
Status set_parsed(ConversionOptions& options, const OptionValue& value) {
  auto parsed = parse(std::get<std::string_view>(value));
  if (!parsed) return std::unexpected(std::move(parsed.error()));
  options.*field = std::move(*parsed);
  return {};
}

Status add_null_words(ConversionOptions& options, const OptionValue& value) {
  const auto words = std::get<std::span<const std::string>>(value);
  options.null_values.insert(options.null_values.end(), words.begin(), words.end());
  return {};
}

// Each column takes one type; a column named twice is more likely a slip than a change of mind.
Status add_types(ConversionOptions& options, const OptionValue& value) {
  for (const auto& [column, name] : std::get<std::span<const TextPair>>(value)) {
    const auto type = parse_column_type(name);
    if (!type) {
      return std::unexpected(core::invalid("invalid type '" + name + "' for column '" + column +
                                           "' (possible values: " +
                                           std::string(column_type_names) + ")"));
    }
    if (std::ranges::find(options.types, column, &DeclaredType::column) != options.types.end()) {
      return std::unexpected(core::invalid("column '" + column + "' is given a type twice"));
    }
    options.types.push_back(DeclaredType{column, *type});
  }
  return {};
}

Status set_jobs(ConversionOptions& options, const OptionValue& value) {
  // A count past the limit stays past it, for the check to name.
  options.jobs = static_cast<unsigned>(
      std::min<std::uint64_t>(std::get<std::uint64_t>(value), std::uint64_t{max_jobs} + 1));
  return {};
}

// One option a few lines, each with where its value goes, reads better than the formatter's
// layout.
// clang-format off
constexpr std::array<OptionSpec, 26> options = {{
    {.key = "table_name", .long_name = "table", .short_name = 't', .value_name = "TABLE",
     .kind = ValueKind::Text, .help = "Table the statements fill",
     .default_of = [](const ConversionOptions& o) { return o.table_name; },
     .set = set_text<&ConversionOptions::table_name>},
    {.key = "schema", .long_name = "schema", .value_name = "NAME", .kind = ValueKind::Text,
     .help = "Schema the table is in (MySQL: database; SQLite: attached database)",
     .set = set_text<&ConversionOptions::schema>},
    {.key = "format", .long_name = "format", .short_name = 'f', .value_name = "FORMAT",
     .kind = ValueKind::Text, .choices = format_names,
     .help = "Input format; json for a .json, .jsonl or .ndjson input file",
     .default_of = [](const ConversionOptions& o) { return name_of(format_names, o.format); },
     .set = set_parsed<parse_format, &ConversionOptions::format>, .faces = Faces::Command},
    {.key = "dialect", .long_name = "dialect", .short_name = 'd', .value_name = "DIALECT",
     .kind = ValueKind::Text, .choices = dialect_names,
     .help = "SQL dialect; postgresql, pg, sqlite3 and mariadb work too",
     .default_of = [](const ConversionOptions& o) { return std::string(o.dialect.name()); },
     .set = set_parsed<parse_dialect, &ConversionOptions::dialect>},
    {.key = "create_table", .long_name = "create-table",
     .help = "Begin with CREATE TABLE IF NOT EXISTS, typed from the first record",
     .set = set_switch<&ConversionOptions::create_table>},
    {.key = "primary_key", .long_name = "primary-key", .short_name = 'k', .value_name = "COLUMNS",
     .kind = ValueKind::Text, .help = "Comma-separated key columns of the new table",
     .set = set_text<&ConversionOptions::primary_key>},
    {.key = "auto_id", .long_name = "auto-id",
     .help = "Give the new table an auto-increment id column as its key",
     .set = set_switch<&ConversionOptions::auto_id>},
    {.key = "schema_from", .long_name = "schema-from", .value_name = "RECORDS",
     .kind = ValueKind::Text, .choices = schema_names,
     .help = "Type each column from the first record or from all of them",
     .default_of = [](const ConversionOptions& o) { return name_of(schema_names, o.schema_from); },
     .set = set_parsed<parse_schema_from, &ConversionOptions::schema_from>},
    {.key = "types", .long_name = "type", .value_name = "COLUMN=TYPE", .kind = ValueKind::Pairs,
     .help = "Give a column a type: text, integer, float, boolean, date, timestamp, uuid, json",
     .set = add_types},
    {.key = "null_values", .long_name = "null", .value_name = "WORD", .kind = ValueKind::Words,
     .help = "Read this word as NULL, e.g. NA (may be given more than once)",
     .set = add_null_words},
    {.key = "delimiter", .long_name = "delimiter", .value_name = "C", .kind = ValueKind::Text,
     .help = "Byte between CSV fields: a byte, tab, whitespace, or auto (from the header)",
     .default_of = [](const ConversionOptions& o) {
       return std::string(1, o.delimiter.value_or(readers::Delimiter{}).byte); },
     .set = set_parsed<readers::Delimiter::parse, &ConversionOptions::delimiter>},
    {.key = "tsv", .long_name = "tsv", .help = "Read tab-separated values: --delimiter tab",
     .set = set_switch<&ConversionOptions::tsv>},
    {.key = "comment", .long_name = "comment", .value_name = "C", .kind = ValueKind::Text,
     .help = "Skip CSV lines starting with this byte, before and after the header",
     .set = set_parsed<parse_comment, &ConversionOptions::comment>},
    {.key = "skip_lines", .long_name = "skip-lines", .value_name = "N", .kind = ValueKind::Count,
     .help = "Skip this many lines (a title, a preamble) before the CSV header",
     .default_of = [](const ConversionOptions& o) { return std::to_string(o.skip_lines); },
     .help_shows_default = false, .set = set_count<&ConversionOptions::skip_lines>},
    {.key = "no_header", .long_name = "no-header",
     .help = "Read the first CSV record as data, in columns column_1, column_2, ...",
     .set = set_switch<&ConversionOptions::no_header>},
    {.key = "allow_short_rows", .long_name = "allow-short-rows",
     .help = "Fill the missing trailing fields of short CSV records with NULL",
     .set = set_switch<&ConversionOptions::allow_short_rows>},
    {.key = "quote", .long_name = "quote", .value_name = "C", .kind = ValueKind::Text,
     .help = "Byte that quotes CSV fields instead of a double quote, e.g. '",
     .default_of = [](const ConversionOptions& o) {
       return std::string(1, o.quote.value_or(readers::ReadOptions{}.quote)); },
     .help_shows_default = false, .set = set_parsed<parse_quote, &ConversionOptions::quote>,
     .only_for = Format::Csv},
    {.key = "json_path", .long_name = "json-path", .value_name = "KEYS", .kind = ValueKind::Text,
     .help = "Read JSON records from the array at these keys, e.g. data.items",
     .set = set_parsed<parse_json_path, &ConversionOptions::json_path>,
     .only_for = Format::Json},
    {.key = "fix_names", .long_name = "fix-names",
     .help = "Rename empty (column_N), repeated (name_2) and clashing CSV header names",
     .set = set_switch<&ConversionOptions::fix_names>},
    {.key = "row_names", .long_name = "row-names",
     .help = "Read each CSV record's first field as a column row_names (R's row names)",
     .set = set_switch<&ConversionOptions::row_names>},
    {.key = "encoding", .long_name = "encoding", .value_name = "NAME", .kind = ValueKind::Text,
     .help = "Decode the input from this encoding (iconv names: latin1, utf-16, ...)",
     .default_of = [](const ConversionOptions& o) {
       return o.encoding ? o.encoding->name() : std::string(default_encoding_name); },
     .set = set_parsed<core::Encoding::find, &ConversionOptions::encoding>},
    {.key = "batch_size", .long_name = "batch-size", .value_name = "N", .kind = ValueKind::Count,
     .help = "Put up to N records in each INSERT, a row per line",
     .default_of = [](const ConversionOptions& o) { return std::to_string(o.batch_size); },
     .most = max_batch_size, .set = set_count<&ConversionOptions::batch_size>},
    {.key = "transaction", .long_name = "transaction",
     .help = "Make the script all or nothing: BEGIN (START TRANSACTION) ... COMMIT",
     .set = set_switch<&ConversionOptions::transaction>},
    {.key = "copy", .long_name = "copy",
     .help = "Write the rows as PostgreSQL COPY blocks, which psql loads fastest",
     .set = set_switch<&ConversionOptions::copy>},
    {.key = "on_conflict", .long_name = "on-conflict", .value_name = "ACTION",
     .kind = ValueKind::Text, .choices = conflict_names,
     .help = "What a record whose key is taken does: fail, be skipped or replace",
     .default_of = [](const ConversionOptions& o) { return name_of(conflict_names, o.on_conflict); },
     .set = set_parsed<parse_on_conflict, &ConversionOptions::on_conflict>},
    {.key = "jobs", .long_name = "jobs", .value_name = "N", .kind = ValueKind::Count,
     .help = "Threads that convert; one per processor unless given", .most = max_jobs,
     .set = set_jobs},
}};
// clang-format on

}  // namespace

std::span<const OptionSpec> option_table() noexcept { return options; }

const OptionSpec* find_option(std::string_view key) noexcept {
  const auto found = std::ranges::find(options, key, &OptionSpec::key);
  return found == options.end() ? nullptr : &*found;
}

std::string help_line(const OptionSpec& option) {
  std::string line(option.help);
  if (option.most != 0) line += " (1 to " + std::to_string(option.most) + ")";
  return line;
}

std::optional<std::string> default_text(const OptionSpec& option) {
  if (option.default_of == nullptr) return std::nullopt;
  return option.default_of(ConversionOptions{});
}

}  // namespace morvel::convert
