#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/monitor.hpp"

namespace morvel::cli {

// The statuses of a run that stopped without a message: a stop the monitor asked for, as a shell
// reports a command ended by SIGINT, and a closed output pipe, as by SIGPIPE.
inline constexpr int interrupted_status = 130;
inline constexpr int broken_pipe_status = 141;

// Refuses an output path that names the regular file `input_fd` reads, which opening it for
// writing would empty: "input and output are the same file '<output>'". A path that cannot be
// examined passes, for the open that follows to report.
[[nodiscard]] core::Status check_distinct(int input_fd, const std::string& output);

// Runs the morvel command line over `args` (program path first): parses it, converts the input
// (the --input file, else `in_fd`) to SQL on the output (the --output file, else `out_fd`) and
// reports on `err_fd`. Returns nothing after a successful conversion, otherwise the status the
// process must end with: 0 after help or version, 2 after a usage error, 1 after any later
// failure, whose "morvel: " line follows the statements written before it, and without a word
// interrupted_status when `monitor` stopped the run or broken_pipe_status when the output's
// reader went away. The descriptors are borrowed and left open. Never throws.
[[nodiscard]] std::optional<int> run_cli(const std::vector<std::string>& args, int in_fd,
                                         int out_fd, int err_fd,
                                         core::Monitor* monitor = nullptr) noexcept;

}  // namespace morvel::cli
