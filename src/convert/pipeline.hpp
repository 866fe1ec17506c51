#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/options.hpp"
#include "convert/schema.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "readers/pieces.hpp"

namespace morvel::convert {

// Reads `source` to its end with the reader of the options' format and writes to `sink` the
// CREATE TABLE statement for the first record (when asked for) followed by "\n\n", then one
// INSERT statement and "\n" per record, as each record arrives; flushes `sink` at the end. Stops
// at the first failure (reading, statement building, writing, flushing) and returns it
// unchanged; what was written before it stays written and unflushed. `sink` is borrowed and
// must lend its buffer (ByteSink::buffer), as every sink of a conversion does.
// `monitor`, if given, hears of the progress every few megabytes of input and may stop the
// conversion with an error of its own.
// The input is read in pieces on the options' threads, within `limits`; the output is the same
// however it is cut.
[[nodiscard]] core::Status convert(core::ByteSource& source, core::ByteSink& sink,
                                   const CheckedOptions& options, core::Monitor* monitor = nullptr,
                                   const readers::ReadLimits& limits = {});

// convert() over the files at `paths`, in order, as one input of many files: one script, one
// table, the statements of each file after those of the file before. With the schema from all
// records, the types come from every record of every file; otherwise from the first record of the
// first file. A CSV file's header must equal the first file's. A file named .tsv or .tab is
// tab-separated unless the options name a delimiter. Files are opened one at a time; a failure
// names in Error::input the file it lies in.
[[nodiscard]] core::Status convert_files(const std::vector<std::string>& paths,
                                         core::ByteSink& sink, const CheckedOptions& options,
                                         core::Monitor* monitor = nullptr,
                                         const readers::ReadLimits& limits = {});

// How one of many input files is read: the options' reading, tab-separated for a .tsv or .tab
// name (as for a single input), and its CSV header checked against `header`, the first file's.
// Never fails but for memory.
[[nodiscard]] readers::ReadOptions file_read_options(const ConversionOptions& options,
                                                     const std::string& path,
                                                     std::vector<std::string>& header);

// Fills `schema`, empty, with the columns and types of every record of every file at `paths`,
// in order, and finishes it. A file that fails is left for the reading that follows, which meets
// that failure at the same record. Fails when `monitor` stops the collection, naming the file.
[[nodiscard]] core::Status read_files_schema(const std::vector<std::string>& paths,
                                             const CheckedOptions& options, core::Monitor* monitor,
                                             const readers::ReadPlan& plan, Schema& schema);

// `error` as a failure within the input file `path`. Never fails but for memory.
[[nodiscard]] core::Error in_input(core::Error error, const std::string& path);

// The whole SQL script for `source` in memory. The UTF-8 of the script is not checked: a caller
// that copies it once more checks it while doing so (the Python module decodes it into a str) and
// takes its message from utf8_error(). On any failure nothing of the output is returned.
[[nodiscard]] core::Result<core::ByteBuffer> convert_to_buffer(core::ByteSource& source,
                                                               const CheckedOptions& options,
                                                               core::Monitor* monitor = nullptr);

// How a conversion with `options` spreads its reading over threads: as many as asked for, or one
// per processor the process may run on, within `limits`. Never fails.
[[nodiscard]] readers::ReadPlan read_plan(const ConversionOptions& options,
                                          const readers::ReadLimits& limits = {});

// Fills `schema`, empty, with the columns and types of every record of `input`, read from where
// it stands, then rewinds `input` for the reading that follows. A failure of the input is left for
// that reading to meet, at the same record, after the records before it. Fails when `monitor`
// stops the reading or the input cannot be read a second time.
[[nodiscard]] core::Status read_schema(core::ReplayableSource& input, const CheckedOptions& options,
                                       core::Monitor* monitor, const readers::ReadPlan& plan,
                                       Schema& schema);

// The error a strict UTF-8 decoder reports for output that is not UTF-8 ("invalid utf-8
// sequence of N bytes from index I", "incomplete utf-8 byte sequence from index I"), or nothing
// when `sql` is UTF-8; `offset` bytes of the output come before `sql`. Never fails.
[[nodiscard]] std::optional<core::Error> utf8_error(std::string_view sql, std::size_t offset = 0);

}  // namespace morvel::convert
