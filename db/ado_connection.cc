#include "db/ado_connection.h"

#include <sqlite3.h>

#include "base/name_value_list.h"
#include "base/text.h"

namespace appsrv::db {

void TADOConnection::SetConnectionString(std::string text) {
  if (Connected()) {
    throw DatabaseError("Cannot change the connection text of an open connection");
  }
  connection_string_ = std::move(text);
}

std::string TADOConnection::data_source() const {
  base::NameValueList parts;
  for (const std::string& part : base::split(connection_string_, ';')) {
    parts.add(std::string(base::trim_left(part)));
  }
  return parts.value("Data Source");
}

void TADOConnection::Open() {
  if (Connected()) {
    return;
  }
  const std::string path = data_source();
  if (path.empty()) {
    throw DatabaseError("The connection text names no Data Source");
  }
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  SqlitePtr db(raw);
  if (rc != SQLITE_OK) {
    throw_sqlite_error(db.get(), rc, "sqlite3_open_v2(" + path + ")");
  }
  sqlite3_extended_result_codes(db.get(), 1);
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  // WAL lets readers in other sessions and processes go on while one connection writes.
  char* error = nullptr;
  const int wal = sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, &error);
  sqlite3_free(error);
  if (wal != SQLITE_OK) {
    throw_sqlite_error(db.get(), wal, "PRAGMA journal_mode=WAL");
  }
  // Reads map the first 16 MB of the file instead of copying those pages into this
  // connection's cache: a count or a late page walks the whole table, which the default 2 MB
  // cache cannot hold, and mapped pages are the system's file cache, shared by every session's
  // connection. The bound keeps what a connection maps (and shows as resident) small.
  const int mmap = sqlite3_exec(db.get(), "PRAGMA mmap_size=16777216", nullptr, nullptr, nullptr);
  if (mmap != SQLITE_OK) {
    throw_sqlite_error(db.get(), mmap, "PRAGMA mmap_size");
  }
  db_ = std::move(db);
}

void TADOConnection::Close() { db_.reset(); }

sqlite3* TADOConnection::handle() {
  Open();
  return db_.get();
}

int64_t TADOConnection::Execute(std::string_view statement) {
  sqlite3* db = handle();
  std::string_view tail;
  StatementPtr stmt = prepare_statement(db, statement, &tail);
  if (has_second_statement(db, tail)) {
    throw DatabaseError("Execute runs one statement at a time: " + std::string(statement));
  }
  if (stmt == nullptr) {
    return 0;
  }
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    throw_sqlite_error(db, rc, "sqlite3_step");
  }
  return sqlite3_changes64(db);
}

}  // namespace appsrv::db
