// Datasets: a forward cursor over a query on a TADOConnection, or a client-side dataset held
// in memory (no connection) that collects appended rows and saves them as a packet.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/field.h"
#include "db/pg_cursor.h"
#include "db/sqlite_handle.h"
#include "db/statement_cache.h"

namespace appsrv::db {

class TADOConnection;

// Rows fetched as one block, indexed by field and then by row.
using RowBlock = std::vector<std::vector<Variant>>;

// A query cursor holds one row at a time: on SQLite it steps the statement, counts with a
// separate COUNT(*) and skips rows by re-running the query with an OFFSET, and its statements
// come from (and go back to) the connection's kept statements; on PostgreSQL it
// reads a server-side cursor in batches (PgCursor). A page of a large table never loads the
// table. Owned by one session; not thread-safe. The connection
// must outlive the dataset.
class TADODataSet {
 public:
  // A client-side dataset (no connection).
  TADODataSet() = default;
  explicit TADODataSet(TADOConnection* connection) : connection_(connection) {}
  // Gives its statements back to the connection.
  virtual ~TADODataSet() { Close(); }
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
  struct Row {
    std::vector<Variant> values;
    bool pending_insert = false;
  };

  bool in_memory() const { return !query_ && pg_ == nullptr; }
  void open_postgres();
  void require_active() const;
  void build_fields_from_statement();
  void load_row_from_statement();
  void load_row_from_memory();
  void step();
  bool can_skip_with_offset();
  void seek(int64_t index);

  TADOConnection* connection_ = nullptr;  // not owned
  std::string command_text_;
  bool active_ = false;
  bool eof_ = true;
  bool appending_ = false;
  int64_t row_index_ = 0;
  std::optional<int64_t> record_count_;
  TFieldDefs field_defs_;
  std::vector<std::unique_ptr<TField>> fields_;

  // Query cursor: `query_` runs the text as given; `skip_` the same wrapped with an OFFSET.
  // Both are lent by the connection and given back on Close.
  PreparedStatement query_;
  PreparedStatement skip_;
  sqlite3_stmt* cursor_ = nullptr;  // query_ or skip_
  std::optional<bool> skip_usable_;
  // PostgreSQL query cursor.
  std::unique_ptr<PgCursor> pg_;

  // Client-side rows.
  std::vector<Row> rows_;
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
