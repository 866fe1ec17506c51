#include "convert/typing.hpp"

#include <string>

#include "core/text.hpp"
#include "readers/json_syntax.hpp"

namespace morvel::convert {

using core::DataType;
using core::Result;
using core::Row;

ColumnTyping::ColumnTyping(const std::vector<DeclaredType>& declared, const Schema* schema)
    : declared_(declared), schema_(schema) {
  for (const DeclaredType& column : declared_) by_name_.emplace(column.column, column.type);
}

Result<Row> ColumnTyping::table_columns(const Row& columns) const {
  for (const DeclaredType& column : declared_) {
    if (columns.find(column.column)) continue;
    std::string message =
        "column '" + column.column + "' given a type is not in the data (available columns: ";
    bool first = true;
    for (const Row::Entry entry : columns) {
      if (!first) message += ", ";
      first = false;
      message += entry.name;
    }
    return std::unexpected(core::invalid(std::move(message) + ")"));
  }
  Row table;
  for (const Row::Entry entry : columns) {
    const auto declared = by_name_.find(entry.name);
    table.append(entry.name, {}, declared != by_name_.end() ? declared->second : entry.type);
  }
  return table;
}

RowTyper::RowTyper(const ColumnTyping& typing) : typing_(typing) {}

RowTyper::~RowTyper() = default;

bool RowTyper::fits(DataType declared, const Row::Entry& entry) {
  switch (declared) {
    case DataType::Integer:
      return entry.type == DataType::Integer;
    case DataType::Float:
      return entry.type == DataType::Integer || entry.type == DataType::Float;
    case DataType::Timestamp:
      return entry.type == DataType::Timestamp || entry.type == DataType::Date;
    case DataType::Json:
      if (!json_) json_ = std::make_unique<readers::json::Parser>(readers::json::Origin::Line);
      json_->reset(core::trim_white_space(entry.text), true);
      return json_->check();
    case DataType::Text:
      return true;
    default:
      return entry.type == declared;
  }
}

Result<const DataType*> RowTyper::typed(const Row& row) {
  if (!row.names_repeat() || types_.size() != row.size()) {
    if (typing_.schema_ != nullptr) {
      typing_.schema_->types_for(row, types_);
    } else {
      types_.clear();
      for (std::size_t i = 0; i < row.size(); ++i) types_.push_back(row.type_at(i));
    }
    declared_at_.clear();
    const auto& by_name = typing_.by_name_;
    for (std::size_t i = 0; i < row.size() && !by_name.empty(); ++i) {
      const auto declared = by_name.find(row[i].name);
      if (declared == by_name.end()) continue;
      types_[i] = declared->second;
      declared_at_.push_back(i);
    }
  } else if (typing_.schema_ == nullptr) {
    // Without a schema, a column without a declared type takes each value's own.
    std::size_t next = 0;
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (next < declared_at_.size() && declared_at_[next] == i) {
        ++next;
      } else {
        types_[i] = row.type_at(i);
      }
    }
  }
  for (const std::size_t i : declared_at_) {
    const Row::Entry entry = row[i];
    if (entry.type == DataType::Null || fits(types_[i], entry)) continue;
    return std::unexpected(core::invalid(
        "value '" + shortened(core::trim_white_space(entry.text), 60) + "' in column '" +
        std::string(entry.name) + "' is not of type " + std::string(column_type_word(types_[i]))));
  }
  return types_.data();
}

core::Error at_record(core::Error error, const readers::RecordPlace& place) {
  error.message = "record " + std::to_string(place.record) +
                  " (line: " + std::to_string(place.line) +
                  ", byte: " + std::to_string(place.byte) + "): " + error.message;
  return error;
}

}  // namespace morvel::convert
