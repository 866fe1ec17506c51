#include "convert/inputs.hpp"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "core/text.hpp"

namespace morvel::convert {

namespace {

bool is_folder(const std::string& path) noexcept {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_regular(const std::string& path) noexcept {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Adds to `files` the regular files directly inside `folder`, sorted by name.
core::Status add_folder(const std::string& folder, std::vector<std::string>& files) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) {
    core::Error error = core::os_error(core::ErrorKind::Open, errno);
    error.input = folder;
    return std::unexpected(std::move(error));
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  ::closedir(listing);
  std::ranges::sort(names);
  const std::string prefix = folder.ends_with('/') ? folder : folder + '/';
  for (const std::string& name : names) {
    std::string path = prefix + name;
    if (is_regular(path)) files.push_back(std::move(path));
  }
  return {};
}

}  // namespace

bool are_many(const std::vector<std::string>& inputs) noexcept {
  return inputs.size() > 1 || (inputs.size() == 1 && is_folder(inputs.front()));
}

core::Result<std::vector<std::string>> input_files(const std::vector<std::string>& inputs) {
  std::vector<std::string> files;
  for (const std::string& input : inputs) {
    if (input == "-") {
      return std::unexpected(core::invalid("standard input ('-') cannot be one of several inputs"));
    }
    if (is_folder(input)) {
      if (auto added = add_folder(input, files); !added) {
        return std::unexpected(std::move(added.error()));
      }
    } else {
      files.push_back(input);
    }
  }
  if (files.empty()) return std::unexpected(core::invalid("no input files"));
  return files;
}

bool has_json_name(std::string_view path) noexcept {
  for (std::string_view extension : {".json", ".jsonl", ".ndjson"}) {
    if (path.size() > extension.size() &&
        core::equals_ascii_folded(path.substr(path.size() - extension.size()), extension)) {
      return true;
    }
  }
  return false;
}

FilesRead::Place FilesRead::place(std::uint64_t record) const noexcept {
  // An empty file begins where the next one does: the record is in the last file begun before it.
  const auto after = std::ranges::partition_point(
      starts_, [&](const Start& start) { return start.records_before < record; });
  if (after == starts_.begin()) return {record, nullptr};
  const Start& start = *std::prev(after);
  return {record - start.records_before, &start.path};
}

void FilesRead::warn(core::Notice notice) {
  if (inner_ == nullptr) return;
  if (notice.input.empty() && !starts_.empty()) notice.input = starts_.back().path;
  inner_->warn(std::move(notice));
}

core::Result<Format> format_of_names(const std::vector<std::string>& files) {
  const auto json = std::ranges::find_if(files, has_json_name);
  if (json == files.end()) return Format::Csv;
  const auto other = std::ranges::find_if_not(files, has_json_name);
  if (other == files.end()) return Format::Json;
  core::Error error = core::invalid("the inputs mix formats: '" + *other +
                                    "' is read as CSV and '" + *json + "' as JSON");
  error.hint = core::advice("read them all as one format with ", {"format"}, "");
  return std::unexpected(std::move(error));
}

}  // namespace morvel::convert
