#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/data_type.hpp"
#include "core/error.hpp"
#include "core/row.hpp"
#include "core/text.hpp"
#include "sql/dialect.hpp"

namespace morvel::convert {

// Column names looked up by view, without making a string of each.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};
using NameSet = std::unordered_set<std::string, NameHash, std::equal_to<>>;

// The columns of every record of an input and, for each, the narrowest type that all its
// non-null values fit: integer within float, date within timestamp, boolean and UUID only when
// every value is one, text otherwise; a column without a value is typed Null (TEXT). An integer
// written with a superfluous leading zero, a + sign or an exponent (007, +5, 1E5) counts as text:
// codes are not numbers; so does a date or time that is none (2024-02-30) or that an engine would
// not keep as written. A column with a number that a double cannot hold (an integer beyond 64
// bits, more significant digits than a double keeps, an underflow) is Decimal, exact.
class Schema {
 public:
  // Takes the names and value types of one more record. Throws std::bad_alloc when memory runs
  // out.
  void add(const core::Row& row);

  // Takes what `later`, the schema of the records that follow those added so far, has seen.
  // Throws std::bad_alloc when memory runs out.
  void merge(const Schema& later);

  // Settles the types and the order of the columns: as first met, or in ascending byte order of
  // the names when `sorted` (the order of a JSON object's keys). Call once, after the last add().
  // MySQL's DATETIME refuses a leap second, so under MySQL a column holding one is text.
  void finish(bool sorted, sql::Dialect dialect);

  // The columns with their types, as a row without texts, for the CREATE TABLE statement.
  [[nodiscard]] const core::Row& columns() const noexcept { return columns_; }

  // Per column of columns(), whether it is a timestamp column with fractions of a second.
  [[nodiscard]] const std::vector<bool>& fractional_times() const noexcept { return fractional_; }

  // What complete() keeps from one row to the next of a reader.
  struct Completion {
    core::Row row;                     // every column, with the texts of the row completed last
    std::vector<std::size_t> sources;  // per column, the entry of that row it takes, or none
    bool has_names = false;            // whether the last row's names are known
    bool is_whole = false;             // whether the last row had every column as it stood
  };

  // `row` with every column, in the columns' order: itself when it has them all, else
  // `state.row`, whose texts are views of `row`'s and whose missing columns are NULL. Each row
  // must follow the one completed before with the same `state`, as a reader hands them over, or
  // `state.has_names` be false. Throws std::bad_alloc when memory runs out.
  const core::Row& complete(const core::Row& row, Completion& state) const;

  // The column type of each entry of `row`, in `scratch`, which keeps them from the row before
  // when the reader says the names repeat. The row's names must all be columns. Never fails but
  // for memory.
  const core::DataType* types_for(const core::Row& row, std::vector<core::DataType>& scratch) const;

 private:
  // Each name met, with the index in bits_ of the kinds of value its column has held, one bit
  // per DataType.
  std::unordered_map<std::string, std::size_t> seen_;
  std::vector<std::uint32_t> bits_;
  std::vector<std::size_t> columns_of_;  // the index in bits_ of each entry of the last row added
  std::vector<std::string> order_;  // names as first met
  std::unordered_map<std::string_view, core::DataType> types_;
  std::unordered_map<std::string_view, std::size_t> positions_;  // of each column in columns_
  core::Row columns_;
  std::vector<bool> fractional_;
};

// The first value in each column that is shaped like a date or timestamp but is none, which
// an engine's DATE or timestamp column refuses.
class FalseDates {
 public:
  // Calls `report(entry)` for each entry of `row` shaped like a date or timestamp that is no real
  // one, in a column not reported yet, and takes the column as reported. Meant for the rare row
  // that holds one: its reader notes that (core::Row::holds_false_date).
  template <class Report>
  void check(const core::Row& row, Report&& report) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      const core::DataType type = row.type_at(i);
      if (type != core::DataType::Date && type != core::DataType::Timestamp) continue;
      const core::Row::Entry entry = row[i];
      if (is_real(entry.text, type) || !claim(entry.name)) continue;
      report(entry);
    }
  }

  // Whether `column` was not reported yet; it is then taken as reported. Throws std::bad_alloc
  // when memory runs out.
  bool claim(std::string_view column) { return reported_.emplace(column).second; }

 private:
  static bool is_real(std::string_view text, core::DataType type) noexcept;

  NameSet reported_;
};

// The warning for `text`, shaped like a date or timestamp (`type`) but none, in `column` of
// record `record` (counted from 1). Never fails.
[[nodiscard]] core::Notice describe_false_date(std::string_view column, std::string_view text,
                                               core::DataType type, std::uint64_t record);

// The types the first record gave the table's columns, against which later records are held.
class FirstRecordTypes {
 public:
  // A value a column cannot keep, or a column the table lacks (`is_missing`).
  struct Loss {
    std::string_view column;
    core::DataType column_type;
    std::string_view text;
    bool is_missing;
  };

  FirstRecordTypes() = default;
  // A copy leaves the index to be built again: its views are of the names of the original.
  FirstRecordTypes(const FirstRecordTypes& other);
  FirstRecordTypes& operator=(const FirstRecordTypes& other);

  // Takes the columns of the first record. Throws std::bad_alloc when memory runs out.
  void remember(const core::Row& first_row);

  // Whether a loss in `column` (`is_missing`: a column the table lacks), found by a copy of these
  // types, is the first of its column; it is then taken as reported. Throws std::bad_alloc when
  // memory runs out.
  bool claim(std::string_view column, bool is_missing);

  // Calls `report(loss)` for the first loss, in the dialect's columns, in each column of `row`
  // that no earlier row reported. A value of a type its column surely keeps costs a look at a
  // bit: this runs for every value of a conversion that creates a table.
  template <class Report>
  void check(const core::Row& row, sql::Dialect dialect, Report&& report) {
    if (!row.names_repeat() || columns_of_.size() != row.size()) map_columns(row);
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::size_t column = columns_of_[i];
      if (column != missing && (surely_kept_[column] >> row.type_at(i) & 1) != 0) continue;
      const core::Row::Entry entry = row[i];
      // The common integer in a text column: digits from 1 to 9 first, nothing around them.
      if (column != missing && entry.type == core::DataType::Integer &&
          text_takes_integers_[column] && entry.text.front() >= '1' && entry.text.front() <= '9' &&
          entry.text.back() >= '0') {
        continue;
      }
      if (const auto loss = find_loss(column, entry, dialect)) report(*loss);
    }
  }

 private:
  static constexpr std::size_t missing = static_cast<std::size_t>(-1);

  void map_columns(const core::Row& row);
  [[nodiscard]] std::string_view name(std::size_t column) const noexcept;
  std::size_t column_of(std::string_view name);
  std::optional<Loss> find_loss(std::size_t column, const core::Row::Entry& entry,
                                sql::Dialect dialect);

  // The names of the columns back to back, and where each ends: a table of ten million columns
  // is not ten million strings.
  std::string names_;
  std::vector<std::size_t> name_ends_;
  // Built when a record's names are not the first record's in its order, as JSON records' may
  // not be; CSV records never need it.
  std::unordered_map<std::string_view, std::size_t> index_;
  std::vector<core::DataType> types_;
  // Per column, a bit per value type that it keeps whatever the text; all bits once reported.
  std::vector<std::uint32_t> surely_kept_;
  // Per column, whether it is a text column, which keeps integers written as they print.
  std::vector<bool> text_takes_integers_;
  std::unordered_set<std::string> reported_missing_;
  std::vector<std::size_t> columns_of_;  // the column of each entry of the last row checked
};

// The numbers whose text storing them as numbers changes (NumberChange), watched when the
// columns are not typed from every record: the first in each column is reported.
class ChangedNumbers {
 public:
  struct Change {
    std::string_view column;
    std::string_view text;
    core::NumberChange change;
    std::string_view became = {};  // what a Rounded number was written as
  };

  // Calls `report(change)` for each value of `row` whose column no change was claimed for. This
  // runs for every row: one whose reader saw no number that may change costs a look at a flag.
  template <class Report>
  void check(const core::Row& row, Report&& report) const {
    const std::size_t size = row.may_change_number() ? row.size() : 0;
    for (std::size_t i = 0; i < size; ++i) {
      const core::DataType type = row.type_at(i);
      if (!core::may_change_number(type, row.text_at(i))) continue;
      const core::Row::Entry entry = row[i];
      const std::string_view text = core::trim_white_space(entry.text);
      const core::NumberChange change = core::number_change(type, text);
      if (change != core::NumberChange::None && !claimed_.contains(entry.name)) {
        report(Change{entry.name, text, change});
      }
    }
    for (std::size_t i = 0; i < row.rounded_count(); ++i) {
      const auto [index, original] = row.rounded(i);
      const core::Row::Entry entry = row[index];
      if (!claimed_.contains(entry.name)) {
        report(Change{entry.name, original, core::NumberChange::Rounded, entry.text});
      }
    }
  }

  // Whether a change in `column` is the first of its column; it is then taken as reported.
  // Throws std::bad_alloc when memory runs out.
  bool claim(std::string_view column) { return claimed_.emplace(column).second; }

 private:
  // Looks names up without making a string of each.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept {
      return std::hash<std::string_view>{}(name);
    }
  };
  std::unordered_set<std::string, NameHash, std::equal_to<>> claimed_;
};

// The warning for `change`, found in record `record` (counted from 1): what the database makes of
// the number, and the advice to type the columns from every record. Never fails but for memory.
[[nodiscard]] core::Notice describe_change(const ChangedNumbers::Change& change,
                                           std::uint64_t record);

// At most `limit` bytes of `text`, cut at a character's start, with "..." when cut: a value as a
// message quotes it. Never fails but for memory.
[[nodiscard]] std::string shortened(std::string_view text, std::size_t limit);

// The warning for `loss` in record `record` (counted from 1): what was lost, and the advice to
// type the columns from every record. Never fails.
[[nodiscard]] core::Notice describe_loss(const FirstRecordTypes::Loss& loss, std::uint64_t record,
                                         sql::Dialect dialect);

}  // namespace morvel::convert
