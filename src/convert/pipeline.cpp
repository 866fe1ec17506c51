#include "convert/pipeline.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "convert/schema.hpp"
#include "convert/script.hpp"
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

Status read(core::ByteSource& source, core::RowSink sink, const CheckedOptions& options,
            const readers::ReadOptions& read, core::Monitor* monitor) {
  return options->format == Format::Json ? readers::stream_json(source, sink, read, monitor)
                                         : readers::stream_csv(source, sink, read, monitor);
}

// Reads the records into `script` and ends it: completed and flushed after the last record, or,
// after a failure, with the statement in progress closed and the failure returned unchanged.
Status write_script(core::ByteSource& source, ScriptWriter& script, core::ByteSink& sink,
                    const CheckedOptions& options, const readers::ReadOptions& read_with,
                    core::Monitor* monitor) {
  if (auto status = read(source, script, options, read_with, monitor); !status) {
    // The failure is what the user must hear of; closing the statement may fail the same way.
    (void)script.abandon();
    return status;
  }
  if (auto finished = script.finish(); !finished) return finished;
  return sink.flush();
}

// The first of two readings: its progress is a check of the input, and it keeps its warnings to
// itself, since the second, which writes, gives them all again.
class FirstReading final : public core::Monitor {
 public:
  explicit FirstReading(core::Monitor* inner) noexcept : inner_(inner) {}
  Status check() override { return inner_ != nullptr ? inner_->check() : Status{}; }
  void progress(std::uint64_t input_bytes, core::Stage) override {
    if (inner_ != nullptr) inner_->progress(input_bytes, core::Stage::Checking);
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
  FirstReading quiet(monitor);
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
  ScriptWriter script(sink, options, monitor, &schema);
  return write_script(*input, script, sink, options, read_with, monitor);
}

}  // namespace

Status convert(core::ByteSource& source, core::ByteSink& sink, const CheckedOptions& options,
               core::Monitor* monitor) {
  const readers::ReadOptions read_with = read_options(*options);
  if (options->schema_from == SchemaFrom::All) {
    return convert_with_schema(source, sink, options, read_with, monitor);
  }
  ScriptWriter script(sink, options, monitor, nullptr);
  return write_script(source, script, sink, options, read_with, monitor);
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
