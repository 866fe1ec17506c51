#pragma once

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/messages.hpp"
#include "convert/options.hpp"
#include "core/io.hpp"
#include "core/row.hpp"
#include "readers/options.hpp"
#include "readers/pieces.hpp"

namespace morvel::testing {

using namespace core;

using Pairs = std::vector<std::pair<std::string, std::string>>;

// One reader vector: an input and the rows and error it must produce.
struct ReaderCase {
  std::string id;
  std::string input;
  std::vector<Pairs> rows;
  std::optional<std::string> error;
};

// gtest shows a case by its id rather than as a byte dump.
inline void PrintTo(const ReaderCase& c, std::ostream* out) { *out << c.id; }

// The cases of tests/vectors/<file_name>.
std::vector<ReaderCase> load_reader_cases(std::string_view file_name);

// What a reader handed over before it stopped, how it stopped, and what it warned of.
struct ReaderOutcome {
  std::vector<Pairs> rows;
  std::vector<std::vector<DataType>> types;
  std::optional<Error> error;
  std::vector<std::string> warnings;
};

// stream_csv or stream_json.
using Reader = Status (*)(ByteSource&, RowSink, const readers::ReadOptions&, Monitor*);

// Runs `reader` over `source` with `options`, collecting every row it hands over and every
// warning.
ReaderOutcome collect_rows(Reader reader, ByteSource& source,
                           const readers::ReadOptions& options = {});

// A monitor that lets every conversion go on and keeps its warnings, in the command's words, each
// after "<file>: " when it names one of several input files.
class WarningsKept final : public Monitor {
 public:
  Status check() override { return {}; }
  void warn(Notice notice) override {
    const std::string prefix = notice.input.empty() ? "" : notice.input + ": ";
    warnings.push_back(prefix + cli::command_sentence(notice));
  }
  std::vector<std::string> warnings;
};

// Runs `reader` over `c.input` from memory and through a stream of each of `chunks` bytes per
// read, and checks every run against the case: how the input arrives must change nothing.
void expect_reader_case(Reader reader, const ReaderCase& c,
                        std::initializer_list<std::size_t> chunks);

// A row's (name, text) pairs in the row's order.
Pairs pairs_of(const Row& row);

// A row built from (name, text) pairs, each text typed by DataType::infer.
Row row_of(const Pairs& pairs);

// A source that delivers `bytes` at most `chunk` bytes per read, then fails with an Io error
// "<message>" if one is given, else reports the end. Counts its reads.
class ScriptedSource final : public ByteSource {
 public:
  ScriptedSource(std::string bytes, std::size_t chunk, std::optional<std::string> failure = {})
      : bytes_(std::move(bytes)), chunk_(chunk), failure_(std::move(failure)) {}
  Result<std::size_t> read(std::span<char> buffer) override;
  std::size_t reads() const noexcept { return reads_; }
  std::size_t consumed() const noexcept { return offset_; }

 private:
  std::string bytes_;
  std::size_t chunk_;
  std::optional<std::string> failure_;
  std::size_t offset_ = 0;
  std::size_t reads_ = 0;
};

// What a conversion shows: all it wrote, what it wrote before a failure included, its error
// message ("" for none) and its warnings, both in the command's words.
struct Converted {
  std::string sql;
  std::string error;
  std::vector<std::string> warnings;
  std::string hint = {};  // the failure's, as the command words it
  friend bool operator==(const Converted& a, const Converted& b) {
    return a.sql == b.sql && a.error == b.error && a.warnings == b.warnings && a.hint == b.hint;
  }
};
void PrintTo(const Converted& converted, std::ostream* out);

// Converts `source` with `options`, checked first, read within `limits`.
Converted convert_source(ByteSource& source, convert::ConversionOptions options,
                         const readers::ReadLimits& limits = {});

// convert_source over `input` in memory.
Converted convert_text(std::string_view input, convert::ConversionOptions options);

// gtest parameter names may only hold alphanumerics and underscores.
std::string test_name_of(std::string_view id);

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes. Throws std::system_error when it cannot be made, which fails the test that
// asked for it rather than letting it write to a path that is not its own.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& path() const noexcept { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

}  // namespace morvel::testing
