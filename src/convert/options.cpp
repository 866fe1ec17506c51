#include "convert/options.hpp"

#include <utility>

namespace morvel::convert {

core::Result<CheckedOptions> check_options(ConversionOptions options) {
  std::optional<std::string_view> key_columns;
  if (options.primary_key) key_columns = *options.primary_key;
  auto key = sql::PrimaryKey::from_options(key_columns, options.auto_id);
  if (!key) return std::unexpected(std::move(key.error()));
  // The command line refuses this combination as a usage error before it gets here.
  if (!options.create_table && (options.primary_key || options.auto_id)) {
    return std::unexpected(core::invalid("primary_key / auto_id require create_table=True"));
  }
  if (auto refused = sql::nul_identifier_error("table", options.table_name)) {
    return std::unexpected(std::move(*refused));
  }
  return CheckedOptions(std::move(options), std::move(*key));
}

}  // namespace morvel::convert
