#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/data_type.hpp"
#include "core/encoding.hpp"
#include "core/error.hpp"
#include "core/text.hpp"

namespace morvel::readers {

// The layout an input is read in.
enum class Format : std::uint8_t { Csv, Json };

// The byte between the fields of a CSV record, or the one the header line suggests.
struct Delimiter {
  char byte = ',';
  bool is_automatic = false;  // taken from the header line: , ; tab or |, whichever is most used
  // Runs of spaces and tabs separate the fields, and those at a line's ends are ignored.
  bool is_white_space = false;

  // The delimiter a user's text names: one byte other than a double quote, CR or LF; "tab" or
  // "\t" (backslash and t) for a tab; "auto"; "whitespace". Fails with a message naming the
  // text otherwise.
  [[nodiscard]] static core::Result<Delimiter> parse(std::string_view text);

  friend bool operator==(const Delimiter&, const Delimiter&) = default;
};

// Words that stand for a missing value, such as NA: a value whose trimmed text is one of them is
// NULL, in both readers.
class NullWords {
 public:
  NullWords() = default;
  explicit NullWords(std::vector<std::string> words) : words_(std::move(words)) {}

  // The type of `text`: Null when it is one of the words, else what DataType::infer says. Never
  // fails.
  [[nodiscard]] core::DataType type_of(std::string_view text) const noexcept {
    if (words_.empty()) return core::DataType::infer(text);
    return is_null(text) ? core::DataType(core::DataType::Null) : core::DataType::infer(text);
  }

  [[nodiscard]] const std::vector<std::string>& words() const noexcept { return words_; }

  friend bool operator==(const NullWords&, const NullWords&) = default;

 private:
  [[nodiscard]] bool is_null(std::string_view text) const noexcept;

  std::vector<std::string> words_;
};

// How to read an input beyond its format. The defaults read it as morvel always has.
struct ReadOptions {
  // CSV only.
  Delimiter delimiter;
  bool delimiter_is_chosen = false;  // the user named the delimiter: no hint about another
  std::optional<char> comment;       // lines starting with it are skipped
  std::uint64_t skip_lines = 0;      // lines skipped before the header
  bool has_header = true;            // false: the first record is data, columns column_1, ...
  bool allow_short_rows = false;     // missing trailing fields are NULL, not an error
  char quote = '"';                  // opens and closes a quoted field

  // JSON only: the keys that lead from the top-level object to the array of records; empty for
  // an input that is the array itself, or lines.
  std::vector<std::string> json_path;

  bool fix_names = false;            // empty, repeated and clashing names renamed, with a warning
  bool row_names = false;            // the first fields are a column row_names
  bool names_ignore_case = false;    // names that differ in ASCII letter case alone are one
  bool empty_name_refused = false;   // the target refuses an empty name: warn of one
  std::string_view added_column;     // static text: a column the conversion adds (the auto id)

  // Both formats.
  NullWords null_words;
  std::optional<core::Encoding> encoding;  // absent: UTF-8, read as it is

  // JSON only: a number that a double cannot hold keeps its own text, for an exact column,
  // rather than becoming the double's.
  bool keeps_number_texts = false;
  // CSV, when one run reads several inputs: the settled header names of the first input, which
  // every later input's header must equal, or without a header the columns of its first record,
  // which every later record must fill as one input's would; filled by the first reading when
  // empty. Borrowed; null when the run has one input.
  std::vector<std::string>* shared_header = nullptr;
};

}  // namespace morvel::readers
