// The database connection, opened on first use. The connection text's Provider picks the
// database: "PostgreSQL" reaches a server through libpq ("Data Source" is a libpq URI or
// key=value text); any other provider names an SQLite file, opened in WAL mode with a busy
// timeout.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "db/pg_connection.h"
#include "db/sqlite_handle.h"
#include "db/statement_cache.h"

namespace appsrv::db {

// How long a statement waits for another connection's lock before failing with "busy".
constexpr int kBusyTimeoutMs = 5000;

// Owned by one session and used by one request at a time; not thread-safe.
class TADOConnection {
 public:
  TADOConnection() = default;
  TADOConnection(const TADOConnection&) = delete;
  TADOConnection& operator=(const TADOConnection&) = delete;

  // "Provider=...;Data Source=<path>;". Throws DatabaseError while connected.
  const std::string& ConnectionString() const { return connection_string_; }
  void SetConnectionString(std::string text);
  // The "Data Source" value of the connection text.
  std::string data_source() const;
  // True when the connection text's Provider is PostgreSQL.
  bool is_postgres() const;

  // Which database the connection text names, for operators: the SQLite file and the
  // library's version, or PostgreSQL's server and database (never the password).
  std::string Describe() const;

  bool Connected() const { return db_ != nullptr || pg_ != nullptr; }
  // Opens the file now; statements and datasets call it themselves. An SQLite file is never
  // created: a missing one throws DatabaseError "database file not found: <path>". Out of
  // file descriptors, it asks on_descriptor_shortage to free some and tries once more; then
  // it throws DatabaseUnavailable.
  void Open();
  // Closes the connection; the next statement opens it again. Datasets and queries over it
  // must be closed first.
  void Close();
  // Gives back an SQLite connection's page cache; the next statement reads through the file
  // mapping or the system's file cache. Cheap (about 10 µs), so worth doing after every
  // request. Call between statements. Does nothing on PostgreSQL or a closed connection.
  void ReleaseCache() noexcept;
  // Drops an SQLite connection's mapping of the file; the next read maps it again and faults
  // in every page it touches. Call between statements. Does nothing on PostgreSQL or a closed
  // connection.
  void ReleaseMapping() noexcept;
  // True when reads since the file was opened or last unmapped may have mapped it.
  bool MayHoldMapping() const { return db_ != nullptr && may_hold_mapping_; }

  // Runs when the connection cannot be opened for lack of file descriptors; returns true when
  // it closed something (other sessions' idle connections), so that another try may succeed.
  std::function<bool()> on_descriptor_shortage;

  // Runs exactly one statement, opening the connection first when closed. A text holding a
  // second statement is refused before anything runs. Returns the rows changed.
  int64_t Execute(std::string_view statement);

  // Transactions: BeginTrans takes the write lock at once on SQLite, so that two writers
  // never deadlock half-way. RollbackTrans after a failure that already ended the
  // transaction does nothing.
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();

  // The open SQLite handle (opens the connection first when closed). Throws DatabaseError on a
  // PostgreSQL connection.
  sqlite3* handle();

  // Sets the guard that statements prepared from now on must pass, or lifts it (nullptr). The
  // authorizer that asks it is installed when the file opens and stays for the connection's
  // life: installing or removing one makes SQLite discard every prepared statement, which
  // would leave nothing to reuse. SQLite connections only.
  void SetStatementGuard(StatementGuard guard) { guard_ = guard; }
  StatementGuard statement_guard() const { return guard_; }
  // The first statement of `sql`, prepared under the current guard, or the statement kept from
  // an earlier use of exactly this text under the same guard; then `tail` is empty, since only
  // statements whose text held nothing else are given back. Opens the connection first.
  // Throws DatabaseError as prepare_statement does; when the guard refused a function, the
  // message names it: "The function x is not allowed in a query." Execute reports refused
  // functions the same way.
  PreparedStatement TakeStatement(std::string_view sql, std::string_view* tail = nullptr);
  // Gives back a statement from TakeStatement whose whole text was that one statement. It is
  // kept for the next use of its text when it only reads and the guard is still the one it was
  // prepared under; otherwise it is finalized.
  void ReturnStatement(PreparedStatement statement) noexcept;
  // Statements kept for reuse right now.
  size_t KeptStatements() const { return statements_.size(); }
  // The open PostgreSQL connection (opens it first). Throws DatabaseError on an SQLite one.
  PgConnection& pg();

 private:
  // The authorizer of every SQLite handle: asks guard_ while one is set.
  static int authorize(void* connection, int action, const char* arg1, const char* arg2,
                       const char* database, const char* trigger);
  void open_sqlite(const std::string& path);
  // prepare_statement, failing with the message that names what the guard refused.
  StatementPtr prepare_guarded(sqlite3* db, std::string_view sql, std::string_view* tail);

  std::string connection_string_;
  SqlitePtr db_;
  std::unique_ptr<PgConnection> pg_;
  StatementGuard guard_ = nullptr;
  // What guard_ refused first while the current statement was being prepared: the authorizer's
  // action (SQLITE_FUNCTION or SQLITE_READ; 0 for nothing noted) and the function's or the
  // table's name.
  int refused_action_ = 0;
  std::string refused_name_;
  // Set whenever the handle is handed out for a statement, cleared by ReleaseMapping and Close.
  bool may_hold_mapping_ = false;
  // Declared after db_, so that its statements are finalized before the handle closes.
  StatementCache statements_;
};

// Statements on a PostgreSQL connection may only read while it lives, within a READ ONLY
// transaction of one snapshot (ended with ROLLBACK) whose statements stop once `timeout` has
// passed since it began and whose values may not be longer than `max_value_bytes` (0: no
// limit for either).
// Not nested; not thread-safe.
class PgReadOnlyTransaction {
 public:
  PgReadOnlyTransaction(PgConnection& connection, std::chrono::milliseconds timeout,
                        int64_t max_value_bytes);
  ~PgReadOnlyTransaction();
  PgReadOnlyTransaction(const PgReadOnlyTransaction&) = delete;
  PgReadOnlyTransaction& operator=(const PgReadOnlyTransaction&) = delete;

  // True when a statement was stopped by the time-out since the transaction began.
  bool timed_out() const;

 private:
  PgConnection& connection_;
  int64_t previous_max_value_bytes_;
};

}  // namespace appsrv::db
