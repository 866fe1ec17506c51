#pragma once

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"

namespace morvel::readers {

// Reads all of `reader` as CSV whose first record is the header (comma delimiter, double-quote
// quoting, LF/CR/CR LF terminators, blank lines skipped, a leading UTF-8 byte-order mark ignored)
// and hands `sink` one Row per data record, each value typed by DataType::infer. Fails on a read
// error, an odd number of double quotes, a repeated header name, a record whose field count
// differs from the header's, or a field that is not UTF-8; stops at the first error the sink
// returns, unchanged. Rows before a failing record have been handed over. `monitor`, if given,
// hears of the progress every few megabytes and may stop the reading with an error of its own.
[[nodiscard]] core::Status stream_csv(core::ByteSource& reader, core::RowSink sink,
                                      core::Monitor* monitor = nullptr);

}  // namespace morvel::readers
