#include "convert/pipeline.hpp"

#include <utility>

#include "core/row.hpp"
#include "core/utf8.hpp"
#include "readers/csv.hpp"
#include "readers/json.hpp"
#include "sql/statements.hpp"

namespace morvel::convert {

using core::ByteBuffer;
using core::Result;
using core::Row;
using core::Status;

namespace {

// The row sink of one conversion: the CREATE TABLE statement before the first record, an INSERT
// per record. Statements go straight into the sink's buffer when it has one, saving a copy of
// every byte of output; otherwise through one statement buffer whose capacity every record reuses.
class StatementWriter {
 public:
  StatementWriter(core::ByteSink& sink, const CheckedOptions& options)
      : sink_(sink),
        options_(options),
        inserts_(options->table_name, options->dialect),
        direct_(sink.buffer()) {}

  // Taken by reference, so the reader keeps the row's memory for its next record.
  Status operator()(Row&& row) {
    if (row.holds_nul()) {
      for (const Row::Entry entry : row) {
        if (auto refused = sql::nul_identifier_error("column", entry.name)) {
          return std::unexpected(std::move(*refused));
        }
      }
    }
    if (is_first_row_) {
      if (auto created = write_create_table(row); !created) return created;
      is_first_row_ = false;
    }
    if (direct_ != nullptr) {
      inserts_.append_line(*direct_, row);
      return sink_.appended();
    }
    statement_.clear();
    inserts_.append_line(statement_, row);
    return sink_.write(statement_.view());
  }

 private:
  Status write_create_table(const Row& first_row) {
    if (!options_->create_table) return {};
    auto create = sql::generate_create_table_with_pk(options_->table_name, first_row,
                                                     options_->dialect, options_.primary_key());
    if (!create) return std::unexpected(std::move(create.error()));
    create->append("\n\n");
    return sink_.write(*create);
  }

  core::ByteSink& sink_;
  const CheckedOptions& options_;
  sql::InsertWriter inserts_;
  ByteBuffer* const direct_;
  ByteBuffer statement_;
  bool is_first_row_ = true;
};

}  // namespace

Status convert(core::ByteSource& source, core::ByteSink& sink, const CheckedOptions& options,
               core::Monitor* monitor) {
  StatementWriter writer(sink, options);
  const Status read = options->format == Format::Json
                          ? readers::stream_json(source, writer, monitor)
                          : readers::stream_csv(source, writer, monitor);
  if (!read) return read;
  return sink.flush();
}

Result<ByteBuffer> convert_to_buffer(core::ByteSource& source, const CheckedOptions& options,
                                     core::Monitor* monitor) {
  core::StringSink buffer;
  if (auto converted = convert(source, buffer, options, monitor); !converted) {
    return std::unexpected(std::move(converted.error()));
  }
  return buffer.take();
}

Result<ByteBuffer> convert_file_to_buffer(const std::string& path, ConversionOptions options,
                                          core::Monitor* monitor) {
  auto fd = core::open_for_reading(path);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto checked = check_options(std::move(options));
  if (!checked) return std::unexpected(std::move(checked.error()));
  // Read, not mapped: a file that shrinks under a mapping raises SIGBUS, which would end the
  // interpreter that called us.
  core::FdSource source(std::move(*fd), core::FdSource::Mapping::Never, monitor);
  return convert_to_buffer(source, *checked, monitor);
}

std::optional<core::Error> utf8_error(std::string_view sql) {
  // The readers only pass UTF-8 on, so this guards the promise of a valid str rather than
  // catching a known case.
  const auto bad = core::find_invalid_utf8(sql);
  if (!bad) return std::nullopt;
  const std::string index = std::to_string(bad->valid_up_to);
  return core::invalid(bad->error_length == 0
                           ? "incomplete utf-8 byte sequence from index " + index
                           : "invalid utf-8 sequence of " + std::to_string(bad->error_length) +
                                 " bytes from index " + index);
}

}  // namespace morvel::convert
