#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "convert/options.hpp"

namespace morvel::cli {

// One run of the command line: where to read and write, and the conversion's options. The
// member values are those of a command line without options.
struct Cli {
  std::optional<std::filesystem::path> input;   // absent: standard input
  std::optional<std::filesystem::path> output;  // absent: standard output
  convert::ConversionOptions options;
  bool quiet = false;  // no progress line on a terminal
  bool format_is_chosen = false;  // -f was given: no advice to read the input as another format
  std::optional<std::string> to = std::nullopt;  // a database URL to load into, not writing SQL
  std::vector<std::filesystem::path> more_inputs = {};  // the INPUT arguments after the first

  friend bool operator==(const Cli&, const Cli&) = default;
};

// Where the text of an early exit belongs.
enum class Stream : std::uint8_t { Stdout, Stderr };

// A parse that ends the run before anything is opened: help or version (standard output,
// status 0) or a usage error (standard error, status 2). `text` ends with a line break.
struct EarlyExit {
  std::string text;
  Stream stream = Stream::Stderr;
  int status = 2;

  friend bool operator==(const EarlyExit&, const EarlyExit&) = default;
};

// Parses a whole argument list whose first element is the program path (an empty list counts
// as a command line without options). Returns the Cli, or the early exit for help, version or
// the first usage error met. Throws nothing but std::bad_alloc.
[[nodiscard]] std::expected<Cli, EarlyExit> parse_args(const std::vector<std::string>& args);

}  // namespace morvel::cli
