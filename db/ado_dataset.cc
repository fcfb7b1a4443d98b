#include "db/ado_dataset.h"

#include <sqlite3.h>

#include <algorithm>

#include "base/text.h"
#include "db/ado_connection.h"
#include "db/recordset_packet.h"

namespace appsrv::db {
namespace {

// The query text without trailing blanks and ";", ready to be wrapped as a subquery. The line
// breaks around it keep a trailing "--" comment from swallowing the closing parenthesis.
std::string as_subquery(std::string_view sql) {
  while (!sql.empty() && (static_cast<unsigned char>(sql.back()) <= ' ' || sql.back() == ';')) {
    sql.remove_suffix(1);
  }
  return "(\n" + std::string(sql) + "\n)";
}

Variant column_value(sqlite3_stmt* stmt, int i) {
  switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_INTEGER:
      return static_cast<int64_t>(sqlite3_column_int64(stmt, i));
    case SQLITE_FLOAT:
      return sqlite3_column_double(stmt, i);
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      return std::string(text == nullptr ? "" : text,
                         static_cast<size_t>(sqlite3_column_bytes(stmt, i)));
    }
    case SQLITE_BLOB: {
      const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, i));
      return std::string(blob == nullptr ? "" : blob,
                         static_cast<size_t>(sqlite3_column_bytes(stmt, i)));
    }
    default:
      return std::monostate{};
  }
}

// The statement of `sql` from the connection when the text is one statement; empty when SQLite
// rejects it.
PreparedStatement try_take_single(TADOConnection& connection, const std::string& sql) {
  std::string_view tail;
  PreparedStatement stmt;
  try {
    stmt = connection.TakeStatement(sql, &tail);
  } catch (const DatabaseError&) {
    return {};  // the wrapped form is an optimisation; the caller falls back
  }
  if (!stmt || has_second_statement(connection.handle(), tail)) {
    return {};
  }
  return stmt;
}

}  // namespace

void TADODataSet::SetConnection(TADOConnection* connection) {
  Close();
  connection_ = connection;
}

void TADODataSet::SetCommandText(std::string sql) { command_text_ = std::move(sql); }

void TADODataSet::require_active() const {
  if (!active_) {
    throw DatabaseError("Cannot perform this operation on a closed dataset");
  }
}

void TADODataSet::Open() {
  if (active_) {
    return;
  }
  if (connection_ == nullptr) {
    throw DatabaseError("Missing Connection or ConnectionString");
  }
  Close();
  if (connection_->is_postgres()) {
    open_postgres();
    return;
  }
  sqlite3* db = connection_->handle();
  std::string_view tail;
  PreparedStatement stmt = connection_->TakeStatement(command_text_, &tail);
  if (!stmt) {
    throw DatabaseError("The command text holds no statement");
  }
  if (has_second_statement(db, tail)) {
    throw DatabaseError("A dataset opens one statement at a time: " + command_text_);
  }
  // Refused before it runs: opening an UPDATE would change data and return nothing.
  if (sqlite3_column_count(stmt.get()) == 0) {
    throw DatabaseError("The command text returns no rows: " + command_text_);
  }
  query_ = std::move(stmt);
  cursor_ = query_.get();
  step();
  build_fields_from_statement();
  if (sqlite3_stmt_readonly(query_.get()) == 0) {
    // A statement that writes ("... RETURNING") must run exactly once: its rows are kept in
    // memory, so that moving back, counting and saving never run it again.
    for (; !eof_; step()) {
      Row row;
      row.values.reserve(fields_.size());
      for (size_t i = 0; i < fields_.size(); ++i) {
        row.values.push_back(column_value(cursor_, static_cast<int>(i)));
      }
      rows_.push_back(std::move(row));
    }
    cursor_ = nullptr;
    query_ = {};
    row_index_ = 0;
    active_ = true;
    load_row_from_memory();
    return;
  }
  active_ = true;
  load_row_from_statement();
}

void TADODataSet::open_postgres() {
  auto cursor = std::make_unique<PgCursor>(connection_->pg(), command_text_);
  field_defs_.Clear();
  fields_.clear();
  for (const TFieldDef& def : cursor->columns()) {
    field_defs_.Add(def);
    fields_.push_back(make_field(def));
  }
  active_ = true;
  row_index_ = 0;
  if (!cursor->streams()) {
    for (std::vector<Variant>& values : cursor->take_rows()) {
      rows_.push_back(Row{std::move(values)});
    }
    load_row_from_memory();
    return;
  }
  pg_ = std::move(cursor);
  eof_ = !pg_->next();
  load_row_from_statement();
}

void TADODataSet::Close() noexcept {
  active_ = false;
  eof_ = true;
  appending_ = false;
  row_index_ = 0;
  cursor_ = nullptr;
  if (connection_ != nullptr) {
    connection_->ReturnStatement(std::move(query_));
    connection_->ReturnStatement(std::move(skip_));
  }
  query_ = {};
  skip_ = {};
  skip_usable_.reset();
  pg_.reset();
  record_count_.reset();
  fields_.clear();
  rows_.clear();
}

void TADODataSet::build_fields_from_statement() {
  sqlite3* db = connection_->handle();
  const int count = sqlite3_column_count(cursor_);
  field_defs_.Clear();
  fields_.clear();
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(cursor_, i);
    const char* declared = sqlite3_column_decltype(cursor_, i);
    const char* schema = sqlite3_column_database_name(cursor_, i);
    const char* table = sqlite3_column_table_name(cursor_, i);
    const char* origin = sqlite3_column_origin_name(cursor_, i);
    int not_null = 0;
    int primary_key = 0;
    int autoincrement = 0;
    if (table != nullptr && origin != nullptr) {
      sqlite3_table_column_metadata(db, schema, table, origin, nullptr, nullptr, &not_null,
                                    &primary_key, &autoincrement);
    }
    TFieldDef def;
    if (declared != nullptr) {
      def = field_def_for_declared_type(name == nullptr ? "" : name, declared, autoincrement != 0);
    } else {
      def.name = name == nullptr ? "" : name;
      def.data_type =
          eof_ ? FieldType::kWideString : field_type_for_value(sqlite3_column_type(cursor_, i));
      if (def.data_type == FieldType::kWideString) {
        def.size = kDefaultStringSize;
      }
    }
    def.required = not_null != 0;
    field_defs_.Add(def);
    fields_.push_back(make_field(def));
  }
}

void TADODataSet::step() {
  const int rc = sqlite3_step(cursor_);
  if (rc == SQLITE_ROW) {
    eof_ = false;
  } else if (rc == SQLITE_DONE) {
    eof_ = true;
  } else {
    throw_sqlite_error(connection_->handle(), rc, "sqlite3_step");
  }
}

void TADODataSet::load_row_from_statement() {
  if (pg_ != nullptr) {
    for (size_t i = 0; i < fields_.size(); ++i) {
      fields_[i]->SetValue(eof_ ? Variant() : pg_->value(i));
    }
    return;
  }
  for (size_t i = 0; i < fields_.size(); ++i) {
    fields_[i]->SetValue(eof_ ? Variant() : column_value(cursor_, static_cast<int>(i)));
  }
}

void TADODataSet::load_row_from_memory() {
  eof_ = row_index_ >= static_cast<int64_t>(rows_.size());
  for (size_t i = 0; i < fields_.size(); ++i) {
    fields_[i]->SetValue(eof_ ? Variant() : rows_[static_cast<size_t>(row_index_)].values[i]);
  }
}

int64_t TADODataSet::RecordCount() {
  require_active();
  if (in_memory()) {
    return static_cast<int64_t>(rows_.size());
  }
  if (record_count_) {
    return *record_count_;
  }
  if (pg_ != nullptr) {
    record_count_ = pg_->count();
    return *record_count_;
  }
  sqlite3* db = connection_->handle();
  // While the cursor's statement is running, the count reads the same snapshot.
  int64_t count = 0;
  if (PreparedStatement stmt =
          try_take_single(*connection_, "SELECT COUNT(*) FROM " + as_subquery(command_text_))) {
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) {
      throw_sqlite_error(db, rc, "sqlite3_step");
    }
    count = sqlite3_column_int64(stmt.get(), 0);
    connection_->ReturnStatement(std::move(stmt));
  } else {
    // Not a plain query (PRAGMA, a trailing comment...): count by stepping a second cursor.
    StatementPtr again = prepare_statement(db, command_text_);
    int rc;
    while ((rc = sqlite3_step(again.get())) == SQLITE_ROW) {
      ++count;
    }
    if (rc != SQLITE_DONE) {
      throw_sqlite_error(db, rc, "sqlite3_step");
    }
  }
  record_count_ = count;
  return count;
}

void TADODataSet::First() {
  require_active();
  appending_ = false;
  row_index_ = 0;
  if (in_memory()) {
    load_row_from_memory();
    return;
  }
  if (pg_ != nullptr) {
    pg_->seek(0);
    eof_ = !pg_->next();
    load_row_from_statement();
    return;
  }
  if (skip_) {
    sqlite3_reset(skip_.get());
  }
  sqlite3_reset(query_.get());
  cursor_ = query_.get();
  step();
  load_row_from_statement();
}

void TADODataSet::Next() {
  require_active();
  if (eof_) {
    return;
  }
  ++row_index_;
  if (in_memory()) {
    load_row_from_memory();
    return;
  }
  if (pg_ != nullptr) {
    eof_ = !pg_->next();
    load_row_from_statement();
    return;
  }
  step();
  load_row_from_statement();
}

bool TADODataSet::can_skip_with_offset() {
  if (!skip_usable_) {
    skip_usable_ = false;
    if (sqlite3_stmt_readonly(query_.get()) != 0) {
      skip_ = try_take_single(*connection_, "SELECT * FROM " + as_subquery(command_text_) +
                                                " LIMIT -1 OFFSET ?1");
      skip_usable_ =
          skip_ && sqlite3_column_count(skip_.get()) == static_cast<int>(fields_.size());
    }
  }
  return *skip_usable_;
}

void TADODataSet::seek(int64_t index) {
  // REQUIRES: a query cursor, index > row_index_ or a fresh First().
  if (index - row_index_ == 1) {
    Next();
    return;
  }
  if (pg_ != nullptr) {
    // The server moves the cursor; the skipped rows never travel.
    pg_->seek(index);
    row_index_ = index;
    eof_ = !pg_->next();
    load_row_from_statement();
    return;
  }
  if (can_skip_with_offset()) {
    // SQLite skips the offset inside one statement, without handing each row out.
    sqlite3_reset(skip_.get());
    sqlite3_bind_int64(skip_.get(), 1, index);
    sqlite3_reset(query_.get());
    cursor_ = skip_.get();
    row_index_ = index;
    step();
    load_row_from_statement();
    return;
  }
  while (!eof_ && row_index_ < index) {
    ++row_index_;
    step();
  }
  load_row_from_statement();
}

void TADODataSet::MoveBy(int64_t n) {
  require_active();
  appending_ = false;
  if (n == 0) {
    return;
  }
  const int64_t target = std::max<int64_t>(0, row_index_ + n);
  if (in_memory()) {
    row_index_ = std::min<int64_t>(target, static_cast<int64_t>(rows_.size()));
    load_row_from_memory();
    return;
  }
  if (n < 0) {
    First();
    if (target > 0) {
      seek(target);
    }
    return;
  }
  if (!eof_) {
    seek(target);
  }
}

TField* TADODataSet::FindField(std::string_view name) const {
  for (const auto& field : fields_) {
    if (base::iequals(field->FieldName(), name)) {
      return field.get();
    }
  }
  return nullptr;
}

TField& TADODataSet::FieldByName(std::string_view name) const {
  TField* field = FindField(name);
  if (field == nullptr) {
    throw DatabaseError("Field '" + std::string(name) + "' not found");
  }
  return *field;
}

RowBlock TADODataSet::GetRows(int64_t count, size_t max_text_bytes) {
  require_active();
  RowBlock block(fields_.size());
  size_t text_bytes = 0;
  for (int64_t r = 0; r < count && !eof_ && text_bytes <= max_text_bytes; ++r) {
    for (size_t i = 0; i < fields_.size(); ++i) {
      const Variant& value = fields_[i]->Value();
      if (const auto* text = std::get_if<std::string>(&value)) {
        text_bytes += text->size();
      }
      block[i].push_back(value);
    }
    Next();
  }
  return block;
}

std::string TADODataSet::Save() {
  require_active();
  PacketWriter writer(fields_);
  if (in_memory()) {
    const int64_t keep = row_index_;
    bool any_pending = false;
    for (row_index_ = 0; row_index_ < static_cast<int64_t>(rows_.size()); ++row_index_) {
      load_row_from_memory();
      if (rows_[static_cast<size_t>(row_index_)].pending_insert) {
        any_pending = true;
      } else {
        writer.write_row(2);
      }
    }
    if (any_pending) {
      // Rows appended since the last UpdateBatch travel as insertions, grouped in one element.
      writer.open_element("rs:insert", 2);
      for (row_index_ = 0; row_index_ < static_cast<int64_t>(rows_.size()); ++row_index_) {
        if (rows_[static_cast<size_t>(row_index_)].pending_insert) {
          load_row_from_memory();
          writer.write_row(3);
        }
      }
      writer.close_element("rs:insert", 2);
    }
    row_index_ = keep;
    load_row_from_memory();
    return writer.finish();
  }
  const int64_t keep = row_index_;
  for (First(); !eof_; Next()) {
    writer.write_row(2);
  }
  First();
  if (keep > 0) {
    seek(keep);
  }
  return writer.finish();
}

void TADODataSet::CreateDataSet() {
  Close();
  for (const TFieldDef& def : field_defs_) {
    fields_.push_back(make_field(def));
  }
  active_ = true;
  eof_ = true;
}

void TADODataSet::Append() {
  require_active();
  if (!in_memory()) {
    throw DatabaseError("Cannot modify a read-only dataset");
  }
  appending_ = true;
  for (const auto& field : fields_) {
    field->Clear();
  }
}

void TADODataSet::Post() {
  require_active();
  if (!appending_) {
    throw DatabaseError("Dataset not in edit or insert mode");
  }
  Row row;
  row.pending_insert = true;
  row.values.reserve(fields_.size());
  for (const auto& field : fields_) {
    row.values.push_back(field->Value());
  }
  rows_.push_back(std::move(row));
  row_index_ = static_cast<int64_t>(rows_.size()) - 1;
  eof_ = false;
  appending_ = false;
}

void TADODataSet::UpdateBatch() {
  require_active();
  for (Row& row : rows_) {
    row.pending_insert = false;
  }
}

}  // namespace appsrv::db
