#pragma once

#include <string>
#include <string_view>

#include "core/data_type.hpp"
#include "core/io.hpp"
#include "core/row.hpp"
#include "sql/dialect.hpp"
#include "sql/statements.hpp"

namespace morvel::sql {

// Appends `text` as a field of the tab-separated text format that PostgreSQL's COPY and MySQL's
// LOAD DATA both read: backslash, tab, LF and CR escaped, and NUL written as `nul` (PostgreSQL
// refuses its \000 as it refuses chr(0); MySQL reads \0 as NUL). Throws std::bad_alloc when
// memory runs out.
void append_copy_field(core::ByteBuffer& out, std::string_view text,
                       std::string_view nul = "\\000");

// The rows of a conversion as PostgreSQL COPY blocks in its text format, which psql runs from a
// script as it stands: "COPY <table> (<columns>) FROM stdin;", a line per row with the fields
// between tabs, and a line "\." at the end of the block.
class CopyWriter {
 public:
  explicit CopyWriter(std::string_view table_name);

  // Whether `row` has the columns of the block begun last. Never fails.
  [[nodiscard]] bool has_columns_of(const core::Row& row) const noexcept {
    return columns_.matches(row);
  }

  // Begins a block for the columns of `row`. Throws std::bad_alloc when memory runs out.
  void open(core::ByteBuffer& out, const core::Row& row);

  // Appends the row's line: NULL as \N, booleans as true or false (as a text column stores
  // them), every other value its trimmed text with backslash, tab, CR and LF escaped, and NUL as
  // \000, which PostgreSQL refuses as it refuses chr(0). `types`, when given, overrides each
  // entry's type but NULL's. Throws std::bad_alloc when memory runs out.
  void append_row(core::ByteBuffer& out, const core::Row& row,
                  const core::DataType* types = nullptr);

  // Ends the block. Throws std::bad_alloc when memory runs out.
  static void close(core::ByteBuffer& out);

 private:
  std::string quoted_table_;
  ColumnList columns_;
};

}  // namespace morvel::sql
