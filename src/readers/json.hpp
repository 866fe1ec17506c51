#pragma once

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "readers/options.hpp"

namespace morvel::readers {

// Reads `reader` as JSON and hands `sink` one Row per top-level object: the elements of one array
// when the first byte is '[', otherwise one document per line. Keys in ascending byte order, the
// last of repeated keys winning, values as text typed by DataType::infer. An empty input has no
// rows and succeeds.
// Fails with the parser's message and position (the array layout then hands over nothing; in the
// line layout the line is its number in the whole input), with "stream did not contain valid
// UTF-8 at line N" for such a line, or with the source's read error; stops at the first error the
// sink returns, unchanged, and reads no further. Of `options`, the null words and the encoding
// apply: an input in another encoding is decoded first (and held whole), and a byte the encoding
// does not allow fails on its line. `monitor`, if given, hears of the progress every few
// megabytes and may stop the reading with an error of its own.
[[nodiscard]] core::Status stream_json(core::ByteSource& reader, core::RowSink sink,
                                       const ReadOptions& options = {},
                                       core::Monitor* monitor = nullptr);

}  // namespace morvel::readers
