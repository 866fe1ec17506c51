#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lib/error.hpp"
#include "lib/format.hpp"
#include "lib/io.hpp"
#include "sql/dialect.hpp"
#include "sql/generator.hpp"

namespace morvel {

// Reads `reader` to its end with the reader of `format` and writes to `writer` the CREATE TABLE
// statement for the first record (when `create_table`) followed by "\n\n", then one INSERT
// statement and "\n" per record, as each record arrives; flushes `writer` at the end. Stops at
// the first failure (reading, statement building, writing, flushing) and returns it unchanged;
// what was written before it stays written and unflushed. `writer` is borrowed.
[[nodiscard]] Status convert(ByteSource& reader, ByteSink& writer, Format format,
                             std::string_view table_name, bool create_table, Dialect dialect,
                             const PrimaryKey& primary_key);

// The whole SQL script for `reader`, with the options as a Python caller gives them: the key
// choice is resolved first, then a key or auto id without `create_table` is refused, then the
// dialect text is looked up (never fails). On any failure nothing of the output is returned.
[[nodiscard]] Result<std::string> convert_to_string(ByteSource& reader, Format format,
                                                    std::string_view table_name, bool create_table,
                                                    std::string_view dialect,
                                                    std::optional<std::string_view> primary_key,
                                                    bool auto_id);

// convert_to_string without the final UTF-8 check, in a ByteBuffer: a large output grows
// without being copied, for a caller that copies it once more anyway and checks it while doing
// so (the Python module decodes it into a str), then takes its message from utf8_error().
[[nodiscard]] Result<ByteBuffer> convert_to_buffer(ByteSource& reader, Format format,
                                                   std::string_view table_name, bool create_table,
                                                   std::string_view dialect,
                                                   std::optional<std::string_view> primary_key,
                                                   bool auto_id);

// convert_to_buffer over the file at `path`, opened before the options are looked at. The file
// is read, never mapped: a file that shrinks under a mapping raises SIGBUS, which would end the
// calling process. Fails with ErrorKind::Open when it cannot be opened.
[[nodiscard]] Result<ByteBuffer> convert_file_to_buffer(const std::string& path, Format format,
                                                        std::string_view table_name,
                                                        bool create_table, std::string_view dialect,
                                                        std::optional<std::string_view> primary_key,
                                                        bool auto_id);

// The refusal of a table or column name (`what`: "table" or "column") that holds a NUL byte: a
// NUL ends a line for the engines' script readers, which would run the rest of the line as a new
// statement, and no engine takes one in an identifier. Nothing when the name holds none. Never
// fails.
[[nodiscard]] std::optional<Error> nul_identifier_error(std::string_view what,
                                                        std::string_view name);

// The error convert_to_string reports for output that is not UTF-8, or nothing when `sql` is
// UTF-8. Never fails.
[[nodiscard]] std::optional<Error> utf8_error(std::string_view sql);

// convert_to_string over the file at `path`, opened before the options are looked at.
// Fails with ErrorKind::Open when it cannot be opened.
[[nodiscard]] Result<std::string> convert_csv_file_to_sql(
    const std::string& path, std::string_view table_name, bool create_table,
    std::string_view dialect, std::optional<std::string_view> primary_key, bool auto_id);
[[nodiscard]] Result<std::string> convert_json_file_to_sql(
    const std::string& path, std::string_view table_name, bool create_table,
    std::string_view dialect, std::optional<std::string_view> primary_key, bool auto_id);

}  // namespace morvel
