#pragma once

#include <cstdint>
#include <string_view>

namespace morvel {

// The input format; it chooses the reader of a conversion.
enum class Format : std::uint8_t { Csv, Json };

// The table name and dialect a conversion uses when the caller gives none.
inline constexpr std::string_view default_table_name = "morvel_table";
inline constexpr std::string_view default_dialect = "postgres";

}  // namespace morvel
