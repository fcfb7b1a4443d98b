// A guard for queries whose text comes from callers (table, column, filter and order texts):
// such a query may only read.
#pragma once

struct sqlite3;

namespace appsrv::app {

// While alive, the connection refuses to prepare any statement that would write, change the
// schema, attach files, start transactions or run pragmas: only reads are authorised. The
// previous authorizer is not restored; the connection has none of its own, and scopes do not
// nest (the inner one would lift the guard when it ends).
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

}  // namespace appsrv::app
