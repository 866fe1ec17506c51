#include "sql/copy.hpp"

#include <cstring>

#include "core/scan.hpp"
#include "core/text.hpp"
#include "sql/literal.hpp"

namespace morvel::sql {

namespace {

using core::DataType;
using core::Row;

// The text format's escape for each byte that cannot stand as itself, or nothing.
std::string_view escape_of(char c, std::string_view nul) noexcept {
  switch (c) {
    case '\\':
      return "\\\\";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\0':
      return nul;
    default:
      return {};
  }
}

// Appends `text` with the bytes the format reserves escaped; clean runs are copied whole.
void append_escaped(core::ByteBuffer& out, std::string_view text, std::string_view nul) {
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    const char* special = core::scan::find_any<'\\', '\t', '\n', '\r', '\0'>(p, end);
    out.append({p, static_cast<std::size_t>(special - p)});
    if (special == end) return;
    out.append(escape_of(*special, nul));
    p = special + 1;
  }
}

}  // namespace

void append_text_field(core::ByteBuffer& out, std::string_view text, DataType type,
                       const TextFormat& format) {
  if (type == DataType::Null) {
    out.append("\\N");
  } else if (type == DataType::Boolean) {
    out.append(is_true_text(text) ? format.true_word : format.false_word);
  } else {
    append_escaped(out, text, format.nul);
  }
}

CopyWriter::CopyWriter(std::string_view table_name, std::string_view schema)
    : quoted_table_(Dialect(Dialect::Postgres).quote_table(schema, table_name)) {}

void CopyWriter::open(core::ByteBuffer& out, const Row& row) {
  columns_.take(row);
  std::string head = "COPY " + quoted_table_ + " (";
  bool first = true;
  for (const Row::Entry entry : row) {
    if (!first) head += ", ";
    first = false;
    Dialect(Dialect::Postgres).append_quoted_identifier(head, entry.name);
  }
  head += ") FROM stdin;\n";
  out.append(head);
}

void CopyWriter::append_row(core::ByteBuffer& out, const Row& row, const DataType* types) {
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) out.append("\t");
    const Row::Entry entry = row[i];
    const DataType type = types != nullptr && entry.type != DataType::Null ? types[i] : entry.type;
    append_text_field(out, core::trim_white_space(entry.text), type, copy_format);
  }
  out.append("\n");
}

void CopyWriter::close(core::ByteBuffer& out) { out.append("\\.\n"); }

}  // namespace morvel::sql
