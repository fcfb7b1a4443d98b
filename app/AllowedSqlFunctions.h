// The SQL functions and table-valued functions that a query whose text comes from a caller may
// use: the one list the read-only guard (ReadOnlyQuery.cpp) consults.
#pragma once

#include <span>
#include <string_view>

namespace appsrv::app {

// True when `name` (as SQLite gives it to the authorizer, compared without ASCII case) is on
// the allow-list. Everything else is refused, including functions a later SQLite build adds,
// until someone puts them on the list.
bool is_allowed_sql_function(std::string_view name) noexcept;

// The allow-list itself, sorted, in lower case.
std::span<const std::string_view> allowed_sql_functions() noexcept;

// True when `table` names one of SQLite's built-in virtual tables that the guard refuses to
// read: the pragma_* table functions, dbstat, sqlite_stmt, sqlite_dbpage, fts3tokenize and the
// like (compared without ASCII case). json_each and json_tree are not among them.
bool is_refused_virtual_table(std::string_view table) noexcept;

}  // namespace appsrv::app
