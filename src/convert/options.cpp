#include "convert/options.hpp"

#include <utility>

namespace morvel::convert {

core::Result<CheckedOptions> check_options(ConversionOptions options) {
  std::optional<std::string_view> key_columns;
  if (options.primary_key) key_columns = *options.primary_key;
  auto key = sql::PrimaryKey::from_options(key_columns, options.auto_id);
  if (!key) return std::unexpected(std::move(key.error()));
  // The command line refuses this combination as a usage error before it gets here.
  if (!options.create_table && (options.primary_key || options.auto_id)) {
    return std::unexpected(core::invalid("primary_key / auto_id require create_table=True"));
  }
  if (auto combined = check_combinations(options); !combined) {
    return std::unexpected(std::move(combined.error()));
  }
  if (auto refused = sql::nul_identifier_error("table", options.table_name)) {
    return std::unexpected(std::move(*refused));
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

core::Result<sql::OnConflict> parse_on_conflict(std::string_view text) {
  if (text == "error") return sql::OnConflict::Error;
  if (text == "ignore") return sql::OnConflict::Ignore;
  if (text == "replace") return sql::OnConflict::Replace;
  return std::unexpected(core::invalid("invalid conflict handling '" + std::string(text) +
                                       "' (possible values: error, ignore, replace)"));
}

core::Status check_combinations(const ConversionOptions& options) {
  if (options.format == Format::Json &&
      (options.delimiter || options.comment || options.skip_lines > 0 || options.no_header ||
       options.allow_short_rows)) {
    return std::unexpected(core::invalid(
        "the delimiter, comment, skip-lines, no-header and short-rows options are for CSV "
        "input, not JSON"));
  }
  if (options.comment && options.delimiter && !options.delimiter->is_automatic &&
      *options.comment == options.delimiter->byte) {
    return std::unexpected(core::invalid("the comment character is the delimiter"));
  }
  if (options.batch_size < 1 || options.batch_size > max_batch_size) {
    return std::unexpected(core::invalid("a batch holds 1 to 100000 records, not " +
                                         std::to_string(options.batch_size)));
  }
  if (options.jobs && (*options.jobs < 1 || *options.jobs > max_jobs)) {
    return std::unexpected(
        core::invalid("jobs are 1 to 256 threads, not " + std::to_string(*options.jobs)));
  }
  if (options.copy) {
    if (options.dialect != sql::Dialect::Postgres) {
      return std::unexpected(
          core::invalid("COPY is PostgreSQL's: use it with the postgres dialect"));
    }
    if (options.batch_size != 1 || options.on_conflict != sql::OnConflict::Error) {
      return std::unexpected(
          core::invalid("COPY takes no batch size and no conflict handling: it loads every row"));
    }
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

readers::ReadOptions read_options(const ConversionOptions& options) {
  readers::ReadOptions read;
  if (options.delimiter) {
    read.delimiter = *options.delimiter;
    read.delimiter_is_chosen = true;
  }
  read.comment = options.comment;
  read.skip_lines = options.skip_lines;
  read.has_header = !options.no_header;
  read.allow_short_rows = options.allow_short_rows;
  read.null_words = readers::NullWords(options.null_values);
  read.encoding = options.encoding;
  return read;
}

}  // namespace morvel::convert
