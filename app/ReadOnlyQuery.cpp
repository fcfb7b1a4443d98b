#include "app/ReadOnlyQuery.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "base/text.h"

namespace appsrv::app {
namespace {

// Pragmas that only describe the schema; the database layer may read them to type columns.
constexpr std::array<std::string_view, 6> kReadingPragmas = {
    "table_info", "table_xinfo", "index_list", "index_info", "index_xinfo", "foreign_key_list"};

// Virtual machine steps between two looks at the clock: a fraction of a millisecond.
constexpr int kProgressSteps = 10000;

int authorize_reads(int action, const char* arg1, const char*, const char*, const char*) {
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_PRAGMA:
      // Only pragmas that describe the schema; their argument names a table or an index.
      if (arg1 != nullptr) {
        for (std::string_view name : kReadingPragmas) {
          if (base::iequals(name, arg1)) {
            return SQLITE_OK;
          }
        }
      }
      return SQLITE_DENY;
    default:
      return SQLITE_DENY;
  }
}

}  // namespace

ReadOnlyScope::ReadOnlyScope(db::TADOConnection& connection, std::chrono::milliseconds timeout,
                             int64_t max_value_bytes)
    : connection_(connection),
      timeout_(timeout),
      deadline_(std::chrono::steady_clock::now() + timeout) {
  if (connection.is_postgres()) {
    pg_ = std::make_unique<db::PgReadOnlyTransaction>(connection.pg(), timeout, max_value_bytes);
    return;
  }
  db_ = connection.handle();
  // Every read of the scope sees one snapshot of the file, so that a count and the page read
  // after it agree even when another session commits in between. A connection already inside
  // a transaction (a save that reads a schema) reads within that one.
  if (sqlite3_get_autocommit(db_) != 0) {
    connection.Execute("BEGIN");
    began_transaction_ = true;
  }
  previous_guard_ = connection.statement_guard();
  connection.SetStatementGuard(authorize_reads);
  if (timeout_.count() > 0) {
    sqlite3_progress_handler(db_, kProgressSteps, on_progress, this);
  }
  if (max_value_bytes > 0) {
    previous_length_limit_ = sqlite3_limit(
        db_, SQLITE_LIMIT_LENGTH, static_cast<int>(std::min<int64_t>(max_value_bytes, INT_MAX)));
  }
}

ReadOnlyScope::~ReadOnlyScope() {
  if (db_ == nullptr) {
    return;  // pg_ ends its transaction
  }
  connection_.SetStatementGuard(previous_guard_);
  if (timeout_.count() > 0) {
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
  }
  if (previous_length_limit_ >= 0) {
    sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, previous_length_limit_);
  }
  // A statement that failed may have ended the transaction already. The scope only read, so a
  // commit that fails (a read still running) loses nothing by rolling back instead.
  if (began_transaction_ && sqlite3_get_autocommit(db_) == 0 &&
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

int ReadOnlyScope::on_progress(void* scope) {
  auto* self = static_cast<ReadOnlyScope*>(scope);
  if (!self->timed_out_ && std::chrono::steady_clock::now() >= self->deadline_) {
    self->timed_out_ = true;
  }
  return self->timed_out_ ? 1 : 0;
}

void ReadOnlyScope::throw_if_timed_out() const {
  if (timed_out()) {
    throw base::Exception("The query ran longer than " + std::to_string(timeout_.count()) +
                          " ms and was stopped.");
  }
}

}  // namespace appsrv::app
