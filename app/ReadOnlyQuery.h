// A guard for queries whose text comes from callers (table, column, filter and order texts):
// such a query may only read, for a bounded time, values of a bounded size.
#pragma once

#include <chrono>
#include <cstdint>

struct sqlite3;

namespace appsrv::app {

// While alive, the connection refuses to prepare any statement that would write, change the
// schema, attach files, start transactions or run pragmas: only reads are authorised. With a
// `timeout`, statements stop once that long has passed since the scope began (they fail with
// SQLite's "interrupted" and timed_out() says why); with `max_value_bytes`, reading a longer
// text or blob fails with "string or blob too big". The previous authorizer and progress
// handler are not restored (the connection has none of its own); the length limit is.
// Scopes do not nest (the inner one would lift the guard when it ends).
// Not thread-safe: the connection belongs to one session, used by one request at a time.
class ReadOnlyScope {
 public:
  explicit ReadOnlyScope(sqlite3* db, std::chrono::milliseconds timeout = {},
                         int64_t max_value_bytes = 0);
  ~ReadOnlyScope();
  ReadOnlyScope(const ReadOnlyScope&) = delete;
  ReadOnlyScope& operator=(const ReadOnlyScope&) = delete;

  bool timed_out() const { return timed_out_; }
  // Throws base::Exception "The query ran longer than <timeout> ms and was stopped." once the
  // statements were stopped at the deadline; does nothing otherwise.
  void throw_if_timed_out() const;

 private:
  static int on_progress(void* scope);

  sqlite3* db_;
  std::chrono::milliseconds timeout_;
  std::chrono::steady_clock::time_point deadline_;
  bool timed_out_ = false;
  int previous_length_limit_ = -1;  // -1: unchanged
};

}  // namespace appsrv::app
