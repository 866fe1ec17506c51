#pragma once

#include <optional>
#include <string>
#include <vector>

namespace morvel::cli {

// Runs the morvel command line over `args` (program path first): parses it, converts the input
// (the --input file, else `in_fd`) to SQL on the output (the --output file, else `out_fd`) and
// reports on `err_fd`. Returns nothing after a successful conversion, otherwise the status the
// process must end with: 0 after help or version, 2 after a usage error, 1 after any later
// failure, whose "morvel: " line follows the statements written before it. The descriptors are
// borrowed and left open. Never throws.
[[nodiscard]] std::optional<int> run_cli(const std::vector<std::string>& args, int in_fd,
                                         int out_fd, int err_fd) noexcept;

}  // namespace morvel::cli
