// The failures every database backend reports, whichever it is: callers catch these without
// knowing whether SQLite or PostgreSQL is behind the connection.
#pragma once

#include <string>

#include "base/exception.h"

namespace appsrv::db {

// A failure reported by the database; the message carries the backend's own text.
class DatabaseError : public base::Exception {
 public:
  using base::Exception::Exception;
  DatabaseError(const std::string& message, int result_code)
      : base::Exception(message), result_code_(result_code) {}
  // SQLite's (extended) result code of the failure; 0 when SQLite reported none, and on
  // PostgreSQL, whose connection keeps the SQLSTATE instead (PgConnection::sqlstate).
  int result_code() const { return result_code_; }

 private:
  int result_code_ = 0;
};

// The database cannot be opened now because the process (or the system) is out of file
// descriptors; the same call can succeed once some are free again.
class DatabaseUnavailable : public DatabaseError, public base::ResourceShortage {
 public:
  using DatabaseError::DatabaseError;
};

}  // namespace appsrv::db
