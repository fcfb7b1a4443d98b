#include "db/sqlite_handle.h"

#include <sqlite3.h>

#include <climits>

#include "base/metrics.h"

namespace appsrv::db {
namespace {

int on_statement_profile(unsigned /*event*/, void* /*context*/, void* /*statement*/,
                         void* elapsed_ns) {
  const auto ns = *static_cast<const sqlite3_int64*>(elapsed_ns);
  base::metrics().statement_duration.observe_us(ns > 0 ? static_cast<uint64_t>(ns) / 1000 : 0);
  return 0;
}

}  // namespace

void count_statement_durations(sqlite3* db) {
  sqlite3_trace_v2(db, SQLITE_TRACE_PROFILE, &on_statement_profile, nullptr);
}

void SqliteCloser::operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
void StatementFinalizer::operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }

void throw_sqlite_error(sqlite3* db, int rc, std::string_view call) {
  std::string message(call);
  message += ": ";
  // Called right after the failing call, so the handle's message is this failure's (a handle
  // that failed to open still carries one).
  if (db != nullptr) {
    message += sqlite3_errmsg(db);
  } else {
    message += sqlite3_errstr(rc);
  }
  throw DatabaseError(message, rc);
}

StatementPtr prepare_statement(sqlite3* db, std::string_view sql, std::string_view* tail) {
  if (sql.size() > static_cast<size_t>(INT_MAX)) {
    throw DatabaseError("sqlite3_prepare_v2: statement text too long");
  }
  sqlite3_stmt* raw = nullptr;
  const char* rest = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, &rest);
  StatementPtr stmt(raw);
  if (rc != SQLITE_OK) {
    throw_sqlite_error(db, rc, "sqlite3_prepare_v2");
  }
  if (tail != nullptr) {
    *tail =
        rest == nullptr ? std::string_view() : sql.substr(static_cast<size_t>(rest - sql.data()));
  }
  return stmt;
}

bool has_second_statement(sqlite3* db, std::string_view tail) {
  while (!tail.empty()) {
    std::string_view rest;
    StatementPtr next;
    try {
      next = prepare_statement(db, tail, &rest);
    } catch (const DatabaseError&) {
      return true;  // more text that is not even a statement: still more than one
    }
    if (next != nullptr) {
      return true;
    }
    if (rest.size() >= tail.size()) {
      return false;
    }
    tail = rest;
  }
  return false;
}

}  // namespace appsrv::db
