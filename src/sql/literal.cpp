#include "sql/literal.hpp"

#include <cstring>
#include <type_traits>

#include "core/calendar.hpp"
#include "core/scan.hpp"
#include "core/text.hpp"

namespace morvel::sql {

using core::DataType;
using core::Row;
namespace scan = core::scan;

namespace {

char* write_bytes(char* out, std::string_view s) noexcept {
  scan::copy(out, s.data(), s.size());
  return out + s.size();
}

// The rare kinds of value are written out of line, so that the common ones run in a function
// that needs few registers: its entry and exit were a fifth of its cost per value.
[[gnu::noinline]] char* write_boolean(char* out, std::string_view s, Dialect dialect) noexcept {
  const bool truth = is_true_text(s);
  if (dialect == Dialect::Sqlite) {
    *out++ = truth ? '1' : '0';
    return out;
  }
  return write_bytes(out, truth ? std::string_view("TRUE") : std::string_view("FALSE"));
}

// Writes `s` in apostrophes with every byte of `Specials` doubled.
template <char... Specials>
[[gnu::noinline]] char* write_doubling(char* out, std::string_view s) noexcept {
  static_assert(scan::copy_slack <= literal_slack);
  *out++ = '\'';
  out = scan::copy_doubling<Specials...>(out, s.data(), s.data() + s.size());
  *out++ = '\'';
  return out;
}

// A NUL byte ends a line for the engines' script readers, so inside a literal it is written as
// the dialect's own way of making one: outside the literal for PostgreSQL and SQLite, as an escape
// for MySQL. Such values are rare and written byte by byte.
template <Dialect::Kind D>
[[gnu::noinline]] char* write_literal_with_nul(char* out, std::string_view s) noexcept {
  constexpr std::string_view nul = D == Dialect::Mysql    ? "\\0"
                                   : D == Dialect::Sqlite ? "'||char(0)||'"
                                                          : "'||chr(0)||'";
  static_assert(nul.size() <= nul_literal_bytes);
  *out++ = '\'';
  for (const char c : s) {
    if (c == '\0') {
      std::memcpy(out, nul.data(), nul.size());
      out += nul.size();
      continue;
    }
    *out++ = c;
    if (c == '\'' || (D == Dialect::Mysql && c == '\\')) *out++ = c;
  }
  *out++ = '\'';
  return out;
}

// Apostrophes are doubled in every dialect. MySQL reads a backslash in a string literal as an
// escape, so a value ending in one would end the literal early; doubling it as well keeps the
// value and closes that injection route. `MayHoldNul` is false when the caller knows the value
// holds no NUL byte, which spares the search.
template <Dialect::Kind D, bool MayHoldNul>
char* write_string_literal(char* out, std::string_view s) noexcept {
  if constexpr (MayHoldNul) {
    if (std::memchr(s.data(), '\0', s.size()) != nullptr) return write_literal_with_nul<D>(out, s);
  }
  if constexpr (D == Dialect::Mysql) {
    return write_doubling<'\'', '\\'>(out, s);
  } else {
    return write_doubling<'\''>(out, s);
  }
}

// PostgreSQL reads a bare number as an exact NUMERIC; the other engines' exact columns are text,
// which a quoted value reaches with every digit. Out of line: a column is rarely exact.
template <Dialect::Kind D, bool MayHoldNul>
[[gnu::noinline]] char* write_decimal(char* out, std::string_view s) noexcept {
  if (D == Dialect::Postgres && !s.empty() && (core::is_digit(s.back()) || s.back() == '.')) {
    return write_bytes(out, s);
  }
  return write_string_literal<D, MayHoldNul>(out, s);
}

// A timestamp with a zone as the UTC time it stands for, in apostrophes, or nullptr when it has
// no zone or is no real time (it is then written as it stands). `s` is typed Timestamp, so its
// first ten bytes have the shape of a date.
[[gnu::noinline]] char* write_utc_literal(char* out, std::string_view s) noexcept {
  // A time to the second with a Z, the common form, is in UTC already: its T becomes a blank.
  if (s.size() == core::wall_time_size + 1 && (s.back() == 'Z' || s.back() == 'z') &&
      (s[10] == 'T' || s[10] == ' ') && core::detail::is_plain_time_at(s, 11) &&
      core::detail::is_real_date_head(s)) {
    *out++ = '\'';
    std::memcpy(out, s.data(), core::wall_time_size);
    out[10] = ' ';
    out += core::wall_time_size;
    *out++ = '\'';
    return out;
  }
  const auto moment = core::parse_moment(s);
  if (!moment || !moment->offset) return nullptr;
  *out++ = '\'';
  out = core::write_utc_wall_time(out, *moment);
  if (!moment->fraction.empty()) {
    *out++ = '.';
    out = write_bytes(out, moment->fraction);
  }
  *out++ = '\'';
  return out;
}

// A MySQL timestamp, entry `i` of its row, when some entries stand in a DATETIME column the
// script declared (`in_datetime`), out of line: the loop over the values keeps its few registers.
template <bool MayHoldNul>
[[gnu::noinline]] char* write_mysql_timestamp(char* out, std::string_view s,
                                              const std::uint8_t* in_datetime,
                                              std::size_t i) noexcept {
  if (in_datetime[i] != 0 && core::may_have_zone(s)) {
    if (char* const end = write_utc_literal(out, s)) return end;
  }
  return write_string_literal<Dialect::Mysql, MayHoldNul>(out, s);
}

template <Dialect::Kind D, bool MayHoldNul>
inline char* write_sql_value_for(char* out, std::string_view value, DataType type,
                                 const std::uint8_t* in_datetime = nullptr,
                                 std::size_t i = 0) noexcept {
  const std::string_view s = core::trim_white_space(value);
  switch (type) {
    case DataType::Null:
      std::memcpy(out, "NULL", 4);
      return out + 4;
    case DataType::Boolean:
      return write_boolean(out, s, D);
    case DataType::Float:
      // No engine accepts inf or nan as a bare word; quoted, PostgreSQL reads them as floats.
      // Only those words end in a letter, so a float ending in a digit or point skips the test.
      if (!s.empty() && !core::is_digit(s.back()) && s.back() != '.' &&
          core::is_non_finite_float(s)) {
        return write_string_literal<D, MayHoldNul>(out, s);
      }
      return write_bytes(out, s);
    case DataType::Integer:
      return write_bytes(out, s);
    case DataType::Decimal:
      return write_decimal<D, MayHoldNul>(out, s);
    case DataType::Timestamp:
      if constexpr (D == Dialect::Mysql) {
        if (in_datetime != nullptr) {
          return write_mysql_timestamp<MayHoldNul>(out, s, in_datetime, i);
        }
      }
      break;
    case DataType::Date:
    case DataType::Uuid:
    case DataType::Text:
    case DataType::Json:
      break;
  }
  return write_string_literal<D, MayHoldNul>(out, s);
}

// One loop per dialect, with the value writer inlined into it. `IsTyped`: each value is written
// as its column's type in `types` rather than its own; NULL stays NULL.
template <Dialect::Kind D, bool MayHoldNul, bool IsTyped>
char* write_value_list_for(char* out, const Row& row, const DataType* types,
                           const std::uint8_t* in_datetime) noexcept {
  const std::size_t size = row.size();
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0) {
      std::memcpy(out, ", ", 2);
      out += 2;
    }
    const Row::Entry entry = row[i];
    DataType type = entry.type;
    if constexpr (IsTyped) {
      if (type != DataType::Null) type = types[i];
    }
    out = write_sql_value_for<D, MayHoldNul>(out, entry.text, type, in_datetime, i);
  }
  return out;
}

// Calls `write.template operator()<D, MayHoldNul>()` for the dialect and the NUL case at hand.
template <class Write>
char* dispatch(Dialect dialect, bool may_hold_nul, Write write) noexcept {
  const auto for_dialect = [&]<bool MayHoldNul>(std::bool_constant<MayHoldNul>) {
    switch (dialect) {
      case Dialect::Sqlite:
        return write.template operator()<Dialect::Sqlite, MayHoldNul>();
      case Dialect::Mysql:
        return write.template operator()<Dialect::Mysql, MayHoldNul>();
      case Dialect::Postgres:
        break;
    }
    return write.template operator()<Dialect::Postgres, MayHoldNul>();
  };
  return may_hold_nul ? for_dialect(std::true_type{}) : for_dialect(std::false_type{});
}

}  // namespace

bool is_true_text(std::string_view s) noexcept {
  if (s.size() == 1) return s[0] == '1' || s[0] == 't' || s[0] == 'T';
  if (s.size() != 4) return false;
  return (s[0] | 0x20) == 't' && (s[1] | 0x20) == 'r' && (s[2] | 0x20) == 'u' &&
         (s[3] | 0x20) == 'e';
}

std::size_t max_value_list_size(const Row& row, bool may_hold_nul) noexcept {
  // Names are counted too (text_bytes); the bound only has to be safe. The slack is needed once:
  // what a literal writes past its end, the next one overwrites.
  return max_literal_size(row.text_bytes(), may_hold_nul) + 7 * row.size() + literal_slack;
}

char* write_value_list(char* out, const Row& row, Dialect dialect, bool may_hold_nul,
                       const DataType* types, const std::uint8_t* in_datetime) noexcept {
  if (types != nullptr) {
    return dispatch(dialect, may_hold_nul, [&]<Dialect::Kind D, bool MayHoldNul>() {
      return write_value_list_for<D, MayHoldNul, true>(out, row, types, in_datetime);
    });
  }
  return dispatch(dialect, may_hold_nul, [&]<Dialect::Kind D, bool MayHoldNul>() {
    return write_value_list_for<D, MayHoldNul, false>(out, row, nullptr, in_datetime);
  });
}

void append_sql_value(std::string& out, std::string_view value, DataType type, Dialect dialect) {
  const std::size_t size = out.size();
  const bool may_hold_nul = value.find('\0') != std::string_view::npos;
  const std::size_t room = max_literal_size(value.size(), may_hold_nul) + literal_slack;
  out.resize_and_overwrite(size + room, [&](char* data, std::size_t) {
    char* const end = dispatch(dialect, may_hold_nul, [&]<Dialect::Kind D, bool MayHoldNul>() {
      return write_sql_value_for<D, MayHoldNul>(data + size, value, type);
    });
    return static_cast<std::size_t>(end - data);
  });
}

std::string format_sql_value(std::string_view value, DataType type, Dialect dialect) {
  std::string out;
  append_sql_value(out, value, type, dialect);
  return out;
}

}  // namespace morvel::sql
