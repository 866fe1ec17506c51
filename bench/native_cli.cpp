// The command line without the Python launcher, for profilers (perf, callgrind) that should see
// the core alone:  morvel_native -i INPUT.csv > OUT.sql
#include <optional>
#include <string>
#include <vector>

#include "cli/run_cli.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  const std::optional<int> status = morvel::cli::run_cli(args, 0, 1, 2);
  return status ? *status : 0;
}
