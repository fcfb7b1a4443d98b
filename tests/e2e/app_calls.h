// Calls on the running program's application service and on its database file: a client
// session that keeps its cookie, the reply envelope, and statements run beside the program.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "tests/support/http_client.h"

namespace appsrv::testing {

inline void exec_sql(const std::filesystem::path& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error != nullptr ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

// Table T(ID, Name) with rows 1..`rows`, named "name <ID>".
inline void create_named_rows(const std::filesystem::path& db_path, int rows) {
  exec_sql(db_path,
           "CREATE TABLE T(ID INTEGER PRIMARY KEY, Name VARCHAR(40));"
           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
               std::to_string(rows) + ") INSERT INTO T SELECT i, 'name ' || i FROM n;");
}

inline std::string query_text(const std::filesystem::path& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open(db_path.c_str(), &db) != SQLITE_OK) {
    return "open failed";
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        const unsigned char* v = sqlite3_column_text(st, c);
        out.append(c > 0 ? "|" : "")
            .append(v != nullptr ? reinterpret_cast<const char*>(v) : "NULL");
      }
      out += "\n";
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// The failure an error page names, its character references decoded ("&#32;" is a blank);
// for any other reply, the reply itself.
inline std::string failure_of(const std::string& body) {
  const std::string open = "<div class=\"message\">";
  const size_t from = body.find(open);
  const size_t to = from == std::string::npos ? from : body.find("</div>", from);
  if (to == std::string::npos) {
    return body;
  }
  const std::string text = body.substr(from + open.size(), to - from - open.size());
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t end = text.find(';', i);
    if (text.compare(i, 2, "&#") == 0 && end != std::string::npos) {
      out += static_cast<char>(std::stoi(text.substr(i + 2, end - i - 2)));
      i = end;
    } else if (text.compare(i, 4, "&lt;") == 0 || text.compare(i, 4, "&gt;") == 0) {
      out += text[i + 1] == 'l' ? '<' : '>';
      i += 3;
    } else if (text.compare(i, 5, "&amp;") == 0) {
      out += '&';
      i += 4;
    } else if (text.compare(i, 6, "&quot;") == 0) {
      out += '"';
      i += 5;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A client session: the first request earns the cookie, later ones carry it. `source`, when not
// empty, is the loopback address it connects from.
class Client {
 public:
  explicit Client(uint16_t port, std::string source = "")
      : port_(port), source_(std::move(source)) {}

  ParsedResponse Call(const std::string& function, const std::string& params) {
    ParsedResponse r = PostForm(
        port_, "/appservice/", "Function=" + FormEncode(function) + "&Params=" + FormEncode(params),
        cookie_, source_);
    for (const std::string& c : Cookies(r)) {
      cookie_ = c;
    }
    return r;
  }
  ParsedResponse Get(const std::string& target) {
    ParsedResponse r = testing::Get(port_, target, cookie_, source_);
    for (const std::string& c : Cookies(r)) {
      cookie_ = c;
    }
    return r;
  }
  const std::string& cookie() const { return cookie_; }

 private:
  uint16_t port_;
  std::string source_;
  std::string cookie_;
};

inline std::string envelope(const std::string& function, const std::string& params,
                            const std::string& result) {
  return "Function=" + function + "\r\nParams=" + params + "\r\nResult=" + result;
}

}  // namespace appsrv::testing
