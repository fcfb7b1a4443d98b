// Prepared statements of one SQLite connection, kept for reuse by their exact text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "db/sqlite_handle.h"

namespace appsrv::db {

// Decides which actions a statement being prepared may take, answering as an SQLite
// authorizer does (SQLITE_OK, SQLITE_DENY, SQLITE_IGNORE).
using StatementGuard = int (*)(int action, const char* arg1, const char* arg2,
                               const char* database, const char* trigger);

// A statement handed out by a connection, with what it was prepared from: its text and the
// guard that was up while it was prepared (nullptr: none).
struct PreparedStatement {
  StatementPtr stmt;
  std::string sql;
  StatementGuard guard = nullptr;

  sqlite3_stmt* get() const { return stmt.get(); }
  explicit operator bool() const { return stmt != nullptr; }
};

// Statements that only read, kept between uses: preparing one costs more than running a short
// query. Each is lent to one user at a time and comes back reset. A statement is found again
// only under the guard it was prepared under: the guard decides at prepare time what a
// statement may do, so one prepared without it must never run under it. A schema change does
// not make a kept statement stale: SQLite prepares it again on its next step.
// Not thread-safe: it belongs to one connection.
class StatementCache {
 public:
  // Statements kept at most; the one returned longest ago goes first.
  static constexpr size_t kCapacity = 8;

  // The kept statement for `sql` under `guard`, taken out of the cache; empty when none.
  PreparedStatement take(std::string_view sql, StatementGuard guard);
  // Keeps `statement` (reset, bindings cleared) when it only reads; finalizes it otherwise.
  void give_back(PreparedStatement statement);
  // Finalizes every kept statement.
  void clear() { entries_.clear(); }
  size_t size() const { return entries_.size(); }

 private:
  std::vector<PreparedStatement> entries_;  // most recently returned last
};

}  // namespace appsrv::db
