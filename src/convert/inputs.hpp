#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "convert/options.hpp"
#include "core/error.hpp"
#include "core/monitor.hpp"

// The files of a run that reads several inputs into one table.

namespace morvel::convert {

// The files `inputs` name, in order: a file as it is, a folder as the regular files directly
// inside it (a link to one counts), sorted by name in byte order. Inside a folder, names that
// begin with '.' (hidden files, as a shell's * leaves them out), folders and anything else that
// is not a regular file are skipped. Fails with "standard input ('-') cannot be one of several
// inputs" for "-", with ErrorKind::Open naming the folder (Error::input) when one cannot be
// listed, and with "no input files" when none is left. Throws std::bad_alloc when memory runs out.
[[nodiscard]] core::Result<std::vector<std::string>> input_files(
    const std::vector<std::string>& inputs);

// Whether `path` ends in .json, .jsonl or .ndjson, in any letter case. Never fails.
[[nodiscard]] bool has_json_name(std::string_view path) noexcept;

// The format of `files` by their names, for a run that was not told one: JSON when every name is
// a JSON file's, CSV when none is. Fails, with a hint to name the format, when they mix. Never
// fails otherwise but for memory.
[[nodiscard]] core::Result<Format> format_of_names(const std::vector<std::string>& files);

// Whether `inputs` must be read as several files: more than one, or a folder. Never fails.
[[nodiscard]] bool are_many(const std::vector<std::string>& inputs) noexcept;

// The monitor of a run that reads several files, over the caller's (`inner`, borrowed, or null):
// it knows which file is being read and how many records came before each, so that a notice names
// its file and counts its record within it, as a failure does. Everything else goes to `inner`.
class FilesRead final : public core::Monitor {
 public:
  explicit FilesRead(core::Monitor* inner) noexcept : inner_(inner) {}

  // A record of the run as the record of its file (from 1), and that file's path, borrowed from
  // this monitor; null before any file began.
  struct Place {
    std::uint64_t record;
    const std::string* path;
  };

  // Notes that the file at `path` is read from now on, after `records_before` records of the run.
  // Throws std::bad_alloc when memory runs out.
  void begin(const std::string& path, std::uint64_t records_before) {
    starts_.push_back({path, records_before});
  }

  // Where record `record` of the run (from 1) lies. Never fails.
  [[nodiscard]] Place place(std::uint64_t record) const noexcept;

  // This monitor for a conversion to report to, or null when there is no caller to tell, so that
  // the conversion watches nothing it would not watch for one input. Never fails.
  [[nodiscard]] core::Monitor* or_null() noexcept { return inner_ != nullptr ? this : nullptr; }

  core::Status check() override { return inner_ != nullptr ? inner_->check() : core::Status{}; }
  void progress(std::uint64_t input_bytes, core::Stage stage) override {
    if (inner_ != nullptr) inner_->progress(input_bytes, stage);
  }
  core::Status idle() override { return inner_ != nullptr ? inner_->idle() : core::Status{}; }
  // A notice that names no file comes from the reading of the file being read.
  void warn(core::Notice notice) override;

 private:
  struct Start {
    std::string path;
    std::uint64_t records_before;
  };

  core::Monitor* inner_;
  std::vector<Start> starts_;
};

}  // namespace morvel::convert
