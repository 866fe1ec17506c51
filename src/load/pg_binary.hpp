#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/data_type.hpp"
#include "core/io.hpp"
#include "core/row.hpp"

namespace morvel::load {

// The column types that rows are written for in PostgreSQL's binary COPY format; a table with a
// column of any other type (Other) takes its rows in the text format.
enum class PgType : std::uint8_t {
  Int8,
  Float8,
  Bool,
  Date,
  Timestamptz,
  Uuid,
  Text,
  Jsonb,  // binary only for values declared JSON, checked before they come
  Other
};

// The type of a column from its name as format_type() gives it ("bigint", "text", ...). Never
// fails.
[[nodiscard]] PgType pg_type_of(std::string_view name) noexcept;

// What begins and ends the data of a binary COPY: the signature, no flags, no extension; and a
// tuple of -1 fields.
inline constexpr std::string_view binary_copy_header{"PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0", 19};
inline constexpr std::string_view binary_copy_trailer{"\377\377", 2};

// Appends `row` as a tuple of the binary format, for columns of types `columns` (one per entry),
// each value exactly as the server reads its text in the text format. `types`, when given,
// holds a type per entry that each value but NULL is taken as instead of its own; `is_utc` says
// that the session reads a time without a zone as UTC. Returns false, with nothing appended, for
// a row with a value the binary format cannot carry so (text a column refuses, a time without a
// zone in another time zone): its text then goes to the server, which reads it, or refuses it
// with its own message. Throws std::bad_alloc when memory runs out.
[[nodiscard]] bool append_binary_row(core::ByteBuffer& out, const core::Row& row,
                                     const core::DataType* types, std::span<const PgType> columns,
                                     bool is_utc);

}  // namespace morvel::load
