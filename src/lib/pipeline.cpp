#include "lib/pipeline.hpp"

#include "lib/utf8.hpp"
#include "parsers/csv_parser.hpp"
#include "parsers/json_parser.hpp"

namespace morvel {

namespace {

// The script as a string, once it is known to be UTF-8.
Result<std::string> to_checked_string(Result<ByteBuffer> sql) {
  if (!sql) return std::unexpected(std::move(sql.error()));
  if (auto bad = utf8_error(sql->view())) return std::unexpected(std::move(*bad));
  return std::string(sql->view());
}

Status check_identifier(std::string_view what, std::string_view name) {
  if (auto refused = nul_identifier_error(what, name)) return std::unexpected(std::move(*refused));
  return {};
}

}  // namespace

std::optional<Error> nul_identifier_error(std::string_view what, std::string_view name) {
  if (name.find('\0') == std::string_view::npos) return std::nullopt;
  std::string shown;
  for (const char c : name) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return invalid(std::string(what) + " name '" + shown +
                 "' contains a NUL character, which no SQL identifier can hold");
}

Status convert(ByteSource& reader, ByteSink& writer, Format format, std::string_view table_name,
               bool create_table, Dialect dialect, const PrimaryKey& primary_key) {
  if (auto table = check_identifier("table", table_name); !table) return table;
  bool is_first_row = true;
  // Statements go straight into the writer's buffer when it has one, saving a copy of every
  // byte of output; otherwise through one statement buffer whose capacity every record reuses.
  sql::generator::InsertBuilder inserts(table_name, dialect);
  ByteBuffer* const direct = writer.buffer();
  ByteBuffer statement;
  auto append_statement = [&](ByteBuffer& out, const Row& row) {
    char* end = inserts.write(out.room(inserts.max_size(row) + 1), row);
    *end++ = '\n';
    out.commit(end);
  };
  // Taken by reference, so the reader keeps the row's memory for its next record.
  auto sink = [&](Row&& row) -> Status {
    if (row.holds_nul()) {
      for (const Row::Entry entry : row) {
        if (auto name = check_identifier("column", entry.name); !name) return name;
      }
    }
    if (is_first_row) {
      if (create_table) {
        auto create =
            sql::generator::generate_create_table_with_pk(table_name, row, dialect, primary_key);
        if (!create) return std::unexpected(std::move(create.error()));
        create->append("\n\n");
        if (auto written = writer.write(*create); !written) return written;
      }
      is_first_row = false;
    }
    if (direct != nullptr) {
      append_statement(*direct, row);
      return writer.appended();
    }
    statement.clear();
    append_statement(statement, row);
    return writer.write(statement.view());
  };
  const Status read = format == Format::Json ? parsers::json_parser::stream_json(reader, sink)
                                             : parsers::csv_parser::stream_csv(reader, sink);
  if (!read) return read;
  return writer.flush();
}

Result<ByteBuffer> convert_to_buffer(ByteSource& reader, Format format, std::string_view table_name,
                                     bool create_table, std::string_view dialect,
                                     std::optional<std::string_view> primary_key, bool auto_id) {
  auto key = PrimaryKey::from_options(primary_key, auto_id);
  if (!key) return std::unexpected(std::move(key.error()));
  if (!create_table && (primary_key || auto_id)) {
    return std::unexpected(invalid("primary_key / auto_id require create_table=True"));
  }
  StringSink buffer;
  if (auto converted =
          convert(reader, buffer, format, table_name, create_table, Dialect::lookup(dialect), *key);
      !converted) {
    return std::unexpected(std::move(converted.error()));
  }
  return buffer.take();
}

Result<ByteBuffer> convert_file_to_buffer(const std::string& path, Format format,
                                          std::string_view table_name, bool create_table,
                                          std::string_view dialect,
                                          std::optional<std::string_view> primary_key,
                                          bool auto_id) {
  auto fd = open_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  // Read, not mapped: a file that shrinks under a mapping raises SIGBUS, which would end the
  // interpreter that called us. The command line, a process of its own, maps its input file.
  FdSource source(std::move(*fd), FdSource::Mapping::Never);
  return convert_to_buffer(source, format, table_name, create_table, dialect, primary_key, auto_id);
}

std::optional<Error> utf8_error(std::string_view sql) {
  // The readers only pass UTF-8 on, so this guards the promise of a valid str rather than
  // catching a known case.
  const auto bad = find_invalid_utf8(sql);
  if (!bad) return std::nullopt;
  const std::string index = std::to_string(bad->valid_up_to);
  return invalid(bad->error_length == 0
                     ? "incomplete utf-8 byte sequence from index " + index
                     : "invalid utf-8 sequence of " + std::to_string(bad->error_length) +
                           " bytes from index " + index);
}

Result<std::string> convert_to_string(ByteSource& reader, Format format,
                                      std::string_view table_name, bool create_table,
                                      std::string_view dialect,
                                      std::optional<std::string_view> primary_key, bool auto_id) {
  return to_checked_string(
      convert_to_buffer(reader, format, table_name, create_table, dialect, primary_key, auto_id));
}

Result<std::string> convert_csv_file_to_sql(const std::string& path, std::string_view table_name,
                                            bool create_table, std::string_view dialect,
                                            std::optional<std::string_view> primary_key,
                                            bool auto_id) {
  return to_checked_string(convert_file_to_buffer(path, Format::Csv, table_name, create_table,
                                                  dialect, primary_key, auto_id));
}

Result<std::string> convert_json_file_to_sql(const std::string& path, std::string_view table_name,
                                             bool create_table, std::string_view dialect,
                                             std::optional<std::string_view> primary_key,
                                             bool auto_id) {
  return to_checked_string(convert_file_to_buffer(path, Format::Json, table_name, create_table,
                                                  dialect, primary_key, auto_id));
}

}  // namespace morvel
