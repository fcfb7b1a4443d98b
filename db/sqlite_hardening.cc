#include "db/sqlite_hardening.h"

#include <sqlite3.h>

#include <string>
#include <string_view>

#include "db/sqlite_handle.h"

namespace appsrv::db {
namespace {

struct Setting {
  int option;
  int value;
  std::string_view name;
};

constexpr Setting kSettings[] = {
    {SQLITE_DBCONFIG_DEFENSIVE, 1, "SQLITE_DBCONFIG_DEFENSIVE"},
    {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, "SQLITE_DBCONFIG_TRUSTED_SCHEMA"},
    // Debian builds SQLite with SQLITE_ENABLE_FTS3_TOKENIZER, which turns this on by default.
    // The one-argument form (which hands out the tokenizer's address) is not covered by it:
    // the read-only guard's function allow-list refuses that one.
    {SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, "SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER"},
    {SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, "SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION"},
};

[[noreturn]] void throw_setting_error(int rc, std::string_view name) {
  std::string message = "Cannot set ";
  message += name;
  message += " on the database connection: ";
  message += rc == SQLITE_OK ? "the setting did not take" : sqlite3_errstr(rc);
  throw DatabaseError(message);
}

}  // namespace

void harden_connection(sqlite3* db) {
  for (const Setting& setting : kSettings) {
    int now = -1;
    const int rc = sqlite3_db_config(db, setting.option, setting.value, &now);
    if (rc != SQLITE_OK || now != setting.value) {
      throw_setting_error(rc, setting.name);
    }
  }
  // Also refuses the load_extension() SQL function, which the setting above leaves alone.
  const int rc = sqlite3_enable_load_extension(db, 0);
  if (rc != SQLITE_OK) {
    throw_setting_error(rc, "sqlite3_enable_load_extension");
  }
}

}  // namespace appsrv::db
