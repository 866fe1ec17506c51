#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/data_type.hpp"
#include "core/encoding.hpp"
#include "core/error.hpp"
#include "readers/options.hpp"
#include "readers/pieces.hpp"
#include "sql/dialect.hpp"
#include "sql/statements.hpp"

namespace morvel::convert {

// The input format; it chooses the reader of a conversion.
using Format = readers::Format;

// Where the CREATE TABLE statement takes its columns and types from: the first record, or every
// record (the input is then read twice, or held).
enum class SchemaFrom : std::uint8_t { First, All };

// A column whose type the user gives: its values are written as that type, and must be values of
// it, and the table declares it.
struct DeclaredType {
  std::string column;
  core::DataType type;

  friend bool operator==(const DeclaredType&, const DeclaredType&) = default;
};

// The table name a conversion uses when the caller gives none.
inline constexpr std::string_view default_table_name = "morvel_table";

// The encoding an input is read in when the caller names none.
inline constexpr std::string_view default_encoding_name = "utf-8";

// Every choice a conversion takes, as the user gave it through either face: the command line's
// options or a Python function's parameters. The defaults are those of a command line without
// options. check_options checks a record once and works out what it implies.
struct ConversionOptions {
  Format format = Format::Csv;
  std::string table_name{default_table_name};
  sql::Dialect dialect = sql::Dialect::Postgres;
  bool create_table = false;
  std::optional<std::string> primary_key = std::nullopt;  // the column list as typed
  bool auto_id = false;
  SchemaFrom schema_from = SchemaFrom::First;
  std::vector<DeclaredType> types = {};  // in the order given; a column once at most
  // The schema the table is in (a MySQL database, an attached SQLite database); absent: none
  // named, so the engine's default.
  std::optional<std::string> schema = std::nullopt;
  std::vector<std::string> null_values = {};  // words that stand for NULL
  // CSV only; each left out reads as morvel always has.
  std::optional<readers::Delimiter> delimiter = std::nullopt;  // absent: a comma
  bool tsv = false;                                            // a tab, whatever `delimiter` says
  std::optional<char> comment = std::nullopt;
  std::uint64_t skip_lines = 0;
  bool no_header = false;
  bool allow_short_rows = false;
  std::optional<char> quote = std::nullopt;  // absent: a double quote
  // JSON only: the keys, joined by dots, leading to the array of records in a top-level object.
  std::optional<std::string> json_path = std::nullopt;
  bool fix_names = false;  // empty, repeated or clashing header names renamed, not refused
  bool row_names = false;  // the first field of each record is the column row_names
  std::optional<core::Encoding> encoding = std::nullopt;  // absent: UTF-8
  // How the rows are loaded; each left out writes one INSERT per record, as always.
  std::uint64_t batch_size = 1;  // records per INSERT
  bool transaction = false;      // the script is all or nothing
  bool copy = false;             // PostgreSQL COPY blocks instead of INSERTs
  sql::OnConflict on_conflict = sql::OnConflict::Error;
  // Threads that convert pieces of the input; absent: one per processor. Only the speed changes.
  std::optional<unsigned> jobs = std::nullopt;

  friend bool operator==(const ConversionOptions&, const ConversionOptions&) = default;
};

// The option values a user gives as text, as both faces read them. Each fails with a message
// that names the text and says what would do.
[[nodiscard]] core::Result<SchemaFrom> parse_schema_from(std::string_view text);
[[nodiscard]] core::Result<char> parse_comment(std::string_view text);
[[nodiscard]] core::Result<char> parse_quote(std::string_view text);
[[nodiscard]] core::Result<std::string> parse_json_path(std::string_view text);
[[nodiscard]] core::Result<sql::OnConflict> parse_on_conflict(std::string_view text);
// The type one of the names column_type_names lists stands for ("json" is DataType::Json), or
// nothing for any other text. Never fails.
[[nodiscard]] std::optional<core::DataType> parse_column_type(std::string_view text) noexcept;
// The name parse_column_type reads as `type`. Never fails.
[[nodiscard]] std::string_view column_type_word(core::DataType type) noexcept;

// The names a column's type may be given by, as parse_column_type reads them, joined with ", ".
inline constexpr std::string_view column_type_names =
    "text, integer, float, boolean, date, timestamp, uuid, json";

// The most records one INSERT may hold.
inline constexpr std::uint32_t max_batch_size = 100'000;

// The most threads a conversion may be given.
inline constexpr unsigned max_jobs = 256;

// The rules between options that need no data to check, in this order: options that cannot go
// together (tsv with a delimiter, COPY with a batch size or conflict handling, a key with an auto
// id: OptionRule::Conflict), a key or auto id without table creation (OptionRule::Requires),
// then the CSV options with JSON input, row names without a header, a comment character that is the
// delimiter, the batch size's and the jobs' ranges, COPY for PostgreSQL alone, replacing rows in
// PostgreSQL only with the key columns. An option counts as used when its value is not the default,
// or when its key is in `given`: the command line names every option it was given, whatever the
// value, and reports a failure as a usage error.
[[nodiscard]] core::Status check_combinations(const ConversionOptions& options,
                                              std::span<const std::string_view> given = {});

// Makes a CSV input whose file name ends in .tsv or .tab, in any letter case, tab-separated,
// unless `options` name a delimiter or tsv already. Never fails.
void apply_input_name(ConversionOptions& options, std::string_view path);

// How the readers are to read the input of `options`. Never fails.
[[nodiscard]] readers::ReadOptions read_options(const ConversionOptions& options);

class CheckedOptions;

// Checks `options` and resolves the key choice, in this order: the key choice itself ("use
// either a primary key column or auto id, not both", "primary key column list is empty"),
// check_combinations, a table name holding NUL. Fails with the first problem found.
[[nodiscard]] core::Result<CheckedOptions> check_options(ConversionOptions options);

// Options that check_options has accepted, with what they imply: what a conversion runs with.
// Only check_options makes one, so a conversion never runs on unchecked options.
class CheckedOptions {
 public:
  [[nodiscard]] const ConversionOptions& operator*() const noexcept { return options_; }
  [[nodiscard]] const ConversionOptions* operator->() const noexcept { return &options_; }
  // The key of the CREATE TABLE statement. Never fails.
  [[nodiscard]] const sql::PrimaryKey& primary_key() const noexcept { return primary_key_; }

 private:
  friend core::Result<CheckedOptions> check_options(ConversionOptions options);
  CheckedOptions(ConversionOptions options, sql::PrimaryKey primary_key)
      : options_(std::move(options)), primary_key_(std::move(primary_key)) {}

  ConversionOptions options_;
  sql::PrimaryKey primary_key_;
};

}  // namespace morvel::convert
