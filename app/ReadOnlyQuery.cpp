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
                             int64_t max_value_bytes, int64_t max_temp_bytes)
    : connection_(connection),
      timeout_(timeout),
      deadline_(std::chrono::steady_clock::now() + timeout) {
  if (connection.is_postgres()) {
    pg_ = std::make_unique<db::PgReadOnlyTransaction>(connection.pg(), timeout, max_value_bytes);
    return;
  }
  db_ = connection.handle();
  temp_ = std::make_unique<db::TempFileBudgetScope>(max_temp_bytes);
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

void ReadOnlyScope::throw_if_stopped(const std::exception& error) const {
  throw_if_timed_out();
  if (temp_disk_exceeded()) {
    throw base::Exception("The query needed more than " +
                          std::to_string(temp_->budget().max_bytes()) +
                          " bytes of temporary disk and was stopped.");
  }
  const auto* database_error = dynamic_cast<const db::DatabaseError*>(&error);
  if (db_ == nullptr || database_error == nullptr) {
    return;
  }
  const int code = database_error->result_code();
  const int64_t heap_limit = db::sqlite_heap_limit();
  if (heap_limit > 0 && ((code & 0xff) == SQLITE_NOMEM || code == SQLITE_IOERR_NOMEM)) {
    throw base::Exception("The database ran out of the memory allowed for queries (" +
                          std::to_string(heap_limit) + " bytes) and stopped the query.");
  }
}

}  // namespace appsrv::app
