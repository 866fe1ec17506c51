#include "cli/run_cli.hpp"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

#include "cli/args.hpp"
#include "cli/messages.hpp"
#include "cli/progress.hpp"
#include "convert/inputs.hpp"
#include "convert/pipeline.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/standard_streams.hpp"
#include "load/loader.hpp"
#include "load/url.hpp"

namespace morvel::cli {
namespace {

using core::Fd;
using core::Result;
using core::Status;

constexpr int failure_status = 1;

// Writes the parts to `fd` one after the other. Errors are dropped: this serves the error
// stream, and there is nowhere left to report a failure to write it.
void write_quietly(int fd, std::initializer_list<std::string_view> parts) noexcept {
  for (std::string_view part : parts) {
    while (!part.empty()) {
      const ssize_t written = ::write(fd, part.data(), part.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return;
      }
      part.remove_prefix(static_cast<std::size_t>(written));
    }
  }
}

// Assembles the line from pieces so that reporting allocates nothing, as it also serves an
// allocation failure.
void report(int err_fd, std::string_view message) noexcept {
  write_quietly(err_fd, {"morvel: ", message, "\n"});
}

// The error stream as a sink that cannot fail, for the progress line.
class ErrorStream final : public core::ByteSink {
 public:
  explicit ErrorStream(int err_fd) noexcept : err_fd_(err_fd) {}
  Status write(std::string_view bytes) override {
    write_quietly(err_fd_, {bytes});
    return {};
  }
  Status flush() override { return {}; }

 private:
  int err_fd_;
};

// Prints the conversion's warnings as they come, "morvel: warning: ", the file of several it is
// about and ": ", and the sentence on the error stream, shows the progress line once asked to, and
// asks the caller's monitor, if any, whether to go on. The line is gone when the reporter is,
// before any final message.
class Reporter final : public core::Monitor {
 public:
  Reporter(core::Monitor* inner, int err_fd, bool format_is_chosen) noexcept
      : inner_(inner), err_fd_(err_fd), format_is_chosen_(format_is_chosen), terminal_(err_fd) {}
  Status check() override { return inner_ != nullptr ? inner_->check() : Status{}; }
  void progress(std::uint64_t input_bytes, core::Stage stage) override {
    if (inner_ != nullptr) inner_->progress(input_bytes, stage);
    if (line_) line_->update(input_bytes, stage);
  }
  // Writes out the statements made so far while the input keeps the conversion waiting.
  Status idle() override {
    if (inner_ != nullptr) {
      if (auto idle = inner_->idle(); !idle) return idle;
    }
    return output_ != nullptr ? output_->flush() : Status{};
  }
  void warn(core::Notice notice) override {
    // A format the user named is meant, whatever the input looks like.
    if (format_is_chosen_ && notice.about.options[0].key == "format") return;
    if (line_) line_->erase();
    // One of several inputs is named after the word, as a failure names it after "morvel: ".
    const std::string_view separator = notice.input.empty() ? "" : ": ";
    write_quietly(err_fd_,
                  {"morvel: warning: ", notice.input, separator, command_sentence(notice), "\n"});
  }

  // Shows a progress line for an input of `total` bytes from now on.
  void show_progress(std::uint64_t total) { line_.emplace(total, terminal_, clock_); }

  // Flushes `output`, borrowed, whenever the input keeps the conversion waiting; null for none.
  void flush_when_idle(core::ByteSink* output) noexcept { output_ = output; }

 private:
  core::Monitor* inner_;
  int err_fd_;
  bool format_is_chosen_;
  ErrorStream terminal_;
  core::ByteSink* output_ = nullptr;
  SteadyClock clock_;
  std::optional<ProgressLine> line_;  // after what it borrows, so that it goes first
};

// Fails, naming standard input, when it was closed.
Status usable_input(const core::StandardStreams& streams) {
  if (!streams.is_input_closed()) return {};
  return std::unexpected(core::invalid("standard input is closed"));
}

// Fails, naming standard output, when it was closed.
Status usable_output(const core::StandardStreams& streams) {
  if (!streams.is_output_closed()) return {};
  return std::unexpected(core::invalid("standard output is closed"));
}

// The bytes `input_fd` has left when they are worth a progress line: more than
// progress_threshold of a regular file, counted from where it stands (a script may have read
// into standard input), with the error stream on a terminal. Not when the output goes to a
// terminal too, as its statements would run through the line, nor for a pipe, whose size is
// unknown.
std::optional<std::uint64_t> progress_total(const Cli& cli, int input_fd, int output_fd,
                                            int err_fd) {
  if (cli.quiet || ::isatty(err_fd) != 1 || ::isatty(output_fd) == 1) return std::nullopt;
  struct stat info;
  if (::fstat(input_fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const off_t position = ::lseek(input_fd, 0, SEEK_CUR);
  if (position < 0 || position >= info.st_size) return std::nullopt;
  const auto left = static_cast<std::uint64_t>(info.st_size - position);
  if (left <= progress_threshold) return std::nullopt;
  return left;
}

// The --input file, else `in_fd`, borrowed. Fails with the system error, or when standard
// input is closed.
Result<Fd> open_input(const Cli& cli, int in_fd, const core::StandardStreams& streams) {
  if (cli.input) return core::open_for_reading(cli.input->native());
  if (auto usable = usable_input(streams); !usable)
    return std::unexpected(std::move(usable.error()));
  return Fd::borrowed(in_fd);
}

// Every check that can refuse the run comes before the output is opened, because opening it
// truncates a user's file.
Status convert_streams(const Cli& cli, int in_fd, int out_fd, int err_fd,
                       const core::StandardStreams& streams, core::Monitor* caller) {
  Reporter reporter(caller, err_fd, cli.format_is_chosen);
  core::Monitor* const monitor = &reporter;
  Result<Fd> input = open_input(cli, in_fd, streams);
  if (!input) return std::unexpected(std::move(input.error()));
  if (cli.output) {
    if (auto distinct = check_distinct(input->get(), cli.output->native()); !distinct) {
      return distinct;
    }
  }
  auto options = convert::check_options(cli.options);
  if (!options) return std::unexpected(std::move(options.error()));

  if (!cli.output) {
    if (auto usable = usable_output(streams); !usable) return usable;
  }
  Result<Fd> output = Fd::borrowed(out_fd);
  if (cli.output) output = core::open_for_writing(cli.output->native());
  if (!output) return std::unexpected(std::move(output.error()));
  if (auto total = progress_total(cli, input->get(), output->get(), err_fd)) {
    reporter.show_progress(*total);
  }

  core::FdSource reader(std::move(*input), monitor);
  // Declared after the reader so that it is released first; on a failure it writes out what it
  // still buffers before the caller prints the message.
  core::FdSink writer(std::move(*output), monitor);
  reporter.flush_when_idle(&writer);
  Status converted = convert::convert(reader, writer, *options, monitor);
  reporter.flush_when_idle(nullptr);
  return converted;
}

// Loads the input into the database of --to. The database is connected to before the input is
// read; nothing is written but the progress line.
Status load_input(const Cli& cli, int in_fd, int err_fd, const core::StandardStreams& streams,
                  core::Monitor* caller) {
  Reporter reporter(caller, err_fd, cli.format_is_chosen);
  Result<Fd> input = open_input(cli, in_fd, streams);
  if (!input) return std::unexpected(std::move(input.error()));
  auto target = load::parse_url(*cli.to);
  if (!target) return std::unexpected(std::move(target.error()));
  if (auto total = progress_total(cli, input->get(), -1, err_fd)) reporter.show_progress(*total);
  core::FdSource reader(std::move(*input), &reporter);
  auto loaded = load::load(reader, cli.options, *target, &reporter);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return {};
}

// The files of a run with several inputs, and the options for them: the format by their names
// when none was chosen.
Result<std::vector<std::string>> many_files(const Cli& cli, convert::ConversionOptions& options) {
  std::vector<std::string> inputs{cli.input->native()};
  for (const auto& more : cli.more_inputs) inputs.push_back(more.native());
  auto files = convert::input_files(inputs);
  if (!files) return files;
  if (!cli.format_is_chosen && !options.json_path) {
    auto format = convert::format_of_names(*files);
    if (!format) return std::unexpected(std::move(format.error()));
    options.format = *format;
  }
  return files;
}

// Converts or loads several input files as one input. As with one, every check that can refuse
// the run comes before the output is opened, which refuses to be one of the inputs.
Status run_many(const Cli& cli, int out_fd, int err_fd, const core::StandardStreams& streams,
                core::Monitor* caller) {
  Reporter reporter(caller, err_fd, cli.format_is_chosen);
  convert::ConversionOptions options = cli.options;
  auto files = many_files(cli, options);
  if (!files) return std::unexpected(std::move(files.error()));
  if (cli.to) {
    auto target = load::parse_url(*cli.to);
    if (!target) return std::unexpected(std::move(target.error()));
    auto loaded = load::load_files(*files, std::move(options), *target, &reporter);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    return {};
  }
  if (cli.output) {
    for (const std::string& file : *files) {
      auto input = core::open_for_reading(file);
      if (!input) return std::unexpected(convert::in_input(std::move(input.error()), file));
      if (auto distinct = check_distinct(input->get(), cli.output->native()); !distinct) {
        return distinct;
      }
    }
  }
  auto checked = convert::check_options(std::move(options));
  if (!checked) return std::unexpected(std::move(checked.error()));
  if (!cli.output) {
    if (auto usable = usable_output(streams); !usable) return usable;
  }
  Result<Fd> output = Fd::borrowed(out_fd);
  if (cli.output) output = core::open_for_writing(cli.output->native());
  if (!output) return std::unexpected(std::move(output.error()));
  core::FdSink writer(std::move(*output), &reporter);
  reporter.flush_when_idle(&writer);
  Status converted = convert::convert_files(*files, writer, *checked, &reporter);
  reporter.flush_when_idle(nullptr);
  return converted;
}

// Reports a failure after parsing and returns the status. A stop the user asked for and a reader
// that closed the pipe are no surprise to report.
int fail(const core::Error& error, int err_fd) {
  if (error.kind == core::ErrorKind::Interrupted) return interrupted_status;
  if (error.is_broken_pipe()) return broken_pipe_status;
  if (error.input.empty()) {
    report(err_fd, command_message(error));
  } else {
    write_quietly(err_fd, {"morvel: ", error.input, ": ", command_message(error), "\n"});
  }
  if (error.hint) write_quietly(err_fd, {"morvel: hint: ", command_sentence(*error.hint), "\n"});
  return failure_status;
}

// Writes the text of help, version or a usage error where it belongs and returns the status.
int finish_early(const EarlyExit& exit, int out_fd, int err_fd,
                 const core::StandardStreams& streams) {
  if (exit.stream == Stream::Stderr) {
    write_quietly(err_fd, {exit.text});
    return exit.status;
  }
  if (auto usable = usable_output(streams); !usable) return fail(usable.error(), err_fd);
  core::FdSink out(Fd::borrowed(out_fd));
  Status written = out.write(exit.text);
  if (written) written = out.flush();
  if (!written) return fail(written.error(), err_fd);
  return exit.status;
}

}  // namespace

// Only a regular file loses its content when opened for writing; the same device on both sides
// (/dev/null, a terminal) is harmless.
Status check_distinct(int input_fd, const std::string& output) {
  struct stat input_info;
  struct stat output_info;
  if (::fstat(input_fd, &input_info) != 0 || !S_ISREG(input_info.st_mode)) return {};
  if (::stat(output.c_str(), &output_info) != 0) return {};
  if (input_info.st_dev != output_info.st_dev || input_info.st_ino != output_info.st_ino) {
    return {};
  }
  return std::unexpected(core::invalid("input and output are the same file '" + output + "'"));
}

std::optional<int> run_cli(const std::vector<std::string>& args, int in_fd, int out_fd, int err_fd,
                           core::Monitor* monitor) noexcept {
  // The caller may be an interpreter, which turns the status into SystemExit, so nothing may
  // unwind past this point.
  try {
    const core::StandardStreams streams(in_fd, out_fd, err_fd);
    auto cli = parse_args(args);
    if (!cli) return finish_early(cli.error(), out_fd, err_fd, streams);
    std::vector<std::string> inputs;
    if (cli->input) inputs.push_back(cli->input->native());
    Status done = convert::are_many(inputs) || !cli->more_inputs.empty()
                      ? run_many(*cli, out_fd, err_fd, streams, monitor)
                  : cli->to ? load_input(*cli, in_fd, err_fd, streams, monitor)
                            : convert_streams(*cli, in_fd, out_fd, err_fd, streams, monitor);
    if (!done) {
      return fail(done.error(), err_fd);
    }
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    report(err_fd, "out of memory");
  } catch (const std::exception& error) {
    report(err_fd, error.what());
  } catch (...) {
    report(err_fd, "unexpected internal error");
  }
  return failure_status;
}

}  // namespace morvel::cli
