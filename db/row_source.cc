#include "db/row_source.h"

#include <sqlite3.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "db/ado_connection.h"
#include "db/pg_cursor.h"
#include "db/sqlite_handle.h"
#include "db/statement_cache.h"

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

// Steps the statement, counts with a separate COUNT(*) and skips rows by running the query
// again with an OFFSET. `query_` runs the text as given, `skip_` the same wrapped with the
// OFFSET; both are lent by the connection and go back to it with the source.
class SqliteRows final : public RowSource {
 public:
  SqliteRows(TADOConnection& connection, std::string sql, PreparedStatement query)
      : connection_(connection), sql_(std::move(sql)), query_(std::move(query)) {
    cursor_ = query_.get();
  }
  ~SqliteRows() override {
    connection_.ReturnStatement(std::move(query_));
    connection_.ReturnStatement(std::move(skip_));
  }
  SqliteRows(const SqliteRows&) = delete;
  SqliteRows& operator=(const SqliteRows&) = delete;

  bool on_row() const override { return on_row_; }
  Variant value(size_t i) const override { return column_value(cursor_, static_cast<int>(i)); }

  void first() override {
    if (skip_) {
      sqlite3_reset(skip_.get());
    }
    sqlite3_reset(query_.get());
    cursor_ = query_.get();
    step();
  }

  void next() override { step(); }

  int64_t seek(int64_t from, int64_t index) override {
    if (can_skip_with_offset()) {
      // SQLite skips the offset inside one statement, without handing each row out.
      sqlite3_reset(skip_.get());
      sqlite3_bind_int64(skip_.get(), 1, index);
      sqlite3_reset(query_.get());
      cursor_ = skip_.get();
      step();
      return index;
    }
    while (on_row_ && from < index) {
      ++from;
      step();
    }
    return from;
  }

  int64_t count() override {
    if (!count_) {
      count_ = count_rows();
    }
    return *count_;
  }

  void step() {
    const int rc = sqlite3_step(cursor_);
    if (rc == SQLITE_ROW) {
      on_row_ = true;
    } else if (rc == SQLITE_DONE) {
      on_row_ = false;
    } else {
      throw_sqlite_error(connection_.handle(), rc, "sqlite3_step");
    }
  }

  sqlite3_stmt* cursor() const { return cursor_; }

 private:
  bool can_skip_with_offset() {
    if (!skip_usable_) {
      skip_usable_ = false;
      if (sqlite3_stmt_readonly(query_.get()) != 0) {
        skip_ = try_take_single(connection_,
                                "SELECT * FROM " + as_subquery(sql_) + " LIMIT -1 OFFSET ?1");
        skip_usable_ =
            skip_ && sqlite3_column_count(skip_.get()) == sqlite3_column_count(query_.get());
      }
    }
    return *skip_usable_;
  }

  int64_t count_rows() {
    sqlite3* db = connection_.handle();
    // While the cursor's statement is running, the count reads the same snapshot.
    int64_t count = 0;
    if (PreparedStatement stmt =
            try_take_single(connection_, "SELECT COUNT(*) FROM " + as_subquery(sql_))) {
      const int rc = sqlite3_step(stmt.get());
      if (rc != SQLITE_ROW) {
        throw_sqlite_error(db, rc, "sqlite3_step");
      }
      count = sqlite3_column_int64(stmt.get(), 0);
      connection_.ReturnStatement(std::move(stmt));
    } else {
      // Not a plain query (PRAGMA, a trailing comment...): count by stepping a second cursor.
      StatementPtr again = prepare_statement(db, sql_);
      int rc;
      while ((rc = sqlite3_step(again.get())) == SQLITE_ROW) {
        ++count;
      }
      if (rc != SQLITE_DONE) {
        throw_sqlite_error(db, rc, "sqlite3_step");
      }
    }
    return count;
  }

  TADOConnection& connection_;
  const std::string sql_;
  PreparedStatement query_;
  PreparedStatement skip_;
  sqlite3_stmt* cursor_ = nullptr;  // query_ or skip_
  bool on_row_ = false;
  std::optional<bool> skip_usable_;
  std::optional<int64_t> count_;
};

// Reads a server-side cursor in batches; the server moves it to skip rows.
class PgRows final : public RowSource {
 public:
  explicit PgRows(std::unique_ptr<PgCursor> cursor) : cursor_(std::move(cursor)) {
    on_row_ = cursor_->next();
  }

  bool on_row() const override { return on_row_; }
  Variant value(size_t i) const override { return cursor_->value(i); }
  void first() override {
    cursor_->seek(0);
    on_row_ = cursor_->next();
  }
  void next() override { on_row_ = cursor_->next(); }
  int64_t seek(int64_t /*from*/, int64_t index) override {
    // The skipped rows never travel.
    cursor_->seek(index);
    on_row_ = cursor_->next();
    return index;
  }
  int64_t count() override {
    if (!count_) {
      count_ = cursor_->count();
    }
    return *count_;
  }

 private:
  std::unique_ptr<PgCursor> cursor_;
  bool on_row_ = false;
  std::optional<int64_t> count_;
};

// The columns of a stepped statement; a column without a declared type (an expression) takes
// its type from the first row's value.
void describe_columns(sqlite3* db, sqlite3_stmt* stmt, bool on_row, TFieldDefs& defs) {
  const int count = sqlite3_column_count(stmt);
  defs.Clear();
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    const char* declared = sqlite3_column_decltype(stmt, i);
    const char* schema = sqlite3_column_database_name(stmt, i);
    const char* table = sqlite3_column_table_name(stmt, i);
    const char* origin = sqlite3_column_origin_name(stmt, i);
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
          on_row ? field_type_for_value(sqlite3_column_type(stmt, i)) : FieldType::kWideString;
      if (def.data_type == FieldType::kWideString) {
        def.size = kDefaultStringSize;
      }
    }
    def.required = not_null != 0;
    defs.Add(def);
  }
}

}  // namespace

MemoryRows::MemoryRows(std::vector<std::vector<Variant>> rows) {
  rows_.reserve(rows.size());
  for (std::vector<Variant>& values : rows) {
    rows_.push_back(Row{std::move(values)});
  }
}

int64_t MemoryRows::seek(int64_t /*from*/, int64_t index) {
  index_ = std::min(index, size());
  return index_;
}

void MemoryRows::append_pending(std::vector<Variant> values) {
  rows_.push_back(Row{std::move(values), true});
  index_ = size() - 1;
}

void MemoryRows::commit_pending() {
  for (Row& row : rows_) {
    row.pending_insert = false;
  }
}

std::unique_ptr<RowSource> open_sqlite_rows(TADOConnection& connection, const std::string& sql,
                                            TFieldDefs& defs) {
  sqlite3* db = connection.handle();
  std::string_view tail;
  PreparedStatement stmt = connection.TakeStatement(sql, &tail);
  if (!stmt) {
    throw DatabaseError("The command text holds no statement");
  }
  if (has_second_statement(db, tail)) {
    throw DatabaseError("A dataset opens one statement at a time: " + sql);
  }
  // Refused before it runs: opening an UPDATE would change data and return nothing.
  if (sqlite3_column_count(stmt.get()) == 0) {
    throw DatabaseError("The command text returns no rows: " + sql);
  }
  const bool read_only = sqlite3_stmt_readonly(stmt.get()) != 0;
  auto rows = std::make_unique<SqliteRows>(connection, sql, std::move(stmt));
  rows->step();
  describe_columns(db, rows->cursor(), rows->on_row(), defs);
  if (read_only) {
    return rows;
  }
  // A statement that writes ("... RETURNING") must run exactly once: its rows are kept in
  // memory, so that moving back, counting and saving never run it again.
  std::vector<std::vector<Variant>> kept;
  for (; rows->on_row(); rows->step()) {
    std::vector<Variant>& values = kept.emplace_back();
    values.reserve(defs.Count());
    for (size_t i = 0; i < defs.Count(); ++i) {
      values.push_back(rows->value(i));
    }
  }
  return std::make_unique<MemoryRows>(std::move(kept));
}

std::unique_ptr<RowSource> open_postgres_rows(TADOConnection& connection, const std::string& sql,
                                              TFieldDefs& defs) {
  auto cursor = std::make_unique<PgCursor>(connection.pg(), sql);
  defs.Clear();
  for (const TFieldDef& def : cursor->columns()) {
    defs.Add(def);
  }
  if (!cursor->streams()) {
    return std::make_unique<MemoryRows>(cursor->take_rows());
  }
  return std::make_unique<PgRows>(std::move(cursor));
}

}  // namespace appsrv::db
