#pragma once

#include "lib/error.hpp"
#include "lib/io.hpp"
#include "lib/row.hpp"

namespace morvel::parsers::json_parser {

// Reads `reader` as JSON and hands `sink` one Row per top-level object: the elements of one array
// when the first byte is '[', otherwise one document per line. Keys in ascending byte order,
// values as text typed by DataType::infer. Fails with the parser's message and position; stops
// at the first error the sink returns, unchanged.
[[nodiscard]] Status stream_json(ByteSource& reader, RowSink sink);

}  // namespace morvel::parsers::json_parser
