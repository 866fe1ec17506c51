#pragma once

#include <string>
#include <string_view>

#include "core/data_type.hpp"
#include "core/io.hpp"
#include "core/row.hpp"
#include "sql/dialect.hpp"
#include "sql/statements.hpp"

namespace morvel::sql {

// How a tab-separated text format spells what is not text: PostgreSQL's COPY, or MySQL's LOAD
// DATA, which reads booleans as numbers. Both read \N as NULL and escape backslash, tab, LF and
// CR; NUL is PostgreSQL's \000, which it refuses as it refuses chr(0), and MySQL's \0.
struct TextFormat {
  std::string_view true_word;
  std::string_view false_word;
  std::string_view nul;
};
inline constexpr TextFormat copy_format{"true", "false", "\\000"};
inline constexpr TextFormat load_data_format{"1", "0", "\\0"};

// Appends the field of one value of type `type` whose trimmed text is `text`. Throws
// std::bad_alloc when memory runs out.
void append_text_field(core::ByteBuffer& out, std::string_view text, core::DataType type,
                       const TextFormat& format);

// The rows of a conversion as PostgreSQL COPY blocks in its text format, which psql runs from a
// script as it stands: "COPY <table> (<columns>) FROM stdin;", a line per row with the fields
// between tabs, and a line "\." at the end of the block.
class CopyWriter {
 public:
  // The table is in `schema` when one is named.
  explicit CopyWriter(std::string_view table_name, std::string_view schema = {});

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
