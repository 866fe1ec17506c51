#pragma once

#include <memory>
#include <string_view>

#include "core/encoding.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "readers/options.hpp"
#include "readers/pieces.hpp"

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

// The reader of a CSV text in pieces, as stream_csv reads it, for read_input, which cuts pieces
// of `piece_bytes` bytes. `options` and `whereabouts` are borrowed; `monitor`, if given, hears
// the warnings. A text `is_decoded` from another encoding is UTF-8 and not checked again. Throws
// std::bad_alloc when memory runs out.
[[nodiscard]] std::unique_ptr<PieceReader> csv_reader(const ReadOptions& options,
                                                      core::Monitor* monitor,
                                                      Whereabouts& whereabouts, bool is_decoded,
                                                      std::size_t piece_bytes);

// The error for `text`, decoded by `decoded` up to a byte its encoding does not allow: the record
// that holds the byte, its line and the byte's offset in the input. Never fails.
[[nodiscard]] core::Error csv_undecodable(std::string_view text, const core::Decoded& decoded,
                                          const ReadOptions& options);

}  // namespace morvel::readers
