#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "sql/dialect.hpp"
#include "sql/statements.hpp"

namespace morvel::convert {

// The input format; it chooses the reader of a conversion.
enum class Format : std::uint8_t { Csv, Json };

// The table name a conversion uses when the caller gives none.
inline constexpr std::string_view default_table_name = "morvel_table";

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

  friend bool operator==(const ConversionOptions&, const ConversionOptions&) = default;
};

class CheckedOptions;

// Checks `options` and resolves the key choice, in this order: the key choice itself ("use
// either a primary key column or auto id, not both", "primary key column list is empty"), a key
// or auto id without table creation ("primary_key / auto_id require create_table=True"), a table
// name holding NUL. Fails with the first problem found.
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
