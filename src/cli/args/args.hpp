#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "lib/format.hpp"
#include "sql/dialect.hpp"

namespace morvel::cli::args {

using morvel::Dialect;
using morvel::Format;

// One run of the command line, one field per option in the order the help lists them. The
// member values are those of a command line without options.
struct Cli {
  std::optional<std::filesystem::path> input;   // absent: standard input
  std::optional<std::filesystem::path> output;  // absent: standard output
  std::string table{default_table_name};
  Format format = Format::Csv;
  Dialect dialect = Dialect::Postgres;
  bool create_table = false;
  std::optional<std::string> primary_key;  // the column list as typed, split later
  bool auto_id = false;

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

}  // namespace morvel::cli::args
