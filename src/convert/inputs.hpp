#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "convert/options.hpp"
#include "core/error.hpp"

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

}  // namespace morvel::convert
