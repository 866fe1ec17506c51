#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/encoding.hpp"
#include "core/error.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "readers/options.hpp"
#include "readers/piece_reader.hpp"

// The JSON layouts in pieces, for read_input (read_input.hpp): lines read as they come, an array
// checked whole (held by check_json_array, as a stream by json_array.hpp) before its elements are
// read.

namespace morvel::readers {

// The reader of the line layout in pieces, for read_input, which reads it as stream_json does.
// `options` and `whereabouts` are borrowed; a text `is_decoded` from another encoding has its error
// columns placed in the input by `whereabouts`. Throws std::bad_alloc when memory runs out.
[[nodiscard]] std::unique_ptr<PieceReader> json_lines_reader(const ReadOptions& options,
                                                             Whereabouts& whereabouts,
                                                             bool is_decoded);

// Checks `input`, the whole text, as an array of the layout stream_json reads, or as a document
// holding one at the options' JSON path, before any of its rows is read, and puts the offsets of
// its elements in `starts`, one at least every `spacing` bytes. `read_failure` is the error that
// ended reading early, if any: the parser meets it where it first asks for a byte past `input`.
// `decoded`, for a text decoded from another encoding, places error columns in the input. Fails
// with the parser's message and position, or the read failure, or with a message naming a JSON path
// that leads to no array; `monitor` hears of the progress and may stop the check.
[[nodiscard]] core::Status check_json_array(std::string_view input,
                                            std::optional<core::Error> read_failure,
                                            core::Monitor* monitor, const ReadOptions& options,
                                            Whereabouts* decoded, std::vector<std::size_t>& starts,
                                            std::size_t spacing);

// The reader of an array that a check accepted (check_json_array, or check_streamed_array in
// json_array.hpp), `size` bytes of text, in pieces that begin at the elements in `starts`, for
// read_input. `starts`, `options` and `whereabouts`, which places records in the input, are
// borrowed. Throws std::bad_alloc when memory runs out.
[[nodiscard]] std::unique_ptr<PieceReader> json_array_reader(const std::vector<std::size_t>& starts,
                                                             std::uint64_t size,
                                                             const ReadOptions& options,
                                                             Whereabouts& whereabouts);

// The error for an input whose decoding stopped at a byte its encoding does not allow, naming the
// line that the decoding reached. Never fails.
[[nodiscard]] core::Error json_undecodable(const core::DecodingSource& decoded);

}  // namespace morvel::readers
