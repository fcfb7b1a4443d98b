// Datasets: a forward cursor over a query on a TADOConnection, or a client-side dataset held
// in memory (no connection) that collects appended rows and saves them as a packet.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/database_error.h"
#include "db/field.h"
#include "db/row_source.h"

namespace appsrv::db {

class TADOConnection;

// Rows fetched as one block, indexed by field and then by row.
using RowBlock = std::vector<std::vector<Variant>>;

// A query cursor holds one row at a time, read from its row source (db/row_source.h): on SQLite
// a statement lent by the connection, on PostgreSQL a server-side cursor read in batches. A page
// of a large table never loads the table. Owned by one session; not thread-safe. The connection
// must outlive the dataset.
class TADODataSet {
 public:
  // A client-side dataset (no connection).
  TADODataSet() = default;
  explicit TADODataSet(TADOConnection* connection) : connection_(connection) {}
  // Gives its statements back to the connection.
  virtual ~TADODataSet();
  TADODataSet(const TADODataSet&) = delete;
  TADODataSet& operator=(const TADODataSet&) = delete;

  TADOConnection* Connection() const { return connection_; }
  void SetConnection(TADOConnection* connection);
  const std::string& CommandText() const { return command_text_; }
  void SetCommandText(std::string sql);

  // Runs the query (one statement) and stands on its first row. Throws DatabaseError.
  void Open();
  void Close() noexcept;
  bool Active() const { return active_; }

  // Rows of the whole result (counted once per Open).
  int64_t RecordCount();
  void First();
  void Next();
  // Moves n rows forward (backward when negative, stopping at the first row).
  void MoveBy(int64_t n);
  bool Eof() const { return eof_; }
  // Zero-based index of the current row.
  int64_t RecNo() const { return row_index_; }

  size_t FieldCount() const { return fields_.size(); }
  TField& Fields(size_t i) const { return *fields_.at(i); }
  // Throws DatabaseError("Field '<name>' not found") when no field has the name (ASCII case
  // folded).
  TField& FieldByName(std::string_view name) const;
  TField* FindField(std::string_view name) const;
  TFieldDefs& FieldDefs() { return field_defs_; }
  const TFieldDefs& FieldDefs() const { return field_defs_; }

  // Up to `count` rows from the current one, moving past them. With `max_text_bytes`, the block
  // also ends after the row that brings its text and blob values past that many bytes, so that
  // a caller bounding what it holds never copies many rows of large values at once.
  RowBlock GetRows(int64_t count, size_t max_text_bytes = SIZE_MAX);
  // The whole result in the recordset XML format: rows from the first, pending appended rows
  // inside rs:insert. The current row is kept.
  std::string Save();

  // Client-side dataset: fields from FieldDefs, no rows.
  void CreateDataSet();
  // Starts a new row: fields read null until assigned.
  void Append();
  // Stores the appended row as a pending insertion and stands on it.
  void Post();
  // Commits pending insertions locally; they are then plain rows.
  void UpdateBatch();

 private:
  void require_active() const;
  // The fields take the current row's values (nulls past the last row).
  void load_row();
  // Stands on row `index` of rows held in memory.
  void stand_on(MemoryRows& rows, int64_t index);
  void seek(int64_t index);

  TADOConnection* connection_ = nullptr;  // not owned
  std::string command_text_;
  bool active_ = false;
  bool eof_ = true;
  bool appending_ = false;
  int64_t row_index_ = 0;
  TFieldDefs field_defs_;
  std::vector<std::unique_ptr<TField>> fields_;
  std::unique_ptr<RowSource> source_;  // null while closed
};

// A dataset whose command text is called SQL.
class TADOQuery : public TADODataSet {
 public:
  using TADODataSet::TADODataSet;
  const std::string& SQL() const { return CommandText(); }
  void SetSQL(std::string sql) { SetCommandText(std::move(sql)); }
};

// Closes a dataset when the scope ends, however it ends: an open dataset holds a read snapshot
// of the database.
class TDataSetCloser {
 public:
  explicit TDataSetCloser(TADODataSet& dataset) : dataset_(dataset) {}
  ~TDataSetCloser() { dataset_.Close(); }
  TDataSetCloser(const TDataSetCloser&) = delete;
  TDataSetCloser& operator=(const TDataSetCloser&) = delete;

 private:
  TADODataSet& dataset_;
};

}  // namespace appsrv::db
