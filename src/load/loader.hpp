#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "convert/options.hpp"
#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "load/url.hpp"
#include "readers/pieces.hpp"

namespace morvel::load {

// Puts the records of `source` straight into the database of `target`, all or nothing, and
// returns how many rows it loaded. The rows are those a conversion with `options` would write,
// in the dialect of the target, each value in its column's type through the engine's bulk path:
// the CREATE TABLE statement first when asked for, then every row, in one transaction.
//
// The options are checked as a conversion's are (check_options); COPY blocks and batches are a
// script's and are refused. The target is connected to before the input is read. When anything
// fails (a record, a value the engine refuses, the connection, `monitor` stopping the load),
// the transaction is rolled back and a table this load created is dropped again, and the failure
// is returned: an engine's refusal of a row names that row's record, line and byte when the
// engine says which row it was, found by reading the input again. A target that cannot be
// connected to fails with ErrorKind::Open. `source` is read on the options' threads within
// `limits`; a pipe is kept in a temporary file meanwhile.
[[nodiscard]] core::Result<std::uint64_t> load(core::ByteSource& source,
                                               convert::ConversionOptions options,
                                               const Target& target,
                                               core::Monitor* monitor = nullptr,
                                               const readers::ReadLimits& limits = {});

// load() over the file at `path`, opened first. Fails with ErrorKind::Open when it cannot be
// opened, then as load() does.
[[nodiscard]] core::Result<std::uint64_t> load_file(const std::string& path,
                                                    convert::ConversionOptions options,
                                                    const Target& target,
                                                    core::Monitor* monitor = nullptr);

// load() over the files at `paths`, in order, as one input of many files: one table, one
// transaction, all or nothing, the files read as convert::convert_files reads them. A failure
// names in Error::input the file it lies in.
[[nodiscard]] core::Result<std::uint64_t> load_files(const std::vector<std::string>& paths,
                                                     convert::ConversionOptions options,
                                                     const Target& target,
                                                     core::Monitor* monitor = nullptr,
                                                     const readers::ReadLimits& limits = {});

// Runs `statements` in order on one connection to the database of `target`, each as written,
// and stops at the first that fails, returning its failure. A transaction the statements began
// and did not end is rolled back when the connection closes, so a list that ends in COMMIT
// takes effect all or nothing. A target that cannot be connected to fails as a load's does.
[[nodiscard]] core::Status execute(const Target& target, const std::vector<std::string>& statements);

}  // namespace morvel::load
