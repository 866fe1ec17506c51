#include "lib/pipeline.hpp"

#include "lib/utf8.hpp"
#include "parsers/csv_parser.hpp"
#include "parsers/json_parser.hpp"

namespace morvel {

namespace {

Result<std::string> convert_file(const std::string& path, Format format,
                                 std::string_view table_name, bool create_table,
                                 std::string_view dialect,
                                 std::optional<std::string_view> primary_key, bool auto_id) {
  auto fd = open_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  FdSource source(std::move(*fd));
  return convert_to_string(source, format, table_name, create_table, dialect, primary_key,
                           auto_id);
}

}  // namespace

Status convert(ByteSource& reader, ByteSink& writer, Format format, std::string_view table_name,
               bool create_table, Dialect dialect, const PrimaryKey& primary_key) {
  bool is_first_row = true;
  // Derived once per conversion: the quoted table name, and one statement buffer whose capacity
  // is reused by every record instead of a fresh string per INSERT.
  const std::string quoted_table = dialect.quote_identifier(table_name);
  std::string statement;
  auto sink = [&](Row row) -> Status {
    if (is_first_row) {
      if (create_table) {
        auto create = sql::generator::generate_create_table_with_pk(table_name, row, dialect,
                                                                    primary_key);
        if (!create) return std::unexpected(std::move(create.error()));
        create->append("\n\n");
        if (auto written = writer.write(*create); !written) return written;
      }
      is_first_row = false;
    }
    statement.clear();
    sql::generator::append_insert(statement, quoted_table, row, dialect);
    statement += '\n';
    return writer.write(statement);
  };
  const Status read = format == Format::Json ? parsers::json_parser::stream_json(reader, sink)
                                             : parsers::csv_parser::stream_csv(reader, sink);
  if (!read) return read;
  return writer.flush();
}

Result<std::string> convert_to_string(ByteSource& reader, Format format,
                                      std::string_view table_name, bool create_table,
                                      std::string_view dialect,
                                      std::optional<std::string_view> primary_key, bool auto_id) {
  auto key = PrimaryKey::from_options(primary_key, auto_id);
  if (!key) return std::unexpected(std::move(key.error()));
  if (!create_table && (primary_key || auto_id)) {
    return std::unexpected(invalid("primary_key / auto_id require create_table=True"));
  }
  StringSink buffer;
  if (auto converted = convert(reader, buffer, format, table_name, create_table,
                               Dialect::lookup(dialect), *key);
      !converted) {
    return std::unexpected(std::move(converted.error()));
  }
  std::string sql = buffer.take();
  // The readers only pass UTF-8 on, so this guards the promise of a valid str rather than
  // catching a known case.
  if (const auto bad = find_invalid_utf8(sql)) {
    const std::string index = std::to_string(bad->valid_up_to);
    return std::unexpected(invalid(
        bad->error_length == 0
            ? "incomplete utf-8 byte sequence from index " + index
            : "invalid utf-8 sequence of " + std::to_string(bad->error_length) +
                  " bytes from index " + index));
  }
  return sql;
}

Result<std::string> convert_csv_file_to_sql(const std::string& path, std::string_view table_name,
                                            bool create_table, std::string_view dialect,
                                            std::optional<std::string_view> primary_key,
                                            bool auto_id) {
  return convert_file(path, Format::Csv, table_name, create_table, dialect, primary_key, auto_id);
}

Result<std::string> convert_json_file_to_sql(const std::string& path,
                                             std::string_view table_name, bool create_table,
                                             std::string_view dialect,
                                             std::optional<std::string_view> primary_key,
                                             bool auto_id) {
  return convert_file(path, Format::Json, table_name, create_table, dialect, primary_key,
                      auto_id);
}

}  // namespace morvel
