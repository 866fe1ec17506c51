#include "convert/pipeline.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "convert/schema.hpp"
#include "core/row.hpp"
#include "core/utf8.hpp"
#include "readers/csv.hpp"
#include "readers/json.hpp"
#include "sql/statements.hpp"

namespace morvel::convert {

using core::ByteBuffer;
using core::DataType;
using core::Result;
using core::Row;
using core::Status;

namespace {

// The row sink of one conversion: the CREATE TABLE statement before the first record, an INSERT
// per record. Statements go straight into the sink's buffer when it has one, saving a copy of
// every byte of output; otherwise through one statement buffer whose capacity every record reuses.
// With a schema from every record, each value is written as its column's type; with the table
// made from the first record, values it cannot keep are reported to the monitor.
class StatementWriter {
 public:
  StatementWriter(core::ByteSink& sink, const CheckedOptions& options, core::Monitor* monitor,
                  const Schema* schema)
      : sink_(sink),
        options_(options),
        inserts_(options->table_name, options->dialect),
        direct_(sink.buffer()),
        schema_(schema),
        watch_(options->create_table && schema == nullptr && monitor != nullptr ? monitor
                                                                                : nullptr) {}

  // Taken by reference, so the reader keeps the row's memory for its next record.
  Status operator()(Row&& row) {
    if (row.holds_nul()) {
      for (const Row::Entry entry : row) {
        if (auto refused = sql::nul_identifier_error("column", entry.name)) {
          return std::unexpected(std::move(*refused));
        }
      }
    }
    ++record_;
    if (record_ == 1) {
      if (auto created = write_create_table(row); !created) return created;
    } else if (watch_ != nullptr) {
      watch(row);
    }
    const DataType* types = schema_ != nullptr ? schema_->types_for(row, column_types_) : nullptr;
    if (direct_ != nullptr) {
      inserts_.append_line(*direct_, row, types);
      return sink_.appended();
    }
    statement_.clear();
    inserts_.append_line(statement_, row, types);
    return sink_.write(statement_.view());
  }

 private:
  Status write_create_table(const Row& first_row) {
    if (!options_->create_table) return {};
    const Row& columns = schema_ != nullptr ? schema_->columns() : first_row;
    auto create = sql::generate_create_table_with_pk(options_->table_name, columns,
                                                     options_->dialect, options_.primary_key());
    if (!create) return std::unexpected(std::move(create.error()));
    create->append("\n\n");
    if (watch_ != nullptr) first_types_.remember(first_row);
    return sink_.write(*create);
  }

  // Tells the monitor, once per column, of a value the first record's table cannot keep.
  void watch(const Row& row) {
    first_types_.check(row, options_->dialect, [&](const FirstRecordTypes::Loss& loss) {
      watch_->warn(describe_loss(loss, record_, options_->dialect));
    });
  }

  core::ByteSink& sink_;
  const CheckedOptions& options_;
  sql::InsertWriter inserts_;
  ByteBuffer* const direct_;
  ByteBuffer statement_;
  const Schema* schema_;
  std::vector<DataType> column_types_;  // the schema's types for the last row's entries
  core::Monitor* watch_;
  FirstRecordTypes first_types_;
  std::uint64_t record_ = 0;  // rows handed over so far
};

Status read(core::ByteSource& source, core::RowSink sink, const CheckedOptions& options,
            const readers::ReadOptions& read, core::Monitor* monitor) {
  return options->format == Format::Json ? readers::stream_json(source, sink, read, monitor)
                                         : readers::stream_csv(source, sink, read, monitor);
}

// Hears only whether to stop: the first of two readings keeps its warnings to itself, since the
// second, which writes, gives them all again.
class QuietMonitor final : public core::Monitor {
 public:
  explicit QuietMonitor(core::Monitor* inner) noexcept : inner_(inner) {}
  Status check(std::uint64_t input_bytes) override {
    return inner_ != nullptr ? inner_->check(input_bytes) : Status{};
  }
  void warn(std::string) override {}

 private:
  core::Monitor* inner_;
};

// Reads the input twice: once for the columns and their types, once for the statements. A source
// that cannot go back (a pipe) is held in memory for the second reading. A failure in the first
// reading comes again, at the same record, in the second, after the statements before it.
Status convert_with_schema(core::ByteSource& source, core::ByteSink& sink,
                           const CheckedOptions& options, const readers::ReadOptions& read_with,
                           core::Monitor* monitor) {
  ByteBuffer held;
  std::optional<core::MemorySource> memory;
  core::ByteSource* input = &source;
  if (!source.contiguous() && !source.rewind()) {
    if (auto all = core::read_to_end(source, held); !all) return all;
    input = &memory.emplace(held.view());
  }
  Schema schema;
  QuietMonitor quiet(monitor);
  auto collect = [&](Row&& row) -> Status {
    schema.add(row);
    return {};
  };
  if (auto first = read(*input, collect, options, read_with, &quiet); !first) {
    if (first.error().kind == core::ErrorKind::Interrupted) return first;
  }
  if (!input->rewind()) {
    return std::unexpected(core::invalid("the input could not be read a second time"));
  }
  schema.finish(options->format == Format::Json);
  StatementWriter writer(sink, options, monitor, &schema);
  if (auto second = read(*input, writer, options, read_with, monitor); !second) return second;
  return sink.flush();
}

}  // namespace

Status convert(core::ByteSource& source, core::ByteSink& sink, const CheckedOptions& options,
               core::Monitor* monitor) {
  const readers::ReadOptions read_with = read_options(*options);
  if (options->schema_from == SchemaFrom::All) {
    return convert_with_schema(source, sink, options, read_with, monitor);
  }
  StatementWriter writer(sink, options, monitor, nullptr);
  if (auto status = read(source, writer, options, read_with, monitor); !status) return status;
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
