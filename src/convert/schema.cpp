#include "convert/schema.hpp"

#include <algorithm>

#include "core/calendar.hpp"
#include "core/text.hpp"
#include "sql/statements.hpp"

namespace morvel::convert {

using core::DataType;
using core::Row;

namespace {

constexpr std::uint32_t bit(DataType type) noexcept { return std::uint32_t{1} << type; }

// A number whose text is a code (007, +5, 1E5) is typed as text; one that a double cannot hold,
// as an exact number.
DataType column_type_of(const Row::Entry& entry) noexcept {
  if (entry.type != DataType::Integer && entry.type != DataType::Float) return entry.type;
  const std::string_view text = core::trim_white_space(entry.text);
  switch (core::number_change(entry.type, text)) {
    case core::NumberChange::Code:
      return DataType::Text;
    case core::NumberChange::TooLong:
      return DataType::Decimal;
    case core::NumberChange::None:
    case core::NumberChange::Rounded:
      break;
  }
  if (entry.type == DataType::Float && !core::double_keeps(text)) return DataType::Decimal;
  return entry.type;
}

// Beside the kinds of value, what a column's timestamps hold: fractions of a second, which
// MySQL keeps only in a DATETIME(6), and leap seconds without a zone, which its DATETIME
// refuses.
constexpr std::uint32_t fraction_bit = std::uint32_t{1} << 16;
constexpr std::uint32_t leap_second_bit = std::uint32_t{1} << 17;
constexpr std::uint32_t kind_bits = 0xFFFF;
static_assert(core::DataType::Json < 16, "the kinds' bits stay below the timestamps' own");

constexpr std::size_t no_source = static_cast<std::size_t>(-1);

// The bits a value adds to its column's: its own kind, text for a code or a false date, or an
// exact number for one a double cannot hold.
std::uint32_t bits_of(const Row::Entry& entry) noexcept {
  switch (entry.type) {
    case DataType::Integer:
    case DataType::Float:
      return bit(column_type_of(entry));
    case DataType::Date:
      // Typed Date, the trimmed text has the date's shape: only the date itself is in doubt.
      return bit(core::is_real_moment(core::trim_white_space(entry.text), true) ? DataType::Date
                                                                                 : DataType::Text);
    case DataType::Timestamp: {
      const std::string_view text = core::trim_white_space(entry.text);
      // Most timestamps are to the second: no fraction, no leap second, nothing to parse.
      if (core::is_common_real_moment(text)) return bit(DataType::Timestamp);
      const auto moment = core::parse_moment(text);
      // Finer fractions than microseconds would be rounded away by the engines.
      if (!moment || moment->fraction.size() > 6) return bit(DataType::Text);
      // A leap second with a zone goes to MySQL as a UTC time, which rolls it over.
      const bool is_bare_leap_second = moment->is_leap_second && !moment->offset;
      return bit(DataType::Timestamp) | (moment->fraction.empty() ? 0 : fraction_bit) |
             (is_bare_leap_second ? leap_second_bit : 0);
    }
    default:
      return bit(entry.type);
  }
}

DataType narrowest(std::uint32_t seen) noexcept {
  if (seen == 0) return DataType::Null;
  for (const DataType only : {DataType::Boolean, DataType::Uuid}) {
    if (seen == bit(only)) return only;
  }
  if ((seen & ~(bit(DataType::Integer) | bit(DataType::Float) | bit(DataType::Decimal))) == 0) {
    if ((seen & bit(DataType::Decimal)) != 0) return DataType::Decimal;
    return (seen & bit(DataType::Float)) != 0 ? DataType::Float : DataType::Integer;
  }
  if ((seen & ~(bit(DataType::Date) | bit(DataType::Timestamp))) == 0) {
    return (seen & bit(DataType::Timestamp)) != 0 ? DataType::Timestamp : DataType::Date;
  }
  return DataType::Text;
}

}  // namespace

std::string shortened(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
  return std::string(text.substr(0, limit)) + "...";
}

void Schema::add(const Row& row) {
  // A record with the names of the one before has the same columns: no name is looked up.
  if (!row.names_repeat() || columns_of_.size() != row.size()) {
    columns_of_.clear();
    for (const Row::Entry entry : row) {
      auto [at, is_new] = seen_.try_emplace(std::string(entry.name), bits_.size());
      if (is_new) {
        order_.push_back(at->first);
        bits_.push_back(0);
      }
      columns_of_.push_back(at->second);
    }
  }
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (row.type_at(i) == DataType::Null) continue;
    bits_[columns_of_[i]] |= bits_of(row[i]);
  }
}

void Schema::merge(const Schema& later) {
  for (const std::string& name : later.order_) {
    auto [at, is_new] = seen_.try_emplace(name, bits_.size());
    if (is_new) {
      order_.push_back(name);
      bits_.push_back(0);
    }
    bits_[at->second] |= later.bits_[later.seen_.at(name)];
  }
}

void Schema::finish(bool sorted, sql::Dialect dialect) {
  if (sorted) std::sort(order_.begin(), order_.end());
  columns_.clear();
  fractional_.clear();
  for (const std::string& name : order_) {
    const std::uint32_t seen = bits_[seen_.at(name)];
    DataType type = narrowest(seen & kind_bits);
    if (type == DataType::Timestamp && dialect == sql::Dialect::Mysql &&
        (seen & leap_second_bit) != 0) {
      type = DataType::Text;
    }
    columns_.append(name, {}, type);
    fractional_.push_back(type == DataType::Timestamp && (seen & fraction_bit) != 0);
  }
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Row::Entry entry = columns_[i];
    types_.emplace(entry.name, entry.type);
    positions_.emplace(entry.name, i);
  }
}

const Row& Schema::complete(const Row& row, Completion& state) const {
  if (!row.names_repeat() || !state.has_names) {
    state.has_names = true;
    // Every CSV record with a header, and every JSON record with all the keys, passes as it is.
    state.is_whole = row.size() == columns_.size() && row.has_same_names(columns_);
    if (!state.is_whole) {
      state.sources.assign(columns_.size(), no_source);
      for (std::size_t i = 0; i < row.size(); ++i) {
        // Only a record past a failure the first reading met can hold an unknown name, and
        // it is never written.
        const auto at = positions_.find(row[i].name);
        if (at != positions_.end()) state.sources[at->second] = i;
      }
    }
  }
  if (state.is_whole) return row;
  Row& full = state.row;
  if (full.empty()) {
    for (const Row::Entry entry : columns_) full.append(entry.name, {}, DataType::Null);
  }
  // The names stay, so that the writers see them repeat and keep their column lists.
  full.clear_texts();
  for (std::size_t column = 0; column < state.sources.size(); ++column) {
    const std::size_t i = state.sources[column];
    if (i == no_source) {
      full.set_text(column, {}, DataType::Null);
    } else {
      full.set_text_view(column, row[i].text, row.type_at(i));
    }
  }
  return full;
}

const DataType* Schema::types_for(const Row& row, std::vector<DataType>& scratch) const {
  if (!row.names_repeat() || scratch.size() != row.size()) {
    scratch.clear();
    for (const Row::Entry entry : row) scratch.push_back(types_.at(entry.name));
  }
  return scratch.data();
}

FirstRecordTypes::FirstRecordTypes(const FirstRecordTypes& other)
    : names_(other.names_),
      name_ends_(other.name_ends_),
      types_(other.types_),
      surely_kept_(other.surely_kept_),
      text_takes_integers_(other.text_takes_integers_),
      reported_missing_(other.reported_missing_) {}

FirstRecordTypes& FirstRecordTypes::operator=(const FirstRecordTypes& other) {
  if (this == &other) return *this;
  names_ = other.names_;
  name_ends_ = other.name_ends_;
  index_.clear();
  types_ = other.types_;
  surely_kept_ = other.surely_kept_;
  text_takes_integers_ = other.text_takes_integers_;
  reported_missing_ = other.reported_missing_;
  columns_of_.clear();
  return *this;
}

void FirstRecordTypes::remember(const Row& first_row) {
  for (const Row::Entry entry : first_row) {
    names_.append(entry.name);
    name_ends_.push_back(names_.size());
    types_.push_back(entry.type);
    // NULL and the column's own type always; a float column takes integers, a timestamp one
    // dates. Everything else is judged value by value.
    std::uint32_t kept = bit(DataType::Null) | bit(entry.type);
    if (entry.type == DataType::Float) kept |= bit(DataType::Integer);
    if (entry.type == DataType::Timestamp) kept |= bit(DataType::Date);
    surely_kept_.push_back(kept);
    text_takes_integers_.push_back(entry.type == DataType::Null || entry.type == DataType::Text);
  }
}

std::string_view FirstRecordTypes::name(std::size_t column) const noexcept {
  const std::size_t start = column == 0 ? 0 : name_ends_[column - 1];
  return std::string_view(names_).substr(start, name_ends_[column] - start);
}

std::size_t FirstRecordTypes::column_of(std::string_view name) {
  if (index_.empty()) {
    index_.reserve(types_.size());
    for (std::size_t i = 0; i < types_.size(); ++i) index_.emplace(this->name(i), i);
  }
  const auto at = index_.find(name);
  return at == index_.end() ? missing : at->second;
}

void FirstRecordTypes::map_columns(const Row& row) {
  columns_of_.clear();
  // The first record's names in its order, as every CSV record has them, need no index.
  std::size_t same = 0;
  if (row.size() == types_.size()) {
    while (same < row.size() && row[same].name == name(same)) ++same;
  }
  if (same == types_.size()) {
    for (std::size_t i = 0; i < same; ++i) columns_of_.push_back(i);
    return;
  }
  for (const Row::Entry entry : row) columns_of_.push_back(column_of(entry.name));
}

bool FirstRecordTypes::claim(std::string_view column, bool is_missing) {
  if (is_missing) return reported_missing_.insert(std::string(column)).second;
  const std::size_t at = column_of(column);
  if (surely_kept_[at] == ~std::uint32_t{0}) return false;
  surely_kept_[at] = ~std::uint32_t{0};
  return true;
}

std::optional<FirstRecordTypes::Loss> FirstRecordTypes::find_loss(std::size_t column,
                                                                  const Row::Entry& entry,
                                                                  sql::Dialect dialect) {
  if (column == missing) {
    if (!reported_missing_.insert(std::string(entry.name)).second) return std::nullopt;
    return Loss{entry.name, DataType::Null, entry.text, true};
  }
  if (sql::column_keeps(types_[column], entry.type, entry.text, dialect)) return std::nullopt;
  surely_kept_[column] = ~std::uint32_t{0};
  return Loss{entry.name, types_[column], core::trim_white_space(entry.text), false};
}

core::Notice describe_loss(const FirstRecordTypes::Loss& loss, std::uint64_t record,
                           sql::Dialect dialect) {
  const std::string where = "record " + std::to_string(record);
  if (loss.is_missing) {
    return core::advice(where + " has a column '" + std::string(loss.column) +
                            "' that the table, made from the first record, lacks; use ",
                        {"schema_from", "all"}, " to make the table from every record");
  }
  const std::string type(sql::column_type_name(loss.column_type, dialect));
  return core::advice("column '" + std::string(loss.column) + "' is " + type +
                          " from the first record, but " + where + " holds '" +
                          shortened(loss.text, 60) + "', which " + type + " cannot keep; use ",
                      {"schema_from", "all"}, " to type each column from every record");
}

core::Notice describe_change(const ChangedNumbers::Change& change, std::uint64_t record) {
  const std::string where = "column '" + std::string(change.column) + "' holds '" +
                            shortened(change.text, 60) + "' in record " + std::to_string(record);
  if (change.change == core::NumberChange::Rounded) {
    return core::advice(where + ", which a double cannot hold: it is written as " +
                            std::string(change.became) + "; use ",
                        {"schema_from", "all"}, " to keep every digit");
  }
  if (change.change == core::NumberChange::TooLong) {
    return core::advice(where +
                            ", an integer beyond 64 bits, written as a float: a float column "
                            "keeps only its first 15 to 17 digits; use ",
                        {"schema_from", "all"}, " to keep every digit");
  }
  return core::advice(where +
                          ", written as a number: the database keeps its value, not its text; "
                          "use ",
                      {"schema_from", "all"}, " to keep such values as text");
}

bool FalseDates::is_real(std::string_view text, DataType type) noexcept {
  return core::is_real_moment(core::trim_white_space(text), type == DataType::Date);
}

core::Notice describe_false_date(std::string_view column, std::string_view text, DataType type,
                                 std::uint64_t record) {
  const bool is_date = type == DataType::Date;
  return core::advice("column '" + std::string(column) + "' holds '" +
                          shortened(core::trim_white_space(text), 60) + "' in record " +
                          std::to_string(record) + ", shaped like a " +
                          (is_date ? "date" : "timestamp") + " but no real one, which a " +
                          (is_date ? "DATE" : "timestamp") + " column refuses; use ",
                      {"schema_from", "all"}, " to type each column from every record");
}

}  // namespace morvel::convert
