// A PostgreSQL connection through libpq: one statement per call (the extended protocol refuses
// a second one), errors as DatabaseError with the server's SQLSTATE, and the column facts
// (NOT NULL, serial) that field classes need.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/database_error.h"

struct pg_conn;
struct pg_result;

namespace appsrv::db {

struct PgConnCloser {
  void operator()(pg_conn* conn) const noexcept;  // PQfinish
};
struct PgResultClearer {
  void operator()(pg_result* result) const noexcept;  // PQclear
};
using PgConnPtr = std::unique_ptr<pg_conn, PgConnCloser>;
using PgResultPtr = std::unique_ptr<pg_result, PgResultClearer>;

// SQLSTATE of a statement cancelled by statement_timeout.
constexpr std::string_view kPgQueryCanceled = "57014";

// What the catalogue says about one table column.
struct PgColumnFacts {
  bool not_null = false;
  bool serial = false;  // default nextval(...) or an identity column
};

// "PostgreSQL database <db> on <host>:<port> as <user>" from libpq connection text (a URI or
// key=value text), with libpq's defaults for what it leaves out; the password is never part
// of it. Text libpq cannot read is described as such, without repeating it.
std::string describe_pg_conninfo(const std::string& conninfo);

// Owned by one TADOConnection; not thread-safe.
class PgConnection {
 public:
  // `conninfo`: a libpq URI ("postgresql://user@host:port/db") or key=value text. Throws
  // DatabaseError with libpq's message when the server cannot be reached.
  explicit PgConnection(const std::string& conninfo);

  // Runs one statement of our own with text parameters and returns its result (rows or
  // none). Throws DatabaseError carrying the server's message; sqlstate() then holds its code.
  PgResultPtr exec(std::string_view sql, const std::vector<std::string>& params = {});
  // The same for a statement that evaluates SQL text from callers (a query, a fetch from its
  // cursor): it runs under the deadline, if one is set.
  PgResultPtr exec_client(std::string_view sql);
  // Prepares `sql` as the unnamed statement and describes its result columns without running
  // it.
  PgResultPtr describe(std::string_view sql);
  // Runs the unnamed statement prepared by describe().
  PgResultPtr exec_prepared();
  // Runs a caller's statement (under the deadline); returns the rows it changed.
  int64_t execute(std::string_view sql);

  // True inside a transaction (also a failed one).
  bool in_transaction() const;
  // True inside a transaction that a failed statement has aborted.
  bool transaction_failed() const;
  // True once the link to the server is lost (the server restarted or went away).
  bool broken() const;
  const std::string& sqlstate() const { return sqlstate_; }

  // The catalogue facts of column `column` (1-based) of table `table_oid`, read once per table.
  PgColumnFacts column_facts(unsigned table_oid, int column);

  // A name for a new cursor, unique on this connection.
  std::string next_cursor_name() { return "appsrv_cursor_" + std::to_string(++cursor_count_); }

  // From now on every statement may run only until `deadline` (none: no limit): each is sent
  // with a statement_timeout of the time left, so a statement that changes the setting cannot
  // lift the limit for the ones after it. Past the deadline, statements fail unsent.
  void set_deadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
    deadline_ = deadline;
  }

  // Set when a statement is stopped by statement_timeout; cleared by its reader.
  bool statement_timed_out = false;
  // Values longer than this fail to read ("string or blob too big"); 0: no limit.
  int64_t max_value_bytes = 0;

 private:
  PgResultPtr check(PgResultPtr result, std::string_view sql);
  void arm_deadline();

  PgConnPtr conn_;
  std::string sqlstate_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  uint64_t cursor_count_ = 0;
  std::map<std::pair<unsigned, int>, PgColumnFacts> facts_;
  std::map<unsigned, bool> facts_loaded_;
};

}  // namespace appsrv::db
