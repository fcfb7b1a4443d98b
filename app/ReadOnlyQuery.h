// Guards for queries whose text comes from callers (table, column, filter and order texts):
// such a query may only read, and its text may hold one statement only.
#pragma once

#include <string_view>

struct sqlite3;

namespace appsrv::app {

// While alive, the connection refuses to prepare any statement that would write, change the
// schema, attach files, start transactions or run pragmas: only reads are authorised. The
// previous authorizer is not restored; the connection has none of its own.
// Not thread-safe: the connection belongs to one session, used by one request at a time.
class ReadOnlyScope {
 public:
  explicit ReadOnlyScope(sqlite3* db);
  ~ReadOnlyScope();
  ReadOnlyScope(const ReadOnlyScope&) = delete;
  ReadOnlyScope& operator=(const ReadOnlyScope&) = delete;

 private:
  sqlite3* db_;
};

// True when `sql` holds at most one statement: after the first top-level ";" only blanks,
// comments and further ";" may follow. Quotes, bracketed names and comments are skipped.
bool is_single_statement(std::string_view sql);

// Throws base::Exception "Only one statement is allowed: <sql>" when `sql` holds more.
void require_single_statement(std::string_view sql);

}  // namespace appsrv::app
