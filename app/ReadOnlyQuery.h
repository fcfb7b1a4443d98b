// A guard for queries whose text comes from callers (table, column, filter and order texts):
// such a query may only read, for a bounded time, values of a bounded size.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>

#include "db/ado_connection.h"
#include "db/temp_file_budget.h"

struct sqlite3;

namespace appsrv::app {

// While alive, the connection refuses to prepare any statement that would write, change the
// schema, attach files, start transactions or run pragmas: only reads are authorised. The
// connection keeps the statements prepared under the guard for the next scope, apart from
// those prepared without it. With a `timeout`, statements stop once that long has passed since
// the scope began (they fail with SQLite's "interrupted" and timed_out() says why); with
// `max_value_bytes`, reading a longer text or blob fails with "string or blob too big". With
// `max_temp_bytes`, the temporary files its statements spill sorts and intermediate results to
// may hold that much at once; past it they fail with "database or disk is full" and
// temp_disk_exceeded() says why (the failed statement's files are closed, so the space is
// free again). The previous progress handler is not restored (the connection has none of its
// own); the guard and the length limit are. All reads of a scope see one snapshot of the
// database (a read transaction that ends with the scope).
// Only the functions on the allow-list (AllowedSqlFunctions.h) may be called, and SQLite's
// other input limits are lowered (ReadOnlyQuery.cpp says to what and why) until the scope
// ends; the connection then names a refused function in its error ("The function x is not
// allowed in a query.").
// Scopes do not nest (the inner one would end the time limit when it ends). On a PostgreSQL
// connection the scope is a READ ONLY transaction with a statement time-out and the same value
// limit (db::PgReadOnlyTransaction).
// Not thread-safe: the connection belongs to one session, used by one request at a time.
class ReadOnlyScope {
 public:
  // Guards the connection of either kind (opening it first).
  explicit ReadOnlyScope(db::TADOConnection& connection, std::chrono::milliseconds timeout = {},
                         int64_t max_value_bytes = 0, int64_t max_temp_bytes = 0);
  ~ReadOnlyScope();
  ReadOnlyScope(const ReadOnlyScope&) = delete;
  ReadOnlyScope& operator=(const ReadOnlyScope&) = delete;

  bool timed_out() const { return pg_ != nullptr ? pg_->timed_out() : timed_out_; }
  // Throws base::Exception "The query ran longer than <timeout> ms and was stopped." once the
  // statements were stopped at the deadline; does nothing otherwise.
  void throw_if_timed_out() const;
  bool temp_disk_exceeded() const { return temp_ != nullptr && temp_->budget().exceeded(); }
  // The temporary disk the scope's statements hold now (SQLite only; 0 on PostgreSQL).
  int64_t temp_bytes_in_use() const {
    return temp_ != nullptr ? temp_->budget().bytes_in_use() : 0;
  }
  // Throws base::Exception with the message of the limit that stopped the scope's statements,
  // given the `error` one of them raised: the deadline (as throw_if_timed_out), "The query
  // needed more than <max_temp_bytes> bytes of temporary disk and was stopped.", or, for
  // SQLite's out-of-memory under the process's heap limit, "The database ran out of the memory
  // allowed for queries (<limit> bytes) and stopped the query."; does nothing otherwise.
  void throw_if_stopped(const std::exception& error) const;

  // The connection's input limits from before the scope, one per limit the scope lowers.
  using PreviousLimits = std::array<int, 11>;

 private:
  static int on_progress(void* scope);
  void lower_limits();
  void restore_limits();
  db::TADOConnection& connection_;
  sqlite3* db_ = nullptr;  // null on a PostgreSQL connection
  std::unique_ptr<db::PgReadOnlyTransaction> pg_;
  std::unique_ptr<db::TempFileBudgetScope> temp_;  // null on a PostgreSQL connection
  std::chrono::milliseconds timeout_;
  std::chrono::steady_clock::time_point deadline_;
  bool timed_out_ = false;
  db::StatementGuard previous_guard_ = nullptr;
  int previous_length_limit_ = -1;  // -1: unchanged
  bool began_transaction_ = false;   // the scope's snapshot, ended with it
  PreviousLimits previous_limits_{};
};

}  // namespace appsrv::app
