#pragma once

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "readers/options.hpp"
#include "readers/pieces.hpp"

// The readers' entry: each format's reading of an input, on pieces.hpp's machinery. The only
// place that knows which formats there are.

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

// Reads `reader` as JSON and hands `sink` one Row per top-level object: the elements of one array
// when the first byte is '[', otherwise one document per line. Keys in ascending byte order, the
// last of repeated keys winning, values as text typed by DataType::infer. An empty input has no
// rows and succeeds.
// Fails with the parser's message and position (the array layout then hands over nothing; in the
// line layout the line is its number in the whole input), with "stream did not contain valid
// UTF-8 at line N" for such a line, or with the source's read error; stops at the first error the
// sink returns, unchanged, and reads no further. Of `options`, the null words, the encoding and
// the JSON path apply: an input in another encoding is decoded as it is read (an array held
// whole), and a byte the encoding does not allow fails on its line; with a path, the input is one document, held
// and checked whole like an array, whose rows are the elements of the array at the path. `monitor`,
// if given, hears of the progress every few megabytes and may stop the reading with an error of its
// own.
[[nodiscard]] core::Status stream_json(core::ByteSource& reader, core::RowSink sink,
                                       const ReadOptions& options = {},
                                       core::Monitor* monitor = nullptr);

// Reads all of `source` in `format` and hands its rows to `work`: the input is read in blocks,
// never held whole (but a JSON document read at a JSON path, a JSON array in another encoding, an
// input already in memory, and a CSV file of at most ReadLimits::held_bytes), cut into pieces at
// record boundaries, and each piece is read on a thread of `plan`. A CSV input is read twice, first to check its quotes; a source that cannot go
// back (a pipe) is kept in a temporary file for the second reading, up to the end of the first
// record with a byte that is not UTF-8; its quotes are checked on for 64 MiB, and an input that
// ends within them gets a whole check's outcome. A JSON array is read twice too, first to check
// it whole, in a window that grows only with its longest element. Outcomes are those of reading the pieces in
// order on one thread: the same rows, the same first error, the same warnings to `monitor`,
// which also hears of the progress and may stop the reading. Fails with the first
// error of the input, of `work` or of `monitor`, unchanged; the rows before it have been handed
// over.
[[nodiscard]] core::Status read_input(core::ByteSource& source, Format format,
                                      const ReadOptions& options, core::Monitor* monitor,
                                      PieceWork& work, const ReadPlan& plan = {});

// read_input on one thread, with every row going to `sink`.
[[nodiscard]] core::Status read_input(core::ByteSource& source, Format format,
                                      const ReadOptions& options, core::Monitor* monitor,
                                      core::RowSink sink, const ReadLimits& limits = {});

}  // namespace morvel::readers
