// Runs whole conversions with options taken from the first input bytes, through memory, small
// reads and a file, on one thread and in small pieces on several, and holds the output to the
// script the records call for: an optional CREATE TABLE and "\n\n", then one INSERT and "\n"
// per record.
//
// Input layout: flags, chunk size, [key length, key], table length, table, data.
// Flags: bit 0 JSON, bit 1 create table, bit 2 auto id, bit 3 key given, bits 4-6 dialect text.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/pipeline.hpp"
#include "core/calendar.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "fuzz_support.hpp"
#include "readers/read_input.hpp"

namespace morvel::fuzz {
namespace {

// Dialect texts as callers write them; names and aliases fold ASCII case and nothing else, and
// the Python functions take any other text for PostgreSQL.
constexpr std::string_view dialect_texts[] = {"postgres", "sqlite",     "mysql", "MySQL",
                                              "SQLite",   "postgresql", "",      " mysql"};

using convert::Format;

struct Options {
  Format format;
  bool create_table;
  bool auto_id;
  std::optional<std::string_view> primary_key;
  std::string_view dialect;
  std::string_view table;
  std::size_t chunk;
};

struct Records {
  std::vector<Row> rows;
  std::optional<Error> error;
};

// The records of `data` as a conversion for `dialect` reads them: SQLite and MySQL take header
// names that differ in letter case alone for one.
Records read_records(Format format, std::string_view data, Dialect dialect) {
  Records records;
  // Leaves the row to the reader, as the conversion's sink does, and keeps a copy, which owns
  // its texts.
  auto keep = [&](Row&& row) -> Status {
    records.rows.push_back(row);
    return {};
  };
  MemorySource source(data);
  readers::ReadOptions csv_options;
  csv_options.names_ignore_case = dialect != Dialect::Postgres;
  const Status status = format == Format::Json ? readers::stream_json(source, keep)
                                               : readers::stream_csv(source, keep, csv_options);
  if (!status) records.error = status.error();
  return records;
}

// `row` as a MySQL table whose DATETIME columns are `datetimes` takes it: a time with a zone in
// one of them as the UTC time it stands for.
Row with_utc_times(const Row& row, const std::vector<std::string>& datetimes) {
  Row mended = row;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const Row::Entry entry = row[i];
    if (entry.type != DataType::Timestamp ||
        std::find(datetimes.begin(), datetimes.end(), entry.name) == datetimes.end()) {
      continue;
    }
    if (const auto utc = utc_wall_time(trim_white_space(entry.text))) {
      mended.set_text(i, *utc, entry.type);
    }
  }
  return mended;
}

// The outcome the conversion must have: the options' error, a name's NUL, the reader's, the
// CREATE TABLE statement's, or the script built statement by statement.
Result<std::string> expected_outcome(const Options& o, std::string_view data) {
  auto key = PrimaryKey::from_options(o.primary_key, o.auto_id);
  if (!key) return std::unexpected(key.error());
  // The core's own words; each face puts them in its own (the command's usage error, Python's
  // "primary_key / auto_id require create_table=True").
  if (!o.create_table && o.primary_key) {
    return std::unexpected(invalid("a primary key needs the table to be created"));
  }
  if (!o.create_table && o.auto_id) {
    return std::unexpected(invalid("an auto id needs the table to be created"));
  }
  if (auto refused = nul_identifier_error("table", o.table)) return std::unexpected(*refused);
  const Dialect dialect = Dialect::from_name(o.dialect).value_or(Dialect::Postgres);
  Records records = read_records(o.format, data, dialect);
  std::string sql;
  std::vector<std::string> datetimes;
  for (std::size_t i = 0; i < records.rows.size(); ++i) {
    const Row& row = records.rows[i];
    for (const Row::Entry entry : row) {
      if (auto refused = nul_identifier_error("column", entry.name)) {
        return std::unexpected(*refused);
      }
    }
    if (i == 0 && o.create_table) {
      auto create = generate_create_table_with_pk(o.table, row, dialect, *key);
      if (!create) return std::unexpected(create.error());
      check_create_table(*create, dialect, o.table, row, *key);
      sql += *create;
      sql += "\n\n";
      for (const Row::Entry entry : row) {
        if (dialect == Dialect::Mysql && entry.type == DataType::Timestamp) {
          datetimes.emplace_back(entry.name);
        }
      }
    }
    const Row written = datetimes.empty() ? row : with_utc_times(row, datetimes);
    const std::string insert = generate_insert(o.table, written, dialect);
    check_insert(insert, dialect, o.table, written);
    sql += insert;
    sql += '\n';
  }
  // The reader's error comes after the statements of the records before it, which are dropped.
  if (records.error) return std::unexpected(*records.error);
  return sql;
}

void check_same_outcome(const Result<std::string>& got, const Result<std::string>& expected,
                        std::string_view what) {
  const std::string note(what);
  MORVEL_FUZZ_CHECK(got.has_value() == expected.has_value(),
                    note + ": " + (got ? std::string("converted") : got.error().message) +
                        " against " +
                        (expected ? std::string("converted") : expected.error().message));
  if (got) {
    MORVEL_FUZZ_CHECK(*got == *expected, note + ": outputs differ");
  } else {
    check_same_error(got.error(), expected.error(), what);
  }
}

// A file in memory whose /proc path the file entry points open like any other path.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("morvel-fuzz", MFD_CLOEXEC)) {}
  MemoryFile(const MemoryFile&) = delete;  // one owner closes the descriptor
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }

  // The path of a file holding exactly `data`, or nothing when the system refuses.
  std::optional<std::string> hold(std::string_view data) {
    if (fd_ < 0 || ftruncate(fd_, 0) != 0) return std::nullopt;
    if (pwrite(fd_, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size())) {
      return std::nullopt;
    }
    return "/proc/self/fd/" + std::to_string(fd_);
  }

 private:
  int fd_;
};

// The reading options of a real file, chosen by the bits of `choice`: the delimiter, comment
// lines, lines before the header, no header, short rows, a null word, the schema from every
// record. JSON takes the last two alone.
void choose_reading(std::uint8_t choice, convert::ConversionOptions& options) {
  if ((choice & 0x40) != 0) options.null_values = {"NA"};
  if ((choice & 0x80) != 0) options.schema_from = convert::SchemaFrom::All;
  if (options.format == Format::Json) return;
  constexpr readers::Delimiter delimiters[] = {
      {',', false}, {';', false}, {'\t', false}, {',', true}};
  if ((choice & 3) != 0) options.delimiter = delimiters[choice & 3];
  if ((choice & 4) != 0) options.comment = '#';
  options.skip_lines = (choice >> 3) & 1;
  options.no_header = (choice & 0x10) != 0;
  options.allow_short_rows = (choice & 0x20) != 0;
}

std::size_t count_inserts(std::string_view sql) {
  std::size_t count = 0;
  for (std::size_t at = sql.find("INSERT INTO "); at != std::string_view::npos;
       at = sql.find("\nINSERT INTO ", at + 1)) {
    ++count;
  }
  return count;
}

// The input in pieces of `piece` bytes on three threads, from memory and through small reads,
// must give what one thread gives.
void check_pieces(std::string_view input, convert::ConversionOptions options, std::size_t piece,
                  const Result<std::string>& single) {
  options.jobs = 3;
  MemorySource memory(input);
  check_same_outcome(convert_text(memory, options, piece), single, "pieces on threads");
  ChunkedSource chunked(input, piece);
  check_same_outcome(convert_text(chunked, options, piece), single,
                     "pieces on threads, small reads");
}

// With reading options there is no model to hold the output to; whichever way the input
// arrives the outcome must be the same, and a schema from every record must change the types of
// the statements, not their number.
void check_reading(std::string_view input, convert::ConversionOptions options, std::size_t chunk) {
  options.jobs = 1;
  MemorySource memory(input);
  const Result<std::string> held = convert_text(memory, options);
  if (held) check_utf8(*held, "SQL output with reading options");
  ChunkedSource chunked(input, chunk);
  check_same_outcome(convert_text(chunked, options), held, "reading options, small reads");
  check_pieces(input, options, chunk, held);
  if (options.schema_from != convert::SchemaFrom::All || !held) return;
  options.schema_from = convert::SchemaFrom::First;
  MemorySource again(input);
  const Result<std::string> first = convert_text(again, options);
  // A key the first record lacks fails there alone.
  if (!first) return;
  MORVEL_FUZZ_CHECK(count_inserts(*first) == count_inserts(*held),
                    "another number of statements with the schema from every record");
}

}  // namespace
}  // namespace morvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvel;
  using namespace morvel::fuzz;
  InputTaker taker(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::uint8_t flags = taker.byte();
  Options o{};
  o.format = (flags & 1) != 0 ? Format::Json : Format::Csv;
  o.create_table = (flags & 2) != 0;
  o.auto_id = (flags & 4) != 0;
  o.dialect = dialect_texts[(flags >> 4) & 7];
  o.chunk = 1 + taker.byte();
  if ((flags & 8) != 0) o.primary_key = taker.text(24);
  o.table = taker.text(24);
  const std::string_view input = taker.rest();
  // Python hands over only UTF-8; the command line passes its arguments' bytes as they are.
  const bool options_are_utf8 =
      !find_invalid_utf8(o.table) && !(o.primary_key && find_invalid_utf8(*o.primary_key));

  const Result<std::string> expected = expected_outcome(o, input);
  convert::ConversionOptions options{o.format,
                                     std::string(o.table),
                                     Dialect::from_name(o.dialect).value_or(Dialect::Postgres),
                                     o.create_table,
                                     std::nullopt,
                                     o.auto_id};
  if (o.primary_key) options.primary_key = std::string(*o.primary_key);
  options.jobs = 1;
  if ((flags & 0x80) != 0) {
    choose_reading(static_cast<std::uint8_t>(o.chunk - 1), options);
    check_reading(input, std::move(options), o.chunk);
    return 0;
  }
  MemorySource memory(input);
  const Result<std::string> held = convert_text(memory, options);
  if (held) {
    check_utf8(*held, "SQL output");
  } else {
    check_error(held.error(), options_are_utf8);
  }
  // Only a table name that is not UTF-8 can make the built script fail the final check.
  if (expected && find_invalid_utf8(*expected)) {
    MORVEL_FUZZ_CHECK(!held && find_invalid_utf8(o.table),
                      held ? std::string("invalid output passed") : held.error().message);
    MORVEL_FUZZ_CHECK(held.error().message.find("utf-8") != std::string::npos,
                      held.error().message);
  } else {
    check_same_outcome(held, expected, "in memory");
  }

  ChunkedSource chunked(input, o.chunk);
  check_same_outcome(convert_text(chunked, options), held, "small reads against memory");
  check_pieces(input, options, o.chunk, held);

  static MemoryFile file;
  if (const auto path = file.hold(input)) {
    check_same_outcome(convert_file_text(*path, options), held, "file against memory");
  }
  return 0;
}
