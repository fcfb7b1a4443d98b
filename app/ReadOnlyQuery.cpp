#include "app/ReadOnlyQuery.h"

#include <sqlite3.h>

#include <array>
#include <string>

#include "base/exception.h"
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

// Index just past the end of a quoted run that starts at `i` with `close` as its closing
// character; a doubled closing character inside the run stands for itself.
size_t skip_quoted(std::string_view sql, size_t i, char close) {
  for (size_t j = i + 1; j < sql.size(); ++j) {
    if (sql[j] == close) {
      if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
        ++j;
        continue;
      }
      return j + 1;
    }
  }
  return sql.size();
}

// Index past a comment starting at `i`, or `i` when none starts there.
size_t skip_comment(std::string_view sql, size_t i) {
  if (sql.substr(i, 2) == "--") {
    const size_t end = sql.find('\n', i);
    return end == std::string_view::npos ? sql.size() : end + 1;
  }
  if (sql.substr(i, 2) == "/*") {
    const size_t end = sql.find("*/", i + 2);
    return end == std::string_view::npos ? sql.size() : end + 2;
  }
  return i;
}

}  // namespace

ReadOnlyScope::ReadOnlyScope(sqlite3* db) : db_(db) {
  sqlite3_set_authorizer(db_, authorize_reads, nullptr);
}

ReadOnlyScope::~ReadOnlyScope() { sqlite3_set_authorizer(db_, nullptr, nullptr); }

bool is_single_statement(std::string_view sql) {
  bool ended = false;  // a top-level ";" has been seen
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    const size_t after_comment = skip_comment(sql, i);
    if (after_comment != i) {
      i = after_comment;
      continue;
    }
    if (c == ';') {
      ended = true;
      ++i;
      continue;
    }
    if (static_cast<unsigned char>(c) <= ' ') {
      ++i;
      continue;
    }
    if (ended) {
      return false;
    }
    switch (c) {
      case '\'':
      case '"':
      case '`':
        i = skip_quoted(sql, i, c);
        break;
      case '[':
        i = skip_quoted(sql, i, ']');
        break;
      default:
        ++i;
    }
  }
  return true;
}

void require_single_statement(std::string_view sql) {
  if (!is_single_statement(sql)) {
    throw base::Exception("Only one statement is allowed: " + std::string(sql));
  }
}

}  // namespace appsrv::app
