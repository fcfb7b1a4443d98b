#include "db/ado_connection.h"

#include <sqlite3.h>

#include <cerrno>
#include <new>

#include "base/exception.h"
#include "base/files.h"
#include "base/name_value_list.h"
#include "base/text.h"
#include "db/sqlite_hardening.h"
#include "db/temp_file_budget.h"

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

bool TADOConnection::is_postgres() const {
  base::NameValueList parts;
  for (const std::string& part : base::split(connection_string_, ';')) {
    parts.add(std::string(base::trim_left(part)));
  }
  return base::iequals(base::trim(parts.value("Provider")), "PostgreSQL");
}

namespace {

// Raises the failure of `call`; out of descriptors, as DatabaseUnavailable.
[[noreturn]] void throw_open_error(sqlite3* db, int rc, const std::string& call) {
  const int err = db != nullptr ? sqlite3_system_errno(db) : 0;
  if (err == EMFILE || err == ENFILE) {
    throw DatabaseUnavailable(call + ": out of file descriptors (" + base::errno_text(err) + ")");
  }
  throw_sqlite_error(db, rc, call);
}

// True when the header of the file `db` has open says it is in WAL mode (its read and write
// format bytes are 2); a new, empty or unreadable file says no. One read of the header's first
// 100 bytes through SQLite's own file, without its locks: those two bytes are written only
// when the file enters or leaves WAL mode, and a file that left it reads as no.
bool header_says_wal(sqlite3* db) {
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr) {
    return false;
  }
  unsigned char header[100];
  if (file->pMethods->xRead(file, header, sizeof header, 0) != SQLITE_OK) {
    return false;
  }
  return header[18] == 2 && header[19] == 2;
}

}  // namespace

void TADOConnection::Open() {
  if (Connected()) {
    return;
  }
  const std::string path = data_source();
  if (path.empty()) {
    throw DatabaseError("The connection text names no Data Source");
  }
  if (is_postgres()) {
    pg_ = std::make_unique<PgConnection>(path);
    return;
  }
  try {
    open_sqlite(path);
  } catch (const DatabaseUnavailable&) {
    if (!on_descriptor_shortage || !on_descriptor_shortage()) {
      throw;
    }
    open_sqlite(path);
  }
}

void TADOConnection::open_sqlite(const std::string& path) {
  sqlite3* raw = nullptr;
  // The VFS charges the connection's temporary files (sorts, intermediate results) to the
  // temporary-disk budget of the scope its statements run in. Never SQLITE_OPEN_CREATE: a
  // mistyped or missing path would become an empty database whose every statement fails
  // with "no such table", far from the cause. Databases are made deliberately, elsewhere.
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, temp_file_vfs_name());
  SqlitePtr db(raw);
  if (rc != SQLITE_OK) {
    if ((rc & 0xff) == SQLITE_CANTOPEN && !base::file_exists(path)) {
      throw DatabaseError("database file not found: " + path, rc);
    }
    throw_open_error(db.get(), rc, "sqlite3_open_v2(" + path + ")");
  }
  // A sorter worker thread would open its temporary files outside the budget of the thread
  // that runs the statement.
  sqlite3_limit(db.get(), SQLITE_LIMIT_WORKER_THREADS, 0);
  sqlite3_extended_result_codes(db.get(), 1);
  harden_connection(db.get());
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  count_statement_durations(db.get());
  // WAL lets readers in other sessions and processes go on while one connection writes. A file
  // whose header already says WAL is read in that mode anyway, so a reopen after the idle
  // time-out only reads the schema, without preparing and running a statement that would
  // change nothing. Either way the first read happens here, and opens the WAL and
  // shared-memory files, so that running out of descriptors shows as such at open.
  if (header_says_wal(db.get())) {
    const int read = sqlite3_table_column_metadata(db.get(), "main", "sqlite_master", nullptr,
                                                   nullptr, nullptr, nullptr, nullptr, nullptr);
    if (read != SQLITE_OK) {
      throw_open_error(db.get(), read, "sqlite3_table_column_metadata(sqlite_master)");
    }
  } else {
    char* error = nullptr;
    const int wal = sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, &error);
    sqlite3_free(error);
    if (wal != SQLITE_OK) {
      throw_open_error(db.get(), wal, "PRAGMA journal_mode=WAL");
    }
  }
  // Reads map the first 16 MB of the file instead of copying those pages into this
  // connection's cache: a count or a late page walks the whole table, which the default 2 MB
  // cache cannot hold, and mapped pages are the system's file cache, shared by every session's
  // connection. The bound keeps what a connection maps (and shows as resident) small.
  const int mmap = sqlite3_exec(db.get(), "PRAGMA mmap_size=16777216", nullptr, nullptr, nullptr);
  if (mmap != SQLITE_OK) {
    throw_sqlite_error(db.get(), mmap, "PRAGMA mmap_size");
  }
  sqlite3_set_authorizer(db.get(), &TADOConnection::authorize, this);
  db_ = std::move(db);
}

std::string TADOConnection::Describe() const {
  const std::string source = data_source();
  if (is_postgres()) {
    return describe_pg_conninfo(source);
  }
  return source + " (SQLite " + sqlite3_libversion() + ")";
}

void TADOConnection::Close() {
  statements_.clear();
  may_hold_mapping_ = false;
  db_.reset();
  pg_.reset();
}

int TADOConnection::authorize(void* connection, int action, const char* arg1, const char* arg2,
                              const char* database, const char* trigger) {
  auto* self = static_cast<TADOConnection*>(connection);
  if (self->guard_ == nullptr) {
    return SQLITE_OK;
  }
  const int answer = self->guard_(action, arg1, arg2, database, trigger);
  // The first refusal is the one SQLite stops at. A function's name comes second, a table's
  // first.
  const char* name = action == SQLITE_FUNCTION ? arg2 : action == SQLITE_READ ? arg1 : nullptr;
  if (answer == SQLITE_DENY && name != nullptr && self->refused_action_ == 0) {
    try {
      self->refused_name_ = name;
      self->refused_action_ = action;
    } catch (const std::bad_alloc&) {
      // Not noted: the failure keeps SQLite's own message.
    }
  }
  return answer;
}

StatementPtr TADOConnection::prepare_guarded(sqlite3* db, std::string_view sql,
                                             std::string_view* tail) {
  refused_action_ = 0;
  try {
    return prepare_statement(db, sql, tail);
  } catch (const DatabaseError& e) {
    // SQLite's own text ("not authorized to use function: x") does not say that this is a
    // rule of the query. A refused table keeps SQLite's text where it names the table
    // ("access to T.c is prohibited"); where it only says "not authorized" (no column was
    // read, as in a count), the table is named here.
    if (refused_action_ == SQLITE_FUNCTION) {
      throw DatabaseError("The function " + refused_name_ + " is not allowed in a query.");
    }
    if (refused_action_ == SQLITE_READ && std::string_view(e.what()).ends_with("not authorized")) {
      throw DatabaseError("The table " + refused_name_ + " may not be read in a query.");
    }
    throw;
  }
}

PreparedStatement TADOConnection::TakeStatement(std::string_view sql, std::string_view* tail) {
  sqlite3* db = handle();
  if (PreparedStatement kept = statements_.take(sql, guard_)) {
    if (tail != nullptr) {
      *tail = {};
    }
    return kept;
  }
  PreparedStatement fresh;
  fresh.stmt = prepare_guarded(db, sql, tail);
  fresh.sql = std::string(sql);
  fresh.guard = guard_;
  return fresh;
}

void TADOConnection::ReturnStatement(PreparedStatement statement) noexcept {
  // A statement of a handle closed since it was taken, or prepared under another guard, is
  // finalized by its pointer.
  if (!statement || db_ == nullptr || sqlite3_db_handle(statement.get()) != db_.get() ||
      statement.guard != guard_) {
    return;
  }
  try {
    statements_.give_back(std::move(statement));
  } catch (const std::bad_alloc&) {
    // Not kept: the next use prepares it again.
  }
}

void TADOConnection::ReleaseCache() noexcept {
  if (db_ != nullptr) {
    sqlite3_db_release_memory(db_.get());
  }
}

void TADOConnection::ReleaseMapping() noexcept {
  if (db_ == nullptr) {
    return;
  }
  may_hold_mapping_ = false;
  // Every mapped page counts once more in the process's resident memory for every connection
  // that maps it, though it is one page of the system's file cache: 10 000 idle sessions over
  // a 6 MB table would show 60 GB. Lowering the file's limit to 0 unmaps it; the old limit is
  // put back at once and the next read maps the file again. A mapped page still in use by a
  // statement keeps the mapping as it is.
  // The call hands back the limit it replaced.
  sqlite3_int64 limit = 0;
  if (sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_MMAP_SIZE, &limit) == SQLITE_OK &&
      limit > 0) {
    sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_MMAP_SIZE, &limit);
  }
}

sqlite3* TADOConnection::handle() {
  Open();
  if (db_ == nullptr) {
    throw DatabaseError("The connection is not an SQLite connection");
  }
  may_hold_mapping_ = true;
  return db_.get();
}

PgConnection& TADOConnection::pg() {
  if (pg_ != nullptr && pg_->broken()) {
    // The server restarted or went away: the next use connects again. The failed statement
    // has already been reported; a transaction in progress died with the link.
    pg_.reset();
  }
  Open();
  if (pg_ == nullptr) {
    throw DatabaseError("The connection is not a PostgreSQL connection");
  }
  return *pg_;
}

void TADOConnection::BeginTrans() { Execute(is_postgres() ? "BEGIN" : "BEGIN IMMEDIATE"); }

void TADOConnection::CommitTrans() { Execute("COMMIT"); }

void TADOConnection::RollbackTrans() {
  if (is_postgres()) {
    if (pg().in_transaction()) {
      Execute("ROLLBACK");
    }
    return;
  }
  if (sqlite3_get_autocommit(handle()) == 0) {
    Execute("ROLLBACK");
  }
}

int64_t TADOConnection::Execute(std::string_view statement) {
  if (is_postgres()) {
    return pg().execute(statement);
  }
  sqlite3* db = handle();
  std::string_view tail;
  StatementPtr stmt = prepare_guarded(db, statement, &tail);
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

PgReadOnlyTransaction::PgReadOnlyTransaction(PgConnection& connection,
                                             std::chrono::milliseconds timeout,
                                             int64_t max_value_bytes)
    : connection_(connection), previous_max_value_bytes_(connection.max_value_bytes) {
  // One snapshot: a count and the page read after it agree.
  connection_.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  if (timeout.count() > 0) {
    connection_.set_deadline(std::chrono::steady_clock::now() + timeout);
  }
  connection_.max_value_bytes = max_value_bytes;
  connection_.statement_timed_out = false;
}

PgReadOnlyTransaction::~PgReadOnlyTransaction() {
  connection_.max_value_bytes = previous_max_value_bytes_;
  connection_.set_deadline(std::nullopt);
  try {
    // Also undoes any setting a statement changed inside the transaction.
    connection_.exec("ROLLBACK");
  } catch (const DatabaseError&) {
    // A connection that failed under the transaction has nothing left to end.
  }
}

bool PgReadOnlyTransaction::timed_out() const { return connection_.statement_timed_out; }

}  // namespace appsrv::db
