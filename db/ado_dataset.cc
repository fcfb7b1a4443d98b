#include "db/ado_dataset.h"

#include <algorithm>

#include "base/text.h"
#include "db/ado_connection.h"
#include "db/recordset_packet.h"
#include "db/row_source.h"

namespace appsrv::db {

TADODataSet::~TADODataSet() { Close(); }

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
  source_ = connection_->is_postgres() ? open_postgres_rows(*connection_, command_text_, field_defs_)
                                       : open_sqlite_rows(*connection_, command_text_, field_defs_);
  for (const TFieldDef& def : field_defs_) {
    fields_.push_back(make_field(def));
  }
  active_ = true;
  row_index_ = 0;
  eof_ = !source_->on_row();
  load_row();
}

void TADODataSet::Close() noexcept {
  active_ = false;
  eof_ = true;
  appending_ = false;
  row_index_ = 0;
  source_.reset();  // a query gives its statements back to the connection
  fields_.clear();
}

void TADODataSet::load_row() {
  for (size_t i = 0; i < fields_.size(); ++i) {
    fields_[i]->SetValue(eof_ ? Variant() : source_->value(i));
  }
}

void TADODataSet::stand_on(MemoryRows& rows, int64_t index) {
  row_index_ = index;
  rows.stand_on(index);
  eof_ = !rows.on_row();
  load_row();
}

int64_t TADODataSet::RecordCount() {
  require_active();
  return source_->count();
}

void TADODataSet::First() {
  require_active();
  appending_ = false;
  row_index_ = 0;
  source_->first();
  eof_ = !source_->on_row();
  load_row();
}

void TADODataSet::Next() {
  require_active();
  if (eof_) {
    return;
  }
  ++row_index_;
  source_->next();
  eof_ = !source_->on_row();
  load_row();
}

void TADODataSet::seek(int64_t index) {
  // REQUIRES: index > row_index_ or a fresh First().
  if (index - row_index_ == 1) {
    Next();
    return;
  }
  row_index_ = source_->seek(row_index_, index);
  eof_ = !source_->on_row();
  load_row();
}

void TADODataSet::MoveBy(int64_t n) {
  require_active();
  appending_ = false;
  if (n == 0) {
    return;
  }
  const int64_t target = std::max<int64_t>(0, row_index_ + n);
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
  if (MemoryRows* rows = source_->memory()) {
    const int64_t keep = row_index_;
    bool any_pending = false;
    for (int64_t i = 0; i < rows->size(); ++i) {
      stand_on(*rows, i);
      if (rows->pending(i)) {
        any_pending = true;
      } else {
        writer.write_row(2);
      }
    }
    if (any_pending) {
      // Rows appended since the last UpdateBatch travel as insertions, grouped in one element.
      writer.open_element("rs:insert", 2);
      for (int64_t i = 0; i < rows->size(); ++i) {
        if (rows->pending(i)) {
          stand_on(*rows, i);
          writer.write_row(3);
        }
      }
      writer.close_element("rs:insert", 2);
    }
    stand_on(*rows, keep);
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
  source_ = std::make_unique<MemoryRows>();
  active_ = true;
  eof_ = true;
}

void TADODataSet::Append() {
  require_active();
  if (source_->memory() == nullptr) {
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
  MemoryRows& rows = *source_->memory();  // Append saw to it
  std::vector<Variant> values;
  values.reserve(fields_.size());
  for (const auto& field : fields_) {
    values.push_back(field->Value());
  }
  rows.append_pending(std::move(values));
  row_index_ = rows.size() - 1;
  eof_ = false;
  appending_ = false;
}

void TADODataSet::UpdateBatch() {
  require_active();
  if (MemoryRows* rows = source_->memory()) {
    rows->commit_pending();
  }
}

}  // namespace appsrv::db
