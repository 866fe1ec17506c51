#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/error.hpp"

// Finding the array of records inside a JSON document, as API dumps wrap it: {"data": [...]}.

namespace morvel::readers::json {

// The offset of the opening bracket of the array that `keys` lead to in `text`, a document that
// Parser::check() accepted: the value of the first key in the top-level object, the value of the
// second key in that one, and so on; of repeated keys the last counts, as in rows. Fails with a
// message naming the path and what stands where it leads instead, with its position.
[[nodiscard]] core::Result<std::size_t> find_path_array(std::string_view text,
                                                        std::span<const std::string> keys);

// The path `keys` as the user writes it: the keys joined by dots. Never fails but for memory.
[[nodiscard]] std::string path_text(std::span<const std::string> keys);

}  // namespace morvel::readers::json
