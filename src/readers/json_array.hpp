#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "readers/options.hpp"

// A JSON array read as a stream: checked whole in memory that does not grow with it, then read
// again in pieces by json_array_reader (json.hpp).

namespace morvel::readers {

// Reads `source` to its end and checks it as one JSON array, the layout stream_json reads, before
// any of its rows is read, holding a window of it that grows only with an element longer than a
// read: the outcome, message and position included, is check_json_array's for the whole text.
// The window takes `window_bytes` more at a time. Puts the offsets of the elements in `starts`,
// one at least every `spacing` bytes, and returns the bytes the source had. `source` must begin,
// after a byte-order mark and JSON white space, with '[', and must go back to its start (rewind())
// for the messages of a failure, which count the lines before it and look at the bytes up to 64
// MiB past it for the advice on its encoding. `monitor` hears of the progress and may stop the
// check.
[[nodiscard]] core::Result<std::uint64_t> check_streamed_array(
    core::ByteSource& source, core::Monitor* monitor, const ReadOptions& options,
    std::vector<std::size_t>& starts, std::size_t spacing, std::size_t window_bytes);

}  // namespace morvel::readers
