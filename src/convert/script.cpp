#include "convert/script.hpp"

#include <string_view>
#include <utility>

namespace morvel::convert {

using core::DataType;
using core::Row;
using core::Status;

namespace {

// MySQL commits a CREATE TABLE on its own, so its transaction starts after the statement; the
// others take the statement into the transaction.
bool ddl_commits(sql::Dialect dialect) noexcept { return dialect == sql::Dialect::Mysql; }

std::string_view begin_text(sql::Dialect dialect) noexcept {
  return ddl_commits(dialect) ? "START TRANSACTION;\n" : "BEGIN;\n";
}

}  // namespace

ScriptWriter::ScriptWriter(core::ByteSink& sink, const CheckedOptions& options,
                           core::Monitor* monitor, const Schema* schema)
    : sink_(sink),
      options_(options),
      inserts_(options->table_name, options->dialect, options->on_conflict,
               options.primary_key().key_columns()),
      direct_(sink.buffer()),
      schema_(schema),
      watch_(options->create_table && schema == nullptr && monitor != nullptr ? monitor
                                                                              : nullptr) {
  if (options->copy) copies_.emplace(options->table_name);
}

Status ScriptWriter::operator()(Row&& row) {
  if (row.holds_nul()) {
    for (const Row::Entry entry : row) {
      if (auto refused = sql::nul_identifier_error("column", entry.name)) {
        return std::unexpected(std::move(*refused));
      }
    }
  }
  ++record_;
  if (record_ == 1) {
    if (auto begun = begin(row); !begun) return begun;
  } else if (watch_ != nullptr) {
    first_types_.check(row, options_->dialect, [&](const FirstRecordTypes::Loss& loss) {
      watch_->warn(describe_loss(loss, record_, options_->dialect));
    });
  }
  const DataType* types = schema_ != nullptr ? schema_->types_for(row, column_types_) : nullptr;
  add(row, types);
  return hand_over();
}

// The transaction's start and the CREATE TABLE statement, in the order the dialect needs; nothing
// when the statement cannot be built.
Status ScriptWriter::begin(const Row& first_row) {
  const sql::Dialect dialect = options_->dialect;
  std::string create;
  if (options_->create_table) {
    const Row& columns = schema_ != nullptr ? schema_->columns() : first_row;
    auto statement = sql::generate_create_table_with_pk(options_->table_name, columns, dialect,
                                                        options_.primary_key());
    if (!statement) return std::unexpected(std::move(statement.error()));
    create = std::move(*statement) + "\n\n";
    if (watch_ != nullptr) first_types_.remember(first_row);
  }
  if (options_->transaction && !ddl_commits(dialect)) out().append(begin_text(dialect));
  out().append(create);
  if (options_->transaction && ddl_commits(dialect)) out().append(begin_text(dialect));
  has_begun_ = options_->transaction;
  return {};
}

void ScriptWriter::add(const Row& row, const DataType* types) {
  core::ByteBuffer& to = out();
  if (copies_) {
    if (in_group_ > 0 && !copies_->has_columns_of(row)) close_group();
    if (in_group_ == 0) copies_->open(to, row);
    copies_->append_row(to, row, types);
    ++in_group_;
    return;
  }
  if (options_->batch_size == 1) {
    inserts_.append_line(to, row, types);
    return;
  }
  // A new statement starts after a full batch and whenever the column list changes.
  if (in_group_ > 0 && (in_group_ == options_->batch_size || !inserts_.has_columns_of(row))) {
    close_group();
  }
  if (in_group_ == 0) inserts_.open_batch(to, row);
  inserts_.append_tuple(to, row, types, in_group_ == 0);
  ++in_group_;
}

void ScriptWriter::close_group() {
  if (in_group_ == 0) return;
  if (copies_) {
    sql::CopyWriter::close(out());
  } else {
    inserts_.close_batch(out());
  }
  in_group_ = 0;
}

Status ScriptWriter::hand_over() {
  if (direct_ != nullptr) return sink_.appended();
  Status written = sink_.write(staging_.view());
  staging_.clear();
  return written;
}

Status ScriptWriter::finish() {
  close_group();
  if (has_begun_) out().append("COMMIT;\n");
  return hand_over();
}

Status ScriptWriter::abandon() {
  close_group();
  return hand_over();
}

}  // namespace morvel::convert
