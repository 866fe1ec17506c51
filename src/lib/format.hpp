#pragma once

#include <cstdint>

namespace morvel {

// The input format; it chooses the reader of a conversion.
enum class Format : std::uint8_t { Csv, Json };

}  // namespace morvel
