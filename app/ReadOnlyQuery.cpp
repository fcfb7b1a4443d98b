#include "app/ReadOnlyQuery.h"

#include <sqlite3.h>

#include <array>
#include <string_view>

#include "base/text.h"

namespace appsrv::app {
namespace {

// Pragmas that only describe the schema; the database layer may read them to type columns.
constexpr std::array<std::string_view, 6> kReadingPragmas = {
    "table_info", "table_xinfo", "index_list", "index_info", "index_xinfo", "foreign_key_list"};

int authorize_reads(void*, int action, const char* arg1, const char*, const char*, const char*) {
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

ReadOnlyScope::ReadOnlyScope(sqlite3* db) : db_(db) {
  sqlite3_set_authorizer(db_, authorize_reads, nullptr);
}

ReadOnlyScope::~ReadOnlyScope() { sqlite3_set_authorizer(db_, nullptr, nullptr); }

}  // namespace appsrv::app
