#pragma once

#include <cstdint>
#include <optional>

#include "core/error.hpp"
#include "core/io.hpp"
#include "readers/options.hpp"
#include "readers/piece_reader.hpp"

namespace morvel::readers {

// Reads `source` on one thread, without a monitor, up to its row `row` (from 0) and returns where
// the record of that row lies; nothing when the input has fewer rows. Serves the message about a
// row that was refused after it was read. Fails as read_input does before that row.
[[nodiscard]] core::Result<std::optional<RecordPlace>> locate_row(core::ByteSource& source,
                                                                  Format format,
                                                                  const ReadOptions& options,
                                                                  std::uint64_t row);

}  // namespace morvel::readers
