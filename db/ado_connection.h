// The database connection: an SQLite file named by the classic connection text, opened on
// first use in WAL mode with a busy timeout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db/sqlite_handle.h"

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

  bool Connected() const { return db_ != nullptr; }
  // Opens the file now; statements and datasets call it themselves.
  void Open();
  void Close();

  // Runs exactly one statement, opening the connection first when closed. A text holding a
  // second statement is refused before anything runs. Returns the rows changed.
  int64_t Execute(std::string_view statement);

  // The open handle (opens the connection first when closed).
  sqlite3* handle();

 private:
  std::string connection_string_;
  SqlitePtr db_;
};

}  // namespace appsrv::db
