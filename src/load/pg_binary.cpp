#include "load/pg_binary.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/calendar.hpp"
#include "core/text.hpp"
#include "load/values.hpp"
#include "sql/literal.hpp"

namespace morvel::load {

namespace {

using core::DataType;

// Days from 1970-01-01, where the helpers count from, to 2000-01-01, where PostgreSQL does.
constexpr std::int64_t epoch_days = 10957;
constexpr std::int64_t micros_per_day = 86'400'000'000;

// More columns than a table may have; the text format lets the server say so.
constexpr std::size_t most_columns = 1600;

template <class T>
char* put(char* at, T value) noexcept {
  const auto bits = std::bit_cast<std::make_unsigned_t<T>>(value);
  for (int shift = 8 * (static_cast<int>(sizeof(T)) - 1); shift >= 0; shift -= 8) {
    *at++ = static_cast<char>(bits >> shift);
  }
  return at;
}

char* put_bytes(char* at, std::string_view bytes) noexcept {
  at = put(at, static_cast<std::int32_t>(bytes.size()));
  std::memcpy(at, bytes.data(), bytes.size());
  return at + bytes.size();
}

// A number that underflowed to zero: its digits before any exponent are not all zero.
bool is_underflow(std::string_view text) noexcept {
  const std::string_view digits = text.substr(0, text.find_first_of("eE"));
  return digits.find_first_of("123456789") != std::string_view::npos;
}

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char* put_uuid(char* at, std::string_view text) noexcept {
  if (text.size() != 36) return nullptr;
  at = put(at, std::int32_t{16});
  int high = -1;
  for (const char c : text) {
    if (c == '-') continue;
    const int digit = hex_digit(c);
    if (digit < 0) return nullptr;
    if (high < 0) {
      high = digit;
    } else {
      *at++ = static_cast<char>(high * 16 + digit);
      high = -1;
    }
  }
  return at;
}

// Microseconds from 2000-01-01 00:00:00 UTC to the time of a timestamp's text, read in UTC when
// it has no zone and `is_utc`.
std::optional<std::int64_t> micros_of(std::string_view text, bool is_utc) noexcept {
  const auto moment = core::parse_moment(text);
  // Beyond microseconds the server rounds, which is left to it.
  if (!moment || (!moment->offset && !is_utc) || moment->fraction.size() > 6) return std::nullopt;
  const int offset = moment->offset.value_or(0);
  std::int64_t micros = 0;
  for (std::size_t i = 0; i < 6; ++i) {
    micros = micros * 10 + (i < moment->fraction.size() ? moment->fraction[i] - '0' : 0);
  }
  const std::int64_t seconds = moment->seconds - std::int64_t{offset} * 60 - epoch_days * 86400;
  return seconds * 1'000'000 + micros;
}

// Writes the field of one value at `at`, which has room for it and 20 bytes more, and returns
// its end; nullptr when the value is not written so.
char* put_field(char* at, std::string_view text, DataType type, PgType column,
                bool is_utc) noexcept {
  if (type == DataType::Null) return put(at, std::int32_t{-1});
  switch (column) {
    case PgType::Text:
      if (type == DataType::Boolean) text = sql::is_true_text(text) ? "true" : "false";
      if (text.size() > std::numeric_limits<std::int32_t>::max()) return nullptr;
      return put_bytes(at, text);
    case PgType::Int8: {
      const auto number = type == DataType::Integer ? parse_integer(text) : std::nullopt;
      return number ? put(put(at, std::int32_t{8}), *number) : nullptr;
    }
    case PgType::Float8: {
      const bool is_number = type == DataType::Integer || type == DataType::Float;
      const auto number = is_number ? parse_double(text) : std::nullopt;
      // The server refuses what lies beyond the range of doubles.
      if (!number || std::isinf(*number) || (*number == 0 && is_underflow(text))) return nullptr;
      return put(put(at, std::int32_t{8}), std::bit_cast<std::int64_t>(*number));
    }
    case PgType::Bool:
      if (type != DataType::Boolean) return nullptr;
      at = put(at, std::int32_t{1});
      *at++ = sql::is_true_text(text) ? 1 : 0;
      return at;
    case PgType::Date: {
      const auto days = type == DataType::Date ? core::parse_date(text) : std::nullopt;
      if (!days) return nullptr;
      return put(put(at, std::int32_t{4}), static_cast<std::int32_t>(*days - epoch_days));
    }
    case PgType::Timestamptz: {
      std::optional<std::int64_t> micros;
      if (type == DataType::Timestamp) {
        micros = micros_of(text, is_utc);
      } else if (type == DataType::Date && is_utc) {
        if (const auto days = core::parse_date(text))
          micros = (*days - epoch_days) * micros_per_day;
      }
      return micros ? put(put(at, std::int32_t{8}), *micros) : nullptr;
    }
    case PgType::Uuid:
      return type == DataType::Uuid ? put_uuid(at, text) : nullptr;
    case PgType::Jsonb:
      // A version byte, then the JSON text as the text format has it.
      if (type != DataType::Json || text.size() >= std::numeric_limits<std::int32_t>::max()) {
        return nullptr;
      }
      at = put(at, static_cast<std::int32_t>(text.size() + 1));
      *at++ = 1;
      std::memcpy(at, text.data(), text.size());
      return at + text.size();
    case PgType::Other:
      break;
  }
  return nullptr;
}

}  // namespace

PgType pg_type_of(std::string_view name) noexcept {
  if (name == "bigint") return PgType::Int8;
  if (name == "double precision") return PgType::Float8;
  if (name == "boolean") return PgType::Bool;
  if (name == "date") return PgType::Date;
  if (name == "timestamp with time zone") return PgType::Timestamptz;
  if (name == "uuid") return PgType::Uuid;
  if (name == "text") return PgType::Text;
  if (name == "jsonb") return PgType::Jsonb;
  return PgType::Other;
}

bool append_binary_row(core::ByteBuffer& out, const core::Row& row, const DataType* types,
                       std::span<const PgType> columns, bool is_utc) {
  if (row.size() > most_columns || row.size() != columns.size()) return false;
  char* at = out.room(2 + row.text_bytes() + 24 * row.size());
  at = put(at, static_cast<std::int16_t>(row.size()));
  for (std::size_t i = 0; i < row.size(); ++i) {
    const core::Row::Entry entry = row[i];
    const DataType type = types != nullptr && entry.type != DataType::Null ? types[i] : entry.type;
    at = put_field(at, core::trim_white_space(entry.text), type, columns[i], is_utc);
    if (at == nullptr) return false;
  }
  out.commit(at);
  return true;
}

}  // namespace morvel::load
