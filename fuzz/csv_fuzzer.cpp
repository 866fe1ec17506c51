// Pushes arbitrary bytes through the CSV reader and statement generation, and holds the reader to
// a plain byte-at-a-time model of the same grammar: the same records, fields and messages, and a
// conversion with exactly one INSERT per data record.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "convert/pipeline.hpp"
#include "core/text.hpp"
#include "core/utf8.hpp"
#include "fuzz_support.hpp"
#include "readers/read_input.hpp"

namespace morvel::fuzz {
namespace {

using readers::stream_csv;

struct ModelRecord {
  std::size_t start;  // where the search for the record began
  std::vector<std::string> fields;
};

struct Model {
  std::vector<std::vector<std::pair<std::string, std::string>>> rows;
  std::optional<std::string> error;
};

bool ends_unquoted(char c) noexcept { return c == ',' || c == '\n' || c == '\r'; }

// Splits `input` into records one byte at a time, with none of the reader's shortcuts.
std::vector<ModelRecord> split_records(std::string_view input) {
  std::vector<ModelRecord> records;
  const std::size_t n = input.size();
  std::size_t pos = input.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  for (bool is_first = true;; is_first = false) {
    ModelRecord record{is_first ? 0 : pos, {}};
    while (pos < n && (input[pos] == '\n' || input[pos] == '\r')) ++pos;
    if (pos == n) return records;
    for (;;) {
      std::string field;
      if (pos < n && input[pos] == '"') {
        ++pos;
        while (pos < n) {
          if (input[pos] == '"') {
            if (pos + 1 < n && input[pos + 1] == '"') {
              field += '"';
              pos += 2;
              continue;
            }
            ++pos;
            break;
          }
          field += input[pos++];
        }
      }
      while (pos < n && !ends_unquoted(input[pos])) field += input[pos++];
      record.fields.push_back(std::move(field));
      if (pos == n) break;
      if (input[pos++] != ',') break;
    }
    records.push_back(std::move(record));
    if (pos == n) return records;
  }
}

std::size_t line_of(std::string_view input, std::size_t offset) {
  return 1 + core::count_line_ends(input.substr(0, offset));
}

std::optional<std::string> utf8_error(std::string_view input, const ModelRecord& record,
                                      std::size_t index) {
  for (std::size_t i = 0; i < record.fields.size(); ++i) {
    const auto bad = find_invalid_utf8(record.fields[i]);
    if (!bad) continue;
    const std::string field = std::to_string(i);
    return "CSV parse error: record " + std::to_string(index) + " (line " +
           std::to_string(line_of(input, record.start)) + ", field: " + field +
           ", byte: " + std::to_string(record.start) + "): invalid utf-8: invalid UTF-8 in field " +
           field + " near byte index " + std::to_string(bad->valid_up_to);
  }
  return std::nullopt;
}

// `names_ignore_case`: header names that differ in ASCII letter case alone are one name, as for
// the engines that compare names so.
Model model_csv(std::string_view input, bool names_ignore_case = false) {
  Model model;
  if (std::count(input.begin(), input.end(), '"') % 2 != 0) {
    model.error = "Malformed CSV: unbalanced quotes detected";
    return model;
  }
  const std::vector<ModelRecord> records = split_records(input);
  if (records.empty()) return model;
  const std::vector<std::string>& header = records[0].fields;
  if ((model.error = utf8_error(input, records[0], 0))) return model;
  std::unordered_set<std::string> seen;
  for (const std::string& name : header) {
    std::string key = name;
    if (names_ignore_case) {
      for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (!seen.insert(key).second) {
      model.error = "duplicate column name '" + name + "' in CSV header";
      return model;
    }
  }
  for (std::size_t index = 1; index < records.size(); ++index) {
    const ModelRecord& record = records[index];
    if (record.fields.size() != header.size()) {
      model.error = "CSV error: record " + std::to_string(index) +
                    " (line: " + std::to_string(line_of(input, record.start)) +
                    ", byte: " + std::to_string(record.start) + "): found record with " +
                    std::to_string(record.fields.size()) + " fields, but the previous record has " +
                    std::to_string(header.size()) + " fields";
      return model;
    }
    if ((model.error = utf8_error(input, record, index))) return model;
    std::vector<std::pair<std::string, std::string>> row;
    for (std::size_t i = 0; i < header.size(); ++i) row.emplace_back(header[i], record.fields[i]);
    model.rows.push_back(std::move(row));
  }
  return model;
}

void check_against_model(const Collected& read, const Model& model) {
  MORVEL_FUZZ_CHECK(read.rows.size() == model.rows.size(),
                    std::to_string(read.rows.size()) + " rows read, the model has " +
                        std::to_string(model.rows.size()) +
                        (read.error ? "; error: " + read.error->message : std::string()));
  for (std::size_t r = 0; r < model.rows.size(); ++r) {
    const auto& expected = model.rows[r];
    const auto& got = read.rows[r];
    MORVEL_FUZZ_CHECK(got.size() == expected.size(), "row " + std::to_string(r));
    for (std::size_t i = 0; i < expected.size(); ++i) {
      MORVEL_FUZZ_CHECK(got[i].name == expected[i].first && got[i].text == expected[i].second,
                        "row " + std::to_string(r) + " field " + std::to_string(i) + ": [" +
                            got[i].name + "]=[" + got[i].text + "], the model has [" +
                            expected[i].first + "]=[" + expected[i].second + "]");
    }
  }
  MORVEL_FUZZ_CHECK(read.error.has_value() == model.error.has_value(),
                    read.error ? "unexpected error: " + read.error->message
                               : "no error, the model has: " + *model.error);
  if (read.error) {
    MORVEL_FUZZ_CHECK(read.error->message == *model.error,
                      "'" + read.error->message + "', the model has '" + *model.error + "'");
  }
}

// The whole conversion writes one INSERT line per data record, in input order, and nothing else.
void check_conversion(std::string_view input, const Model& model) {
  const Dialect dialect = all_dialects[input.size() % std::size(all_dialects)];
  MemorySource source(input);
  auto sql = convert_text(source, {.table_name = "t", .dialect = dialect});
  // SQLite and MySQL take names that differ in letter case alone for one.
  const bool folds_case = dialect != Dialect::Postgres;
  const Model folded = folds_case ? model_csv(input, true) : Model{};
  const Model& modelled = folds_case ? folded : model;
  // The first record refuses a header name holding a NUL byte, before any later failure.
  std::optional<std::string> expected_error = modelled.error;
  if (!modelled.rows.empty()) {
    for (const auto& [name, text] : modelled.rows.front()) {
      if (auto refused = nul_identifier_error("column", name)) {
        expected_error = refused->message;
        break;
      }
    }
  }
  if (expected_error) {
    MORVEL_FUZZ_CHECK(!sql.has_value() && sql.error().message == *expected_error,
                      sql ? std::string("converted") : sql.error().message);
    return;
  }
  MORVEL_FUZZ_CHECK(sql.has_value(), sql.error().message);
  check_utf8(*sql, "SQL output");
  std::string expected;
  for (const auto& pairs : modelled.rows) {
    Row row;
    for (const auto& [name, text] : pairs) row.append(name, text, DataType::infer(text));
    expected += generate_insert("t", row, dialect);
    expected += '\n';
  }
  MORVEL_FUZZ_CHECK(*sql == expected, "the output is not one INSERT line per record");
}

}  // namespace
}  // namespace morvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvel;
  using namespace morvel::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Model model = model_csv(input);

  check_against_model(collect_both_ways(stream_csv, input), model);
  check_conversion(input, model);
  return 0;
}
