#pragma once

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "readers/options.hpp"

namespace morvel::readers {

// Reads all of `reader` as CSV whose first record is the header (comma delimiter, double-quote
// quoting, LF/CR/CR LF terminators, blank lines skipped, a leading UTF-8 byte-order mark ignored)
// and hands `sink` one Row per data record, each value typed by DataType::infer. `options` may
// change the delimiter, skip lines and comment lines, read a first record as data, pad short
// records with NULL, make words NULL and decode another encoding first; the defaults read as
// described. Fails on a read error, a byte the encoding does not allow, an odd number of double
// quotes, a repeated header name, a record whose field count differs from the header's, or a
// field that is not UTF-8; stops at the first error the sink returns, unchanged. Rows before a
// failing record have been handed over. `monitor`, if given, hears of the progress every few
// megabytes, may stop the reading with an error of its own, and hears the warnings: a header of
// one column that looks separated by another byte, and how many records were padded.
[[nodiscard]] core::Status stream_csv(core::ByteSource& reader, core::RowSink sink,
                                      const ReadOptions& options = {},
                                      core::Monitor* monitor = nullptr);

}  // namespace morvel::readers
