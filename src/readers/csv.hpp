#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/encoding.hpp"
#include "core/error.hpp"
#include "core/monitor.hpp"
#include "readers/csv_check.hpp"
#include "readers/options.hpp"
#include "readers/piece_reader.hpp"

// The CSV format in pieces, for read_input (read_input.hpp), which reads it as stream_csv does:
// first `QuoteCheck` over the whole input, then the records with `csv_reader`.

namespace morvel::readers {

// The reader of a CSV text in pieces, whose cuts `quotes`, the input's check, guesses. `options`,
// `whereabouts` and `quotes` are borrowed; `monitor`, if given, hears the warnings. A text
// `is_decoded` from another encoding is UTF-8 and not checked again. Throws std::bad_alloc when
// memory runs out.
[[nodiscard]] std::unique_ptr<PieceReader> csv_reader(const ReadOptions& options,
                                                      core::Monitor* monitor,
                                                      Whereabouts& whereabouts, bool is_decoded,
                                                      const csv::QuoteCheck& quotes);

// Tells `monitor`, if given, how many short records of a whole reading were completed with NULL,
// when there were any. Never fails.
void report_padding(core::Monitor* monitor, std::uint64_t padded);

// The error for `text`, decoded by `decoded` up to a byte its encoding does not allow: the record
// that holds the byte, its line and the byte's offset in the input. Never fails.
[[nodiscard]] core::Error csv_undecodable(std::string_view text, core::DecodingSource& decoded,
                                          const ReadOptions& options);

}  // namespace morvel::readers
