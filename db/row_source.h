// Where a dataset's rows come from: an SQLite statement, a PostgreSQL cursor, or rows held in
// memory. The dataset moves and reads through this one interface and never asks which it has.
// Each source is owned by one dataset; not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/field.h"

namespace appsrv::db {

class TADOConnection;
class MemoryRows;

class RowSource {
 public:
  virtual ~RowSource() = default;

  // False once the source has moved past its last row.
  virtual bool on_row() const = 0;
  // Field `i` of the current row. REQUIRES: on_row().
  virtual Variant value(size_t i) const = 0;
  virtual void first() = 0;
  // REQUIRES: on_row().
  virtual void next() = 0;
  // Moves from row `from` (the current one) to row `index`; REQUIRES: index > from, or a fresh
  // first(). Returns the index the source stands at, which may be short of `index` when the rows
  // end first; the dataset reports that as its row number.
  virtual int64_t seek(int64_t from, int64_t index) = 0;
  // Rows of the whole result.
  virtual int64_t count() = 0;
  // The rows themselves when they are held in memory (a client-side dataset, or a statement
  // that changed data and ran once); nullptr for a cursor.
  virtual MemoryRows* memory() { return nullptr; }
};

// Rows held in memory, some of them appended and pending until UpdateBatch.
class MemoryRows final : public RowSource {
 public:
  MemoryRows() = default;
  explicit MemoryRows(std::vector<std::vector<Variant>> rows);

  bool on_row() const override { return index_ < size(); }
  Variant value(size_t i) const override { return rows_[static_cast<size_t>(index_)].values[i]; }
  void first() override { index_ = 0; }
  void next() override { ++index_; }
  int64_t seek(int64_t from, int64_t index) override;
  int64_t count() override { return size(); }
  MemoryRows* memory() override { return this; }

  int64_t size() const { return static_cast<int64_t>(rows_.size()); }
  // Stands on row `index` (size() stands past the last).
  void stand_on(int64_t index) { index_ = index; }
  bool pending(int64_t index) const { return rows_[static_cast<size_t>(index)].pending_insert; }
  // Adds a pending row and stands on it.
  void append_pending(std::vector<Variant> values);
  // Pending rows become plain rows.
  void commit_pending();

 private:
  struct Row {
    std::vector<Variant> values;
    bool pending_insert = false;
  };
  std::vector<Row> rows_;
  int64_t index_ = 0;
};

// Runs `sql` (one statement that returns rows) on the connection, which must outlive the source,
// and stands on its first row; `defs` receives the result's columns. A statement that changes
// data runs here, once, and its rows come back held in memory. Throws DatabaseError.
std::unique_ptr<RowSource> open_sqlite_rows(TADOConnection& connection, const std::string& sql,
                                            TFieldDefs& defs);
std::unique_ptr<RowSource> open_postgres_rows(TADOConnection& connection, const std::string& sql,
                                              TFieldDefs& defs);

}  // namespace appsrv::db
