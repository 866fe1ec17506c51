#pragma once

#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/monitor.hpp"
#include "readers/options.hpp"

// The column names a CSV header gives, made into names the target engine takes.

namespace morvel::readers {

// The name of the column that holds R's row names.
inline constexpr std::string_view row_names_column = "row_names";

// Settles the header's `names` for the conversion's target, in place: with row names, a first
// column row_names (the header's first name, when that is empty and the header `is_short` of
// none, else one put before the others); then, with fix_names, an empty name becomes column_N
// (N its position from 1) and a name met before, or the column the conversion adds, name_2,
// name_3, ... (the first free), with one warning to `monitor`, if given, naming them. Without
// fix_names, fails with "duplicate column name '<name>' in CSV header" for the first name met
// before, and warns of an empty name the target refuses. Names compare without ASCII letter case
// when the target's do. Throws std::bad_alloc when memory runs out.
[[nodiscard]] core::Status settle_header_names(std::vector<std::string>& names,
                                               const ReadOptions& options, bool is_short,
                                               core::Monitor* monitor);

}  // namespace morvel::readers
