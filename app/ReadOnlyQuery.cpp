#include "app/ReadOnlyQuery.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <string_view>

#include "app/AllowedSqlFunctions.h"
#include "base/exception.h"
#include "base/text.h"

namespace appsrv::app {
namespace {

// Pragmas that only describe the schema; the database layer may read them to type columns.
constexpr std::array<std::string_view, 6> kReadingPragmas = {
    "table_info", "table_xinfo", "index_list", "index_info", "index_xinfo", "foreign_key_list"};

// Virtual machine steps between two looks at the clock. Most steps take nanoseconds, but one
// that appends to a text near the value limit copies the whole text (SQLite grows it by the
// exact size there), milliseconds each: 10 000 of them ran far past the deadline. A look at
// the clock every 1 000 steps costs about a thousandth of a query's time.
constexpr int kProgressSteps = 1000;

struct QueryLimit {
  int id;
  int value;
};

// SQLite's input limits while a scope is up, lowered after the table in SQLite's guide for
// untrusted SQL (security.html) as far as a grid or a report still fits. The schema is parsed
// under them too when another connection changed it during a scope, so each value must also
// hold the application's own schema (the demo database's fits with room to spare).
// SQLITE_LIMIT_LENGTH comes from the scope's max_value_bytes instead.
constexpr std::array<QueryLimit, 11> kQueryLimits = {{
    // Caller texts are a table name, field names, a filter and an order: a few kB at most;
    // an IN list of 1000 keys (5 kB) still fits. Lower than the guide's 100 000 because the
    // text bounds what no other limit does: SQLite expands a chain of CTEs ("c2 as (select *
    // from c1)", 20 bytes each) by recursion, about 350 bytes of stack per link, and a request
    // runs on a connection thread of 256 kB by default: 800 links (16 kB of text) kill the
    // process. 8 kB holds at most about 400.
    {SQLITE_LIMIT_SQL_LENGTH, 8192},
    // Columns of a result, of a table being parsed, of GROUP BY and ORDER BY. Must cover the
    // widest table, or SELECT * of it fails (and a schema read again in the scope would not
    // parse): 1000 is four times what a Jet table may hold (255). Guide: 100, too few for
    // SELECT * of a wide table.
    {SQLITE_LIMIT_COLUMN, 1000},
    // Nesting of an expression. Each level costs about 350 bytes of stack when SQLite walks
    // the tree, on a connection thread of 256 kB by default: with the default 1000, a 4 kB
    // "'x'||'x'||..." of 600 levels overflows it and kills the process. 100 levels take 35 kB
    // and a filter of 100 ANDed and ORed terms. Guide: 10, which a filter of ten conditions
    // would exceed.
    {SQLITE_LIMIT_EXPR_DEPTH, 100},
    // SELECTs in one UNION/INTERSECT/EXCEPT: a report's parts (a year's months with subtotals
    // and a total). Guide: 3.
    {SQLITE_LIMIT_COMPOUND_SELECT, 16},
    // Virtual machine instructions of one statement. SELECT * of a 1000-column table ordered,
    // paged and counted takes about 2 000; an IN list of 2000 keys about 6 000. SQLite reports
    // going over as "out of memory". Guide: 25 000.
    {SQLITE_LIMIT_VDBE_OP, 25000},
    // Arguments of one call: json_object with 16 name/value pairs, coalesce or max over 32
    // columns, strftime with its modifiers. Guide: 8, too few for json_object of 5 fields.
    {SQLITE_LIMIT_FUNCTION_ARG, 32},
    // The guard refuses ATTACH already; this makes sure nothing can. Guide: 0.
    {SQLITE_LIMIT_ATTACHED, 0},
    // A LIKE or GLOB pattern: a search text between two '%', for text columns of up to
    // VARCHAR(60) in the demo and more. Guide: 50.
    {SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 100},
    // Parameters of a statement: caller text has none to bind (an unbound one reads as NULL);
    // the dataset binds one (the page offset). Guide: 10.
    {SQLITE_LIMIT_VARIABLE_NUMBER, 10},
    // Nothing writes in the scope, so no trigger fires; kept low in case. Guide: 10.
    {SQLITE_LIMIT_TRIGGER_DEPTH, 10},
    // A sort stays on the request's thread: no helper threads per query.
    {SQLITE_LIMIT_WORKER_THREADS, 0},
}};
static_assert(kQueryLimits.size() == std::tuple_size_v<ReadOnlyScope::PreviousLimits>);

int authorize_reads(int action, const char* arg1, const char* arg2, const char*, const char*) {
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_READ:
      // arg1 is the table. SQLite's built-in virtual tables arrive here too, by their names.
      return arg1 != nullptr && is_refused_virtual_table(arg1) ? SQLITE_DENY : SQLITE_OK;
    case SQLITE_FUNCTION:
      // arg2 is the function's name (arg1 is always null).
      return arg2 != nullptr && is_allowed_sql_function(arg2) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_UPDATE:
      // SQLite 3.40 asks for these while a virtual table (an FTS4 table, json_each) declares
      // its columns: the declaration is parsed like a CREATE TABLE, whose code (never run)
      // updates the schema table. Ignoring them lets the table connect, and leaves a caller's
      // own UPDATE of the schema table without those columns; SQLite refuses that statement
      // anyway ("may not be modified", and SQLITE_DBCONFIG_DEFENSIVE keeps writable_schema
      // off). Any other UPDATE is refused.
      if (arg1 != nullptr &&
          (base::iequals(arg1, "sqlite_master") || base::iequals(arg1, "sqlite_temp_master"))) {
        return SQLITE_IGNORE;
      }
      return SQLITE_DENY;
    case SQLITE_PRAGMA:
      // Only pragmas that describe the schema; their argument names a table or an index.
      if (arg1 != nullptr) {
        for (std::string_view name : kReadingPragmas) {
          if (base::iequals(name, arg1)) {
            return SQLITE_OK;
          }
        }
        // An FTS4 table reads the page size when it connects; without a value it only reads.
        if (arg2 == nullptr && base::iequals(arg1, "page_size")) {
          return SQLITE_OK;
        }
      }
      return SQLITE_DENY;
    default:
      return SQLITE_DENY;
  }
}

}  // namespace

ReadOnlyScope::ReadOnlyScope(db::TADOConnection& connection, std::chrono::milliseconds timeout,
                             int64_t max_value_bytes, int64_t max_temp_bytes)
    : connection_(connection),
      timeout_(timeout),
      deadline_(std::chrono::steady_clock::now() + timeout) {
  if (connection.is_postgres()) {
    pg_ = std::make_unique<db::PgReadOnlyTransaction>(connection.pg(), timeout, max_value_bytes);
    return;
  }
  db_ = connection.handle();
  // Every read of the scope sees one snapshot of the file, so that a count and the page read
  // after it agree even when another session commits in between. A connection already inside
  // a transaction (a save that reads a schema) reads within that one.
  if (sqlite3_get_autocommit(db_) != 0) {
    connection.Execute("BEGIN");
    began_transaction_ = true;
  }
  temp_ = std::make_unique<db::TempFileBudgetScope>(max_temp_bytes);
  previous_guard_ = connection.statement_guard();
  connection.SetStatementGuard(authorize_reads);
  lower_limits();
  if (timeout_.count() > 0) {
    sqlite3_progress_handler(db_, kProgressSteps, on_progress, this);
  }
  if (max_value_bytes > 0) {
    previous_length_limit_ = sqlite3_limit(
        db_, SQLITE_LIMIT_LENGTH, static_cast<int>(std::min<int64_t>(max_value_bytes, INT_MAX)));
  }
}

ReadOnlyScope::~ReadOnlyScope() {
  if (db_ == nullptr) {
    return;  // pg_ ends its transaction
  }
  connection_.SetStatementGuard(previous_guard_);
  restore_limits();
  if (timeout_.count() > 0) {
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
  }
  if (previous_length_limit_ >= 0) {
    sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, previous_length_limit_);
  }
  // A statement that failed may have ended the transaction already. The scope only read, so a
  // commit that fails (a read still running) loses nothing by rolling back instead.
  if (began_transaction_ && sqlite3_get_autocommit(db_) == 0 &&
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void ReadOnlyScope::lower_limits() {
  for (size_t i = 0; i < kQueryLimits.size(); ++i) {
    previous_limits_[i] = sqlite3_limit(db_, kQueryLimits[i].id, kQueryLimits[i].value);
  }
}

void ReadOnlyScope::restore_limits() {
  for (size_t i = 0; i < kQueryLimits.size(); ++i) {
    sqlite3_limit(db_, kQueryLimits[i].id, previous_limits_[i]);
  }
}

int ReadOnlyScope::on_progress(void* scope) {
  auto* self = static_cast<ReadOnlyScope*>(scope);
  if (!self->timed_out_ && std::chrono::steady_clock::now() >= self->deadline_) {
    self->timed_out_ = true;
  }
  return self->timed_out_ ? 1 : 0;
}

void ReadOnlyScope::throw_if_timed_out() const {
  if (timed_out()) {
    throw base::Exception("The query ran longer than " + std::to_string(timeout_.count()) +
                          " ms and was stopped.");
  }
}

void ReadOnlyScope::throw_if_stopped(const std::exception& error) const {
  throw_if_timed_out();
  if (temp_disk_exceeded()) {
    throw base::Exception("The query needed more than " +
                          std::to_string(temp_->budget().max_bytes()) +
                          " bytes of temporary disk and was stopped.");
  }
  const auto* database_error = dynamic_cast<const db::DatabaseError*>(&error);
  if (db_ == nullptr || database_error == nullptr) {
    return;
  }
  const int code = database_error->result_code();
  const int64_t heap_limit = db::sqlite_heap_limit();
  if (heap_limit > 0 && ((code & 0xff) == SQLITE_NOMEM || code == SQLITE_IOERR_NOMEM)) {
    throw base::Exception("The database ran out of the memory allowed for queries (" +
                          std::to_string(heap_limit) + " bytes) and stopped the query.");
  }
}

}  // namespace appsrv::app
