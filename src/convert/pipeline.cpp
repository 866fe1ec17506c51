#include "convert/pipeline.hpp"

#include <sched.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "convert/inputs.hpp"
#include "convert/schema.hpp"
#include "convert/script.hpp"
#include "convert/typing.hpp"
#include "core/row.hpp"
#include "core/utf8.hpp"
#include "readers/read_input.hpp"

namespace morvel::convert {

using core::ByteBuffer;
using core::DataType;
using core::Result;
using core::Row;
using core::Status;

namespace {

// The rows of a conversion into its script: row by row on the reading's thread, piece by piece
// from the others.
class ScriptWork final : public readers::PieceWork {
 public:
  // The statements of a piece of `piece_bytes` bytes take about twice as many.
  ScriptWork(ScriptWriter& script, std::size_t piece_bytes)
      : script_(script), piece_bytes_(4 * piece_bytes) {}
  core::RowSink direct() override { return script_; }
  bool can_share() const override { return script_.has_begun(); }
  void make_slots(std::size_t count) override { pieces_.resize(count); }
  std::unique_ptr<readers::PieceWorker> worker() override {
    return script_.piece_writer(pieces_, piece_bytes_);
  }
  Status commit(std::size_t slot, const readers::PieceEnd&) override {
    return script_.append(pieces_[slot]);
  }
  void stopped(const readers::Place& place, readers::PieceReader& reader) override {
    if (script_.has_refused_value() && !refused_at_) refused_at_ = reader.where(place);
  }
  // Where the record of a value its declared type refused lies, if that stopped the reading.
  [[nodiscard]] const std::optional<readers::RecordPlace>& refused_at() const noexcept {
    return refused_at_;
  }

 private:
  ScriptWriter& script_;
  std::size_t piece_bytes_;
  std::vector<ScriptPiece> pieces_;
  std::optional<readers::RecordPlace> refused_at_;
};

// Collects the schema of the pieces one thread reads.
class SchemaWorker final : public readers::PieceWorker {
 public:
  explicit SchemaWorker(std::vector<Schema>& pieces) noexcept : pieces_(pieces) {}
  void start(std::size_t slot) override {
    piece_ = &pieces_[slot];
    *piece_ = Schema();
  }
  Status take(Row&& row) override {
    piece_->add(row);
    return {};
  }

 private:
  std::vector<Schema>& pieces_;
  Schema* piece_ = nullptr;
};

// The columns and types of every record, collected on every thread and merged in order.
class SchemaWork final : public readers::PieceWork {
 public:
  explicit SchemaWork(Schema& schema) noexcept : schema_(schema) {}
  core::RowSink direct() override { return *this; }
  bool can_share() const override { return true; }
  void make_slots(std::size_t count) override { pieces_.resize(count); }
  std::unique_ptr<readers::PieceWorker> worker() override {
    return std::make_unique<SchemaWorker>(pieces_);
  }
  Status commit(std::size_t slot, const readers::PieceEnd&) override {
    schema_.merge(pieces_[slot]);
    return {};
  }
  Status operator()(Row&& row) {
    schema_.add(row);
    return {};
  }

 private:
  Schema& schema_;
  std::vector<Schema> pieces_;
};

// The first of two readings: its progress is a check of the input, and it keeps its warnings to
// itself, since the second, which writes, gives them all again.
class FirstReading final : public core::Monitor {
 public:
  explicit FirstReading(core::Monitor* inner) noexcept : inner_(inner) {}
  Status check() override { return inner_ != nullptr ? inner_->check() : Status{}; }
  void progress(std::uint64_t input_bytes, core::Stage) override {
    if (inner_ != nullptr) inner_->progress(input_bytes, core::Stage::Checking);
  }
  void warn(core::Notice) override {}

 private:
  core::Monitor* inner_;
};

// Reads the records of `source`, read as `read` says, into `script`. After a failure, closes the
// statement in progress and returns the failure, placed at its record when a declared type
// refused a value.
Status read_into_script(core::ByteSource& source, ScriptWriter& script,
                        const CheckedOptions& options, const readers::ReadOptions& read,
                        core::Monitor* monitor, const readers::ReadPlan& plan) {
  ScriptWork work(script, plan.limits.piece_bytes);
  if (auto done = readers::read_input(source, options->format, read, monitor, work, plan); !done) {
    // The failure is what the user must hear of; closing the statement may fail the same way.
    (void)script.abandon();
    if (work.refused_at())
      return std::unexpected(at_record(std::move(done.error()), *work.refused_at()));
    return done;
  }
  return {};
}

// Reads the records into `script` and ends it: completed and flushed after the last record, or,
// after a failure, with the statement in progress closed and the failure returned unchanged.
Status write_script(core::ByteSource& source, ScriptWriter& script, core::ByteSink& sink,
                    const CheckedOptions& options, core::Monitor* monitor,
                    const readers::ReadPlan& plan) {
  if (auto read = read_into_script(source, script, options, read_options(*options), monitor, plan);
      !read) {
    return read;
  }
  if (auto finished = script.finish(); !finished) return finished;
  return sink.flush();
}

// Collects into `schema` the columns and types of every record of `input`, then rewinds it.
Status collect_schema(core::ReplayableSource& input, const CheckedOptions& options,
                      const readers::ReadOptions& read, core::Monitor* monitor,
                      const readers::ReadPlan& plan, Schema& schema) {
  SchemaWork collect(schema);
  FirstReading quiet(monitor);
  Status first = readers::read_input(input, options->format, read, &quiet, collect, plan);
  if (!first && first.error().kind == core::ErrorKind::Interrupted) return first;
  if (!input.rewind()) {
    // An input that cannot be read again failed the first reading already, and that failure
    // (a temporary file that could not be made) says why.
    if (!first) return first;
    return std::unexpected(core::invalid("the input could not be read a second time"));
  }
  return {};
}

// Reads the input twice: once for the columns and their types, once for the statements. A source
// that cannot go back (a pipe) is kept in a temporary file for the second reading. A failure in
// the first reading comes again, at the same record, in the second, after the statements before
// it.
Status convert_with_schema(core::ByteSource& source, core::ByteSink& sink,
                           const CheckedOptions& options, core::Monitor* monitor,
                           const readers::ReadPlan& plan) {
  core::ReplayableSource input(source);
  Schema schema;
  if (auto read = read_schema(input, options, monitor, plan, schema); !read) return read;
  ScriptWriter script(sink, options, monitor, &schema);
  return write_script(input, script, sink, options, monitor, plan);
}

}  // namespace

readers::ReadPlan read_plan(const ConversionOptions& options, const readers::ReadLimits& limits) {
  if (options.jobs) return {*options.jobs, limits};
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
    return {static_cast<unsigned>(std::max(1, CPU_COUNT(&allowed))), limits};
  }
  return {std::max(1U, std::thread::hardware_concurrency()), limits};
}

Status read_schema(core::ReplayableSource& input, const CheckedOptions& options,
                   core::Monitor* monitor, const readers::ReadPlan& plan, Schema& schema) {
  if (auto read = collect_schema(input, options, read_options(*options), monitor, plan, schema);
      !read) {
    return read;
  }
  schema.finish(options->format == Format::Json, options->dialect);
  return {};
}

core::Error in_input(core::Error error, const std::string& path) {
  error.input = path;
  return error;
}

readers::ReadOptions file_read_options(const ConversionOptions& options, const std::string& path,
                                       std::vector<std::string>& header) {
  ConversionOptions own = options;
  apply_input_name(own, path);
  readers::ReadOptions read = read_options(own);
  read.shared_header = &header;
  return read;
}

Status read_files_schema(const std::vector<std::string>& paths, const CheckedOptions& options,
                         core::Monitor* monitor, const readers::ReadPlan& plan, Schema& schema) {
  std::vector<std::string> header;
  for (const std::string& path : paths) {
    auto fd = core::open_for_reading(path);
    // The reading that follows meets the same failure, after the records before it.
    if (!fd) break;
    core::FdSource file(std::move(*fd), monitor);
    core::ReplayableSource input(file);
    auto read = collect_schema(input, options, file_read_options(*options, path, header), monitor,
                               plan, schema);
    if (!read) return std::unexpected(in_input(std::move(read.error()), path));
  }
  schema.finish(options->format == Format::Json, options->dialect);
  return {};
}

Status convert_files(const std::vector<std::string>& paths, core::ByteSink& sink,
                     const CheckedOptions& options, core::Monitor* monitor,
                     const readers::ReadLimits& limits) {
  const readers::ReadPlan plan = read_plan(*options, limits);
  const bool has_schema = options->schema_from == SchemaFrom::All;
  Schema schema;
  if (has_schema) {
    if (auto read = read_files_schema(paths, options, monitor, plan, schema); !read) return read;
  }
  FilesRead files(monitor);
  core::Monitor* const told = files.or_null();
  ScriptWriter script(sink, options, told, has_schema ? &schema : nullptr, &files);
  std::vector<std::string> header;
  for (const std::string& path : paths) {
    auto fd = core::open_for_reading(path);
    if (!fd) {
      (void)script.abandon();
      return std::unexpected(in_input(std::move(fd.error()), path));
    }
    files.begin(path, script.rows());
    core::FdSource file(std::move(*fd), told);
    if (auto read = read_into_script(file, script, options,
                                     file_read_options(*options, path, header), told, plan);
        !read) {
      return std::unexpected(in_input(std::move(read.error()), path));
    }
  }
  if (auto finished = script.finish(); !finished) return finished;
  return sink.flush();
}

Status convert(core::ByteSource& source, core::ByteSink& sink, const CheckedOptions& options,
               core::Monitor* monitor, const readers::ReadLimits& limits) {
  const readers::ReadPlan plan = read_plan(*options, limits);
  if (options->schema_from == SchemaFrom::All) {
    return convert_with_schema(source, sink, options, monitor, plan);
  }
  ScriptWriter script(sink, options, monitor, nullptr);
  return write_script(source, script, sink, options, monitor, plan);
}

Result<ByteBuffer> convert_to_buffer(core::ByteSource& source, const CheckedOptions& options,
                                     core::Monitor* monitor) {
  core::StringSink buffer;
  if (auto converted = convert(source, buffer, options, monitor); !converted) {
    return std::unexpected(std::move(converted.error()));
  }
  return buffer.take();
}

std::optional<core::Error> utf8_error(std::string_view sql, std::size_t offset) {
  // The readers only pass UTF-8 on, so this guards the promise of a valid str rather than
  // catching a known case.
  const auto bad = core::find_invalid_utf8(sql);
  if (!bad) return std::nullopt;
  const std::string index = std::to_string(offset + bad->valid_up_to);
  return core::invalid(bad->error_length == 0
                           ? "incomplete utf-8 byte sequence from index " + index
                           : "invalid utf-8 sequence of " + std::to_string(bad->error_length) +
                                 " bytes from index " + index);
}

}  // namespace morvel::convert
