#include "parsers/csv_parser.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "lib/utf8.hpp"
#include "sql/inference.hpp"

namespace morvel::parsers::csv_parser {

namespace {

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Bytes that end an unquoted field: the delimiter and the two terminator bytes.
constexpr auto ends_field = [] consteval {
  std::array<bool, 256> table{};
  table[','] = true;
  table['\n'] = true;
  table['\r'] = true;
  return table;
}();

// Splits the held input into records. Field texts are views into the input where the field is
// stored as is, and into the scanner's scratch buffer where quotes had to be removed; both stay
// valid until the next record is parsed.
class Scanner {
 public:
  explicit Scanner(std::string_view input) : input_(input) {}

  // Skips blank lines before the next record; false when the input is exhausted. The record's
  // reported position is where this search began, as a streaming reader would have it.
  bool next_record() noexcept {
    record_start_ = pos_;
    // The byte-order mark counts in byte offsets but never in the first record's text.
    if (pos_ == 0 && input_.starts_with(byte_order_mark)) pos_ = byte_order_mark.size();
    while (pos_ < input_.size() && (input_[pos_] == '\n' || input_[pos_] == '\r')) ++pos_;
    content_start_ = pos_;
    return pos_ < input_.size();
  }

  // Parses the record at the current position; its fields are then in fields().
  void parse_record() {
    spans_.clear();
    scratch_.clear();
    const std::size_t n = input_.size();
    for (;;) {
      std::size_t end;
      if (pos_ < n && input_[pos_] == '"') {
        end = parse_quoted_field();
      } else {
        end = find_field_end(pos_);
        spans_.push_back(Span{pos_, end - pos_, false});
      }
      if (end >= n) {
        pos_ = n;
        break;
      }
      pos_ = end + 1;
      if (input_[end] != ',') break;
    }
    fields_.clear();
    const std::string_view scratch = scratch_;
    for (const Span& span : spans_) {
      fields_.push_back((span.in_scratch ? scratch : input_).substr(span.offset, span.size));
    }
  }

  [[nodiscard]] const std::vector<std::string_view>& fields() const noexcept { return fields_; }
  [[nodiscard]] std::size_t record_start() const noexcept { return record_start_; }
  // The bytes of the last record as written, quotes and delimiters included.
  [[nodiscard]] std::string_view raw_record() const noexcept {
    return input_.substr(content_start_, pos_ - content_start_);
  }
  // 1-based line of a byte offset: every LF before it, inside quoted fields too, starts a line.
  [[nodiscard]] std::size_t line_at(std::size_t offset) const noexcept {
    return 1 + static_cast<std::size_t>(
                   std::count(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
  }

 private:
  struct Span {
    std::size_t offset;
    std::size_t size;
    bool in_scratch;
  };

  std::size_t find_field_end(std::size_t from) const noexcept {
    const char* p = input_.data() + from;
    const char* const end = input_.data() + input_.size();
    while (p != end && !ends_field[static_cast<unsigned char>(*p)]) ++p;
    return static_cast<std::size_t>(p - input_.data());
  }

  // Parses a field that opens with a quote at pos_ and returns the offset of the byte that ends
  // it. A doubled quote stands for one; after the closing quote, text up to the next delimiter or
  // terminator belongs to the field as is; a quote never closed runs to the end of the input.
  std::size_t parse_quoted_field() {
    const std::size_t n = input_.size();
    const std::size_t scratch_begin = scratch_.size();
    bool uses_scratch = false;
    std::size_t from = pos_ + 1;
    for (;;) {
      const void* hit = std::memchr(input_.data() + from, '"', n - from);
      if (hit == nullptr) {
        push_quoted(from, n, uses_scratch, scratch_begin);
        return n;
      }
      const std::size_t quote = static_cast<std::size_t>(static_cast<const char*>(hit) - input_.data());
      if (quote + 1 < n && input_[quote + 1] == '"') {
        scratch_.append(input_.substr(from, quote + 1 - from));
        uses_scratch = true;
        from = quote + 2;
        continue;
      }
      const std::size_t end = find_field_end(quote + 1);
      if (end != quote + 1) {
        scratch_.append(input_.substr(from, quote - from));
        scratch_.append(input_.substr(quote + 1, end - quote - 1));
        spans_.push_back(Span{scratch_begin, scratch_.size() - scratch_begin, true});
        return end;
      }
      push_quoted(from, quote, uses_scratch, scratch_begin);
      return end;
    }
  }

  // Records the text of a quoted field that ends at `to`, joined to any doubled-quote pieces.
  void push_quoted(std::size_t from, std::size_t to, bool uses_scratch, std::size_t scratch_begin) {
    if (!uses_scratch) {
      spans_.push_back(Span{from, to - from, false});
      return;
    }
    scratch_.append(input_.substr(from, to - from));
    spans_.push_back(Span{scratch_begin, scratch_.size() - scratch_begin, true});
  }

  std::string_view input_;
  std::size_t pos_ = 0;
  std::size_t record_start_ = 0;
  std::size_t content_start_ = 0;
  std::string scratch_;
  std::vector<Span> spans_;
  std::vector<std::string_view> fields_;
};

Error field_count_error(const Scanner& scanner, std::uint64_t record, std::size_t found,
                        std::size_t expected) {
  const std::size_t start = scanner.record_start();
  return invalid("CSV error: record " + std::to_string(record) + " (line: " +
                 std::to_string(scanner.line_at(start)) + ", byte: " + std::to_string(start) +
                 "): found record with " + std::to_string(found) +
                 " fields, but the previous record has " + std::to_string(expected) + " fields");
}

// Checks every field of the last record; the error names the first field that is not UTF-8.
Status check_utf8(const Scanner& scanner, std::uint64_t record) {
  if (is_ascii(scanner.raw_record())) return {};
  const std::vector<std::string_view>& fields = scanner.fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto bad = find_invalid_utf8(fields[i]);
    if (!bad) continue;
    const std::size_t start = scanner.record_start();
    const std::string field = std::to_string(i);
    return std::unexpected(invalid(
        "CSV parse error: record " + std::to_string(record) + " (line " +
        std::to_string(scanner.line_at(start)) + ", field: " + field + ", byte: " +
        std::to_string(start) + "): invalid utf-8: invalid UTF-8 in field " + field +
        " near byte index " + std::to_string(bad->valid_up_to)));
  }
  return {};
}

Status check_unique_names(const std::vector<std::string_view>& names) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(names.size());
  for (std::string_view name : names) {
    if (!seen.insert(name).second) {
      return std::unexpected(invalid("duplicate column name '" + std::string(name) + "' in CSV header"));
    }
  }
  return {};
}

}  // namespace

Status stream_csv(ByteSource& reader, RowSink sink) {
  std::string owned;
  std::string_view input;
  if (auto view = reader.contiguous()) {
    input = *view;
  } else {
    if (auto read = read_to_end(reader, owned); !read) return read;
    input = owned;
  }

  // The balance check runs over every quote byte before any record is parsed, so a stray quote
  // fails the whole input rather than swallowing the records after it.
  if (std::count(input.begin(), input.end(), '"') % 2 != 0) {
    return std::unexpected(invalid("Malformed CSV: unbalanced quotes detected"));
  }

  Scanner scanner(input);
  if (!scanner.next_record()) return {};
  scanner.parse_record();
  if (auto valid = check_utf8(scanner, 0); !valid) return valid;
  if (auto unique = check_unique_names(scanner.fields()); !unique) return unique;
  const std::vector<std::string> header(scanner.fields().begin(), scanner.fields().end());
  std::size_t header_bytes = 0;
  for (const std::string& name : header) header_bytes += name.size();

  std::uint64_t record = 0;
  while (scanner.next_record()) {
    ++record;
    scanner.parse_record();
    const std::vector<std::string_view>& fields = scanner.fields();
    if (fields.size() != header.size()) {
      return std::unexpected(field_count_error(scanner, record, fields.size(), header.size()));
    }
    if (auto valid = check_utf8(scanner, record); !valid) return valid;
    Row row;
    row.reserve(fields.size(), header_bytes + scanner.raw_record().size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      row.append(header[i], fields[i], DataType::infer(fields[i]));
    }
    if (auto accepted = sink(std::move(row)); !accepted) return accepted;
  }
  return {};
}

}  // namespace morvel::parsers::csv_parser
