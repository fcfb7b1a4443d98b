#include "app/AllowedSqlFunctions.h"

#include <algorithm>
#include <array>

#include "base/text.h"

namespace appsrv::app {
namespace {

// What a grid or a report needs, by the name SQLite gives the authorizer (operators included:
// LIKE calls "like", GLOB "glob", MATCH "match", -> and ->> are JSON's, CURRENT_DATE and its
// kin are functions of those names). Every entry returns a value computed from its arguments
// alone, is bounded by the query scope's limits (a value may not be longer than
// SQLITE_LIMIT_LENGTH, a call takes at most SQLITE_LIMIT_FUNCTION_ARG arguments) and changes
// nothing. Entries that need a word:
//   hex, replace, group_concat, json_group_*   the value can grow (twice the argument, or
//       with each row), but only up to SQLITE_LIMIT_LENGTH; blobs and lists in a report need them
//   char       at most 4 bytes per argument
//   likely, unlikely, likelihood   planner hints that return their argument
//   match      the MATCH operator, how an FTS4 table is searched; it reads the table's index
//   the math functions (acos ... trunc)   a number in, a number out
// Refused on purpose (not in this list), so that a query cannot
//   build a large value from a short text: printf, format (width and precision: a dozen bytes
//       of SQL make 16 MiB per row, and printf had CVE-2022-35737), zeroblob, randomblob;
//   leak what helps an attack: fts3_tokenizer (its one-argument form returns an address inside
//       libsqlite3; its two-argument form installs a function pointer), sqlite_version,
//       sqlite_source_id, sqlite_compileoption_get, sqlite_compileoption_used;
//   change or read connection state: load_extension, sqlite_log (writes the error log),
//       changes, total_changes, last_insert_rowid (the session's own writes), random (and
//       ORDER BY random() would give every page another order);
//   reach FTS internals: snippet, offsets, matchinfo, optimize (merges segments: a write),
//       fts5, fts5_source_id, bm25, highlight, rtreecheck, rtreenode, rtreedepth;
//   not needed for reading: quote (SQL literals; hex shows blobs), soundex, subtype,
//       json_insert, json_replace, json_set, json_remove, json_patch, json_quote.
// Sorted in byte order and in lower case (checked below), for the binary search.
// clang-format off
constexpr auto kAllowed = std::to_array<std::string_view>({
    "->", "->>", "abs", "acos", "acosh", "asin", "asinh", "atan", "atan2", "atanh", "avg", "ceil",
    "ceiling", "char", "coalesce", "cos", "cosh", "count", "cume_dist", "current_date",
    "current_time", "current_timestamp", "date", "datetime", "degrees", "dense_rank", "exp",
    "first_value", "floor", "glob", "group_concat", "hex", "ifnull", "iif", "instr", "json",
    "json_array", "json_array_length", "json_extract", "json_group_array", "json_group_object",
    "json_object", "json_type", "json_valid", "julianday", "lag", "last_value", "lead", "length",
    "like", "likelihood", "likely", "ln", "log", "log10", "log2", "lower", "ltrim", "match", "max",
    "min", "mod", "nth_value", "ntile", "nullif", "percent_rank", "pi", "pow", "power", "radians",
    "rank", "replace", "round", "row_number", "rtrim", "sign", "sin", "sinh", "sqrt", "strftime",
    "substr", "substring", "sum", "tan", "tanh", "time", "total", "trim", "trunc", "typeof",
    "unicode", "unixepoch", "unlikely", "upper",
});
// clang-format on

constexpr bool all_lower_case(std::span<const std::string_view> names) {
  return std::all_of(names.begin(), names.end(), [](std::string_view name) {
    return std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  });
}
static_assert(std::is_sorted(kAllowed.begin(), kAllowed.end()));
static_assert(std::adjacent_find(kAllowed.begin(), kAllowed.end()) == kAllowed.end());
static_assert(all_lower_case(kAllowed));

// SQLite's built-in virtual tables that a query may name like a table (eponymous ones), apart
// from json_each and json_tree: each describes the database's insides (pages, schema, prepared
// statements, settings) or a tokenizer, which a grid never shows. The pragma_* table functions
// come by their prefix. A refused one fails as "access to dbstat.name is prohibited". Names from
// builds and extensions we do not use today are listed too, so that a library built with them does
// not open them up.
// clang-format off
constexpr auto kRefusedTables = std::to_array<std::string_view>({
    "completion", "dbstat", "fsdir", "fts3tokenize", "generate_series", "sqlite_dbdata",
    "sqlite_dbpage", "sqlite_dbptr", "sqlite_memstat", "sqlite_stmt",
});
// clang-format on
static_assert(std::is_sorted(kRefusedTables.begin(), kRefusedTables.end()));

bool less_ignoring_case(std::string_view a, std::string_view b) { return base::icompare(a, b) < 0; }

bool in_sorted(std::span<const std::string_view> names, std::string_view name) {
  const auto found = std::lower_bound(names.begin(), names.end(), name, less_ignoring_case);
  return found != names.end() && base::iequals(*found, name);
}

}  // namespace

bool is_allowed_sql_function(std::string_view name) noexcept { return in_sorted(kAllowed, name); }

std::span<const std::string_view> allowed_sql_functions() noexcept { return kAllowed; }

bool is_refused_virtual_table(std::string_view table) noexcept {
  return base::istarts_with(table, "pragma_") || in_sorted(kRefusedTables, table);
}

}  // namespace appsrv::app
