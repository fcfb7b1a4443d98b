// A forward query result on a PostgreSQL connection that never holds the whole result: a
// scrollable server-side cursor fetched in batches, moved on the server to skip rows. Queries
// that are not plain reads (INSERT ... RETURNING) run once and keep their rows instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/field.h"
#include "db/pg_connection.h"

namespace appsrv::db {

// The definition of a result column from its PostgreSQL type (type OID and modifier) and the
// catalogue facts of the column it comes from.
TFieldDef field_def_for_pg_type(std::string name, unsigned type_oid, int type_modifier,
                                const PgColumnFacts& facts);
// A PostgreSQL text value as the SQLite backend would hold it: integers and booleans as
// int64, floats as double, numerics as int64 when whole and else double, bytea as bytes,
// everything else as text.
Variant pg_text_to_variant(unsigned type_oid, const char* text, int length);

// Borrows the connection, which must outlive it; not thread-safe.
class PgCursor {
 public:
  // Runs `sql` (one statement that returns rows). Throws DatabaseError; a statement that
  // returns no rows is refused before it runs.
  PgCursor(PgConnection& connection, const std::string& sql);
  ~PgCursor();
  PgCursor(const PgCursor&) = delete;
  PgCursor& operator=(const PgCursor&) = delete;

  const std::vector<TFieldDef>& columns() const { return columns_; }
  // False for a statement that changed data: its rows were all read at once.
  bool streams() const { return !cursor_name_.empty(); }
  // All rows of a statement that does not stream.
  std::vector<std::vector<Variant>> take_rows();

  // Moves to the next row; false past the last one.
  bool next();
  // The value of column i of the current row.
  Variant value(size_t i) const;
  // Positions before row `index` (zero-based), so that next() gives that row.
  void seek(int64_t index);
  // Rows of the whole result, counted on the server.
  int64_t count();

 private:
  void fetch_batch();
  // Column definitions from a result's description and the catalogue.
  void describe_columns(const pg_result* described);

  PgConnection& connection_;
  std::string sql_;
  std::string cursor_name_;
  bool own_transaction_ = false;
  std::vector<TFieldDef> columns_;
  std::vector<unsigned> column_types_;
  PgResultPtr batch_;
  int batch_row_ = -1;
  bool batch_was_last_ = false;
  std::optional<int64_t> count_;
  PgResultPtr kept_;  // the rows of a statement that does not stream
};

}  // namespace appsrv::db
