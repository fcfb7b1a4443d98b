// The connection settings that SQLite's guide for untrusted SQL ("Defense Against the Dark
// Arts") asks for, applied to every SQLite connection the application opens.
#pragma once

struct sqlite3;

namespace appsrv::db {

// Turns on SQLITE_DBCONFIG_DEFENSIVE (ordinary SQL cannot corrupt the file: no writable
// schema, no writes to virtual tables' shadow tables, no journal_mode=OFF) and turns off
// SQLITE_DBCONFIG_TRUSTED_SCHEMA (functions and virtual tables used by the schema must be
// innocuous), SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER (the two-argument fts3_tokenizer() that
// installs a function pointer taken from SQL text) and extension loading, both the C call and
// the load_extension() SQL function. Reads each setting back; throws DatabaseError naming the
// setting when one cannot be set.
void harden_connection(sqlite3* db);

}  // namespace appsrv::db
