#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/options.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/row.hpp"
#include "sql/dialect.hpp"
#include "sql/statements.hpp"

// Ends the run with the failed condition and a note; libFuzzer keeps the input as a crash.
#define MORVEL_FUZZ_CHECK(condition, note)                                                       \
  do {                                                                                           \
    if (!(condition)) {                                                                          \
      std::fprintf(stderr, "%s:%d: property failed: %s\n  %s\n", __FILE__, __LINE__, #condition, \
                   std::string(note).c_str());                                                   \
      std::abort();                                                                              \
    }                                                                                            \
  } while (false)

namespace morvel::fuzz {

using namespace core;
using namespace sql;

// Every dialect, for the checks that must hold in each.
inline constexpr Dialect all_dialects[] = {Dialect::Postgres, Dialect::Sqlite, Dialect::Mysql};

// Reads the fuzz input front to back: option bytes first, the data as the rest.
class InputTaker {
 public:
  explicit InputTaker(std::string_view bytes) noexcept : rest_(bytes) {}
  // The next byte, or 0 once the input is used up. Never fails.
  std::uint8_t byte() noexcept;
  // A text of at most `max` bytes whose length is given by the next byte. Never fails.
  std::string_view text(std::size_t max) noexcept;
  [[nodiscard]] std::string_view rest() const noexcept { return rest_; }

 private:
  std::string_view rest_;
};

// A source that hands out its bytes at most `chunk` per read and never shows them whole, so the
// readers take their streaming paths.
class ChunkedSource final : public ByteSource {
 public:
  ChunkedSource(std::string_view bytes, std::size_t chunk) noexcept
      : bytes_(bytes), chunk_(chunk == 0 ? 1 : chunk) {}
  [[nodiscard]] Result<std::size_t> read(std::span<char> buffer) override;

 private:
  std::string_view bytes_;
  std::size_t chunk_;
};

// What a reader handed over and how it ended, for comparing two readings of the same input.
struct Collected {
  struct Entry {
    std::string name;
    std::string text;
    DataType type;
    friend bool operator==(const Entry&, const Entry&) = default;
  };
  std::vector<std::vector<Entry>> rows;
  std::optional<Error> error;
};

using Reader = Status (*)(ByteSource&, RowSink, const readers::ReadOptions&, Monitor*);

// Runs `reader` over `source`, checking that each value's type is DataType::infer of its text
// and, when `check_statements`, the statements of the first rows (check_row_statements). The
// sink leaves the row to the reader, as the conversion's does, so the reader refills one row.
Collected collect(Reader reader, ByteSource& source, bool check_statements);

// Reads `input` whole from memory (checking the statements of the first rows), then again in
// small reads so that the reader gathers the input itself, checks that both readings agree and
// returns the first.
Collected collect_both_ways(Reader reader, std::string_view input);

// Checks that two readings agree: the same rows, and the same error kind and message.
void check_same(const Collected& a, const Collected& b, std::string_view what);

// Checks that two errors have the same kind and message.
void check_same_error(const Error& got, const Error& expected, std::string_view what);

// Checks the error of a failed call: a non-empty message, UTF-8 when `inputs_are_utf8` (a
// message may quote an option the caller gave, and the command line passes bytes as they are).
void check_error(const Error& error, bool inputs_are_utf8 = true);

// Checks that `text` is UTF-8.
void check_utf8(std::string_view text, std::string_view what);

// Builds the INSERT statement of `row` in every dialect and the CREATE TABLE statement with
// each kind of key, and checks each: it ends with ";", is UTF-8, and an INSERT reads back
// (check_insert) as this table, these columns and these values.
void check_row_statements(const Row& row);

// Reads `statement` back as an INSERT of `dialect`: the table and column identifiers must decode
// to `table` and the row's names, and each value must be the literal its type calls for, holding
// the row's trimmed text. A value that could escape its literal or identifier fails here.
void check_insert(std::string_view statement, Dialect dialect, std::string_view table,
                  const Row& row);

// Reads `statement` back as the CREATE TABLE of `dialect` for `row` with `key`: the column
// identifiers must decode to the row's names (after an added id for an auto id), each with a
// known type name, and the key clause must name the key columns.
void check_create_table(std::string_view statement, Dialect dialect, std::string_view table,
                        const Row& row, const PrimaryKey& key);

// The script a Python caller gets for `source`: options checked, converted in memory, checked for
// UTF-8. Fails with the first error of the three. The input is read in pieces of `piece_bytes`.
[[nodiscard]] Result<std::string> convert_text(
    ByteSource& source, convert::ConversionOptions options,
    std::size_t piece_bytes = readers::ReadLimits{}.piece_bytes);

// convert_text over the file at `path`, read as the Python file functions read it.
[[nodiscard]] Result<std::string> convert_file_text(const std::string& path,
                                                    convert::ConversionOptions options);

}  // namespace morvel::fuzz
