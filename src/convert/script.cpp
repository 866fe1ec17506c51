#include "convert/script.hpp"

#include <algorithm>
#include <cassert>
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

// Every sink of a conversion lends its buffer, where statements are written straight.
core::ByteBuffer& lent_buffer(core::ByteSink& sink) noexcept {
  core::ByteBuffer* buffer = sink.buffer();
  assert(buffer != nullptr);
  return *buffer;
}

// Whether the rows are written in groups, INSERTs of several rows or COPY blocks, rather than a
// statement each.
bool is_grouped(const ConversionOptions& options) noexcept {
  return options.copy || options.batch_size > 1;
}

// Whether the watch goes through the dates of `row`, written as `types` if given: only a row its
// reader found a false date in is gone through. INSERTs written as declared types leave their
// dates to those types; COPY blocks have every row's dates looked at.
bool looks_at_dates(const Row& row, const DataType* types, const ConversionOptions& options) {
  return row.holds_false_date() && (types == nullptr || options.copy);
}

}  // namespace

Status refuse_nul_name_of(const Row& row) {
  for (const Row::Entry entry : row) {
    if (auto refused = sql::nul_identifier_error("column", entry.name)) {
      return std::unexpected(std::move(*refused));
    }
  }
  return {};
}

ValueWatch::ValueWatch(const ConversionOptions& options, const Schema* schema,
                       core::Monitor* monitor, const FilesRead* files)
    : monitor_(schema == nullptr ? monitor : nullptr),
      files_(files),
      dialect_(options.dialect),
      watches_losses_(options.create_table),
      declared_(&options.types) {
  // A declared column's values are checked against its type instead.
  if (monitor_ != nullptr) {
    for (const DeclaredType& declared : *declared_) (void)changes_.claim(declared.column);
  }
}

void ValueWatch::remember(const Row& first_row) {
  if (!watches_losses_ || monitor_ == nullptr) return;
  types_.remember(first_row);
  for (const DeclaredType& declared : *declared_) (void)types_.claim(declared.column, false);
}

// Warns with what `describe` says of record `record` of the run, as its own file counts it.
template <class Describe>
void ValueWatch::tell(std::uint64_t record, const Describe& describe) {
  const FilesRead::Place place =
      files_ != nullptr ? files_->place(record) : FilesRead::Place{record, nullptr};
  core::Notice notice = describe(place.record);
  if (place.path != nullptr) notice.input = *place.path;
  monitor_->warn(std::move(notice));
}

void ValueWatch::report_loss(const FirstRecordTypes::Loss& loss, std::uint64_t record) {
  // A value its column cannot keep says enough about the column's numbers too.
  if (!loss.is_missing) changes_.claim(loss.column);
  tell(record, [&](std::uint64_t at) { return describe_loss(loss, at, dialect_); });
}

void ValueWatch::check_changes(const Row& row, std::uint64_t record) {
  changes_.check(row, [&](const ChangedNumbers::Change& change) {
    if (changes_.claim(change.column)) {
      tell(record, [&](std::uint64_t at) { return describe_change(change, at); });
    }
  });
}

void ValueWatch::note(const Row& row, std::uint64_t row_index, std::vector<FoundLoss>& losses) {
  if (watches_losses_) {
    types_.check(row, dialect_, [&](const FirstRecordTypes::Loss& loss) {
      losses.push_back(FoundLoss{row_index, std::string(loss.column), loss.column_type,
                                 std::string(loss.text), loss.is_missing});
    });
  }
  changes_.check(row, [&](const ChangedNumbers::Change& change) {
    // Claimed in the copy, so that a piece notes one change per column.
    if (!changes_.claim(change.column)) return;
    losses.push_back(FoundLoss{row_index, std::string(change.column), DataType::Null,
                               std::string(change.text), false, change.change,
                               std::string(change.became)});
  });
}

void ValueWatch::check_dates(const Row& row, std::uint64_t record) {
  dates_.check(row, [&](const Row::Entry& entry) {
    tell(record, [&](std::uint64_t at) {
      return describe_false_date(entry.name, entry.text, entry.type, at);
    });
  });
}

void ValueWatch::note_dates(const Row& row, std::uint64_t row_index,
                            std::vector<FoundLoss>& losses) {
  // Claimed in the copy, so that a piece notes one false date per column.
  dates_.check(row, [&](const Row::Entry& entry) {
    losses.push_back(FoundLoss{row_index, std::string(entry.name), entry.type,
                               std::string(entry.text), false, core::NumberChange::None, {},
                               true});
  });
}

void ValueWatch::warn(const std::vector<FoundLoss>& losses, std::uint64_t rows_before) {
  for (const FoundLoss& found : losses) {
    const std::uint64_t record = rows_before + found.row + 1;
    if (found.is_false_date) {
      if (dates_.claim(found.column)) {
        tell(record, [&](std::uint64_t at) {
          return describe_false_date(found.column, found.text, found.column_type, at);
        });
      }
      continue;
    }
    if (found.change != core::NumberChange::None) {
      if (!changes_.claim(found.column)) continue;
      tell(record, [&](std::uint64_t at) {
        return describe_change({found.column, found.text, found.change, found.became}, at);
      });
      continue;
    }
    if (!types_.claim(found.column, found.is_missing)) continue;
    if (!found.is_missing) changes_.claim(found.column);
    const FirstRecordTypes::Loss loss{found.column, found.column_type, found.text,
                                      found.is_missing};
    tell(record, [&](std::uint64_t at) { return describe_loss(loss, at, dialect_); });
  }
}

void DeclaredDatetimes::declare(const Row& columns, sql::Dialect dialect) {
  if (dialect != sql::Dialect::Mysql) return;
  for (const Row::Entry entry : columns) {
    if (entry.type == DataType::Timestamp) names_.emplace(entry.name);
  }
}

const std::uint8_t* DeclaredDatetimes::flags_of(const Row& row) {
  if (!row.names_repeat() || flags_.size() != row.size()) {
    flags_.clear();
    for (const Row::Entry entry : row) flags_.push_back(names_.contains(entry.name) ? 1 : 0);
  }
  return flags_.data();
}

PieceWriter::PieceWriter(const CheckedOptions& options, const Schema* schema,
                         const ColumnTyping& typing, const ValueWatch* watched,
                         const DeclaredDatetimes& datetimes, std::vector<ScriptPiece>& pieces,
                         std::size_t bytes)
    : options_(options),
      typer_(typing),
      inserts_(options->table_name, options->dialect, options->on_conflict,
               options.primary_key().key_columns(), options->schema.value_or("")),
      schema_(schema),
      datetimes_(datetimes),
      pieces_(pieces),
      bytes_(bytes) {
  if (options->copy) copies_.emplace(options->table_name, options->schema.value_or(""));
  if (watched != nullptr) watched_ = *watched;
  if (BatchKeys::is_needed(options)) batch_keys_.emplace(options.primary_key().key_columns());
}

void PieceWriter::start(std::size_t slot) {
  piece_ = &pieces_[slot];
  piece_->bytes.clear();
  piece_->rows = 0;
  piece_->ends.clear();
  piece_->columns.clear();
  piece_->losses.clear();
  piece_->key_forms.clear();
  piece_->key_form_ends.clear();
  // Room made at once is only address space until written, and spares the copies of growing a
  // block that came from the heap rather than its own mapping. Refilling the same output spares
  // the page faults of fresh memory.
  piece_->bytes.reserve(bytes_);
  columns_ = {};
  if (watched_) watch_ = *watched_;
  datetimes_.forget();
  completion_.has_names = false;
}

Status PieceWriter::take(Row&& row) {
  if (auto refused = refuse_nul_names(row); !refused) return refused;
  ScriptPiece& piece = *piece_;
  const Row& full = schema_ != nullptr ? schema_->complete(row, completion_) : row;
  const auto typed = typer_.types_for(full);
  if (!typed) return std::unexpected(typed.error());
  const DataType* types = *typed;
  if (watch_) watch_->note(row, piece.rows, piece.losses);
  const std::uint8_t* in_datetime = datetimes_.entries_of(full);
  if (!is_grouped(*options_)) {
    inserts_.append_line(piece.bytes, full, types, in_datetime);
  } else {
    if (!columns_.matches(full)) {
      columns_.take(full);
      piece.columns.emplace_back(piece.rows, columns_.names());
    }
    if (copies_) {
      copies_->append_row(piece.bytes, full, types);
    } else {
      inserts_.append_tuple(piece.bytes, full, types, false, in_datetime);
    }
    piece.ends.push_back(piece.bytes.size());
    if (batch_keys_) {
      batch_keys_->form_of(row, key_form_);
      piece.key_forms += key_form_;
      piece.key_form_ends.push_back(piece.key_forms.size());
    }
  }
  if (watch_ && looks_at_dates(row, types, *options_)) {
    watch_->note_dates(row, piece.rows, piece.losses);
  }
  ++piece.rows;
  return {};
}

ScriptWriter::ScriptWriter(core::ByteSink& sink, const CheckedOptions& options,
                           core::Monitor* monitor, const Schema* schema, const FilesRead* files)
    : sink_(sink),
      options_(options),
      inserts_(options->table_name, options->dialect, options->on_conflict,
               options.primary_key().key_columns(), options->schema.value_or("")),
      out_(lent_buffer(sink)),
      schema_(schema),
      typing_(options->types, schema),
      typer_(typing_),
      watch_(*options, schema, monitor, files) {
  if (options->copy) copies_.emplace(options->table_name, options->schema.value_or(""));
  if (BatchKeys::is_needed(options)) batch_keys_.emplace(options.primary_key().key_columns());
}

Status ScriptWriter::operator()(Row&& row) {
  if (auto refused = refuse_nul_names(row); !refused) return refused;
  if (record_ == 0) {
    if (auto begun = begin(row); !begun) return begun;
  }
  // With the schema, every record has every column, so batches and COPY blocks run unbroken.
  const Row& full = schema_ != nullptr ? schema_->complete(row, completion_) : row;
  const auto typed = typer_.types_for(full);
  if (!typed) {
    has_refused_value_ = true;
    return std::unexpected(typed.error());
  }
  ++record_;
  if (watch_.is_on()) watch_.check(row, record_);
  add(full, *typed, datetimes_.entries_of(full));
  if (watch_.is_on() && looks_at_dates(row, *typed, *options_)) watch_.check_dates(row, record_);
  return hand_over();
}

// The transaction's start and the CREATE TABLE statement, in the order the dialect needs; nothing
// when the statement cannot be built.
Status ScriptWriter::begin(const Row& first_row) {
  const sql::Dialect dialect = options_->dialect;
  std::string create;
  auto columns = typing_.table_columns(schema_ != nullptr ? schema_->columns() : first_row);
  if (!columns) return std::unexpected(std::move(columns.error()));
  if (options_->create_table) {
    auto statement = sql::generate_create_table_with_pk(
        options_->table_name, *columns, dialect, options_.primary_key(),
        options_->schema.value_or(""),
        schema_ != nullptr ? schema_->fractional_times() : std::vector<bool>{});
    if (!statement) return std::unexpected(std::move(statement.error()));
    create = std::move(*statement) + "\n\n";
    watch_.remember(first_row);
    datetimes_.declare(*columns, dialect);
  }
  if (options_->transaction && !ddl_commits(dialect)) out_.append(begin_text(dialect));
  out_.append(create);
  if (options_->transaction && ddl_commits(dialect)) out_.append(begin_text(dialect));
  has_begun_ = options_->transaction;
  return {};
}

void ScriptWriter::add(const Row& row, const DataType* types, const std::uint8_t* in_datetime) {
  core::ByteBuffer& to = out_;
  if (copies_) {
    if (in_group_ > 0 && !copies_->has_columns_of(row)) close_group();
    if (in_group_ == 0) copies_->open(to, row);
    copies_->append_row(to, row, types);
    ++in_group_;
    return;
  }
  if (options_->batch_size == 1) {
    inserts_.append_line(to, row, types, in_datetime);
    return;
  }
  // A new statement starts after a full batch and whenever the column list changes.
  if (in_group_ > 0 && (in_group_ == options_->batch_size || !inserts_.has_columns_of(row))) {
    close_group();
  }
  if (batch_keys_) {
    batch_keys_->form_of(row, key_form_);
    if (batch_keys_->holds(key_form_)) close_group();
    batch_keys_->add(key_form_);
  }
  if (in_group_ == 0) inserts_.open_batch(to, row);
  inserts_.append_tuple(to, row, types, in_group_ == 0, in_datetime);
  ++in_group_;
}

std::unique_ptr<PieceWriter> ScriptWriter::piece_writer(std::vector<ScriptPiece>& pieces,
                                                        std::size_t bytes) const {
  return std::make_unique<PieceWriter>(options_, schema_, typing_,
                                       watch_.is_on() ? &watch_ : nullptr, datetimes_, pieces,
                                       bytes);
}

Status ScriptWriter::append(ScriptPiece& piece) {
  if (watch_.is_on()) watch_.warn(piece.losses, record_);
  if (is_grouped(*options_)) {
    append_grouped(piece);
  } else {
    // The sink takes the block as it is, after what its buffer holds, without copying it when
    // it writes to a descriptor.
    if (auto written = sink_.write(piece.bytes.view()); !written) return written;
  }
  record_ += piece.rows;
  return hand_over();
}

// The parts of a piece's rows, in statements or blocks of as many rows as a row by row script
// would have: a new one begins where the columns change and after a full batch. The parts of the
// rows between two such places are written in one go.
void ScriptWriter::append_grouped(const ScriptPiece& piece) {
  core::ByteBuffer& to = out_;
  const std::string_view bytes = piece.bytes.view();
  std::size_t change = 0;
  std::uint64_t row = 0;
  // Every piece notes the columns of its first row, so this is set before it is needed.
  const Row* group_columns = nullptr;
  while (row < piece.rows) {
    if (change < piece.columns.size() && piece.columns[change].first == row) {
      const Row& columns = piece.columns[change++].second;
      const bool is_same =
          copies_ ? copies_->has_columns_of(columns) : inserts_.has_columns_of(columns);
      if (!is_same) close_group();
      group_columns = &columns;
    }
    if (!copies_ && in_group_ == options_->batch_size) close_group();
    if (batch_keys_) {
      const std::size_t form_start = row == 0 ? 0 : piece.key_form_ends[row - 1];
      const std::string_view form = std::string_view(piece.key_forms)
                                        .substr(form_start, piece.key_form_ends[row] - form_start);
      key_form_.assign(form);
      if (batch_keys_->holds(key_form_)) close_group();
      batch_keys_->add(key_form_);
    }
    if (in_group_ == 0) {
      if (copies_) {
        copies_->open(to, *group_columns);
      } else {
        inserts_.open_batch(to, *group_columns);
      }
    }
    std::uint64_t next = piece.rows;
    if (change < piece.columns.size()) next = std::min(next, piece.columns[change].first);
    if (!copies_) next = std::min<std::uint64_t>(next, row + (options_->batch_size - in_group_));
    // Each row's key is looked at before it joins the batch.
    if (batch_keys_) next = row + 1;
    std::size_t from = row == 0 ? 0 : piece.ends[row - 1];
    // A batch's first tuple goes without the ",\n" that each tuple of a piece begins with.
    if (!copies_ && in_group_ == 0) from += 2;
    to.append(bytes.substr(from, piece.ends[next - 1] - from));
    in_group_ += static_cast<std::uint32_t>(next - row);
    row = next;
  }
}

void ScriptWriter::close_group() {
  if (batch_keys_) batch_keys_->clear();
  if (in_group_ == 0) return;
  if (copies_) {
    sql::CopyWriter::close(out_);
  } else {
    inserts_.close_batch(out_);
  }
  in_group_ = 0;
}

Status ScriptWriter::finish() {
  close_group();
  if (has_begun_) out_.append("COMMIT;\n");
  return hand_over();
}

Status ScriptWriter::abandon() {
  close_group();
  return hand_over();
}

}  // namespace morvel::convert
