// Owners for SQLite's C handles and the one place where SQLite result codes become exceptions
// (DatabaseError, from db/database_error.h).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "db/database_error.h"

struct sqlite3;
struct sqlite3_stmt;

namespace appsrv::db {

struct SqliteCloser {
  void operator()(sqlite3* db) const noexcept;  // sqlite3_close_v2
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept;  // sqlite3_finalize
};
using SqlitePtr = std::unique_ptr<sqlite3, SqliteCloser>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Throws DatabaseError("<call>: <SQLite's message>") carrying `rc`; the message comes from `db`
// when given, else from the code alone.
[[noreturn]] void throw_sqlite_error(sqlite3* db, int rc, std::string_view call);

// From now on every statement `db` runs adds its running time to the process's statement
// duration figures (SQLite measures it; nothing is added to the statement's own work).
void count_statement_durations(sqlite3* db);

// Prepares the first statement of `sql`. `tail` receives the unparsed rest. A text holding
// only blanks or comments gives a null statement.
StatementPtr prepare_statement(sqlite3* db, std::string_view sql, std::string_view* tail = nullptr);

// True when `sql` holds more than one statement (anything but blanks, comments and ";" after
// the first one).
bool has_second_statement(sqlite3* db, std::string_view tail);

}  // namespace appsrv::db
