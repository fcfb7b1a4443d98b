// Caller SQL through the read-only guard (app::ReadOnlyScope) on a scratch SQLite database of
// small tables, a view and an FTS4 table, the way the endpoints put it into statements: the
// input's first byte picks the form (the whole text, FetchData's "select * from <text>", or
// "/rest/sqlselect"'s filter and order), the rest is the caller's text. Two properties hold for
// every input, or the target aborts:
//  - the database file and its WAL keep every byte (the guard lets nothing write);
//  - no function the allow-list refuses ever runs: each such name of the library's functions
//    (and a few made-up ones) is registered on the connection as an application function that
//    aborts when called, and every function name the guard is asked about gets the answer the
//    allow-list gives.
#include <sqlite3.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "app/AllowedSqlFunctions.h"
#include "app/ReadOnlyQuery.h"
#include "db/ado_connection.h"
#include "fuzz/scratch_guard.h"

namespace {

using appsrv::app::is_allowed_sql_function;

constexpr std::string_view kSchema =
    "CREATE TABLE customers(CustomerID INTEGER PRIMARY KEY AUTOINCREMENT, Name VARCHAR(50) NOT "
    "NULL, City VARCHAR(40), CreditLimit MONEY, Active BOOLEAN, Joined DATETIME, Notes MEMO);"
    "CREATE TABLE orders(OrderID INTEGER PRIMARY KEY, CustomerID INTEGER, Amount MONEY, "
    "Shipped BOOLEAN, Photo BLOB, Data TEXT);"
    "CREATE INDEX orders_customer ON orders(CustomerID);"
    "CREATE VIRTUAL TABLE notes USING fts4(title, body);"
    "CREATE VIEW big_orders AS SELECT * FROM orders WHERE Amount > 100;"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20) "
    "INSERT INTO customers(Name, City, CreditLimit, Active, Joined, Notes) SELECT "
    "'Customer ' || i, CASE i % 3 WHEN 0 THEN 'Berlin' WHEN 1 THEN 'Osaka' END, i * 50.25, "
    "i % 2, '2024-01-' || (10 + i) || ' 09:00:00', 'notes ' || i FROM n;"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60) "
    "INSERT INTO orders SELECT i, 1 + i % 20, i * 7.5, i % 2, x'00ff' || i, "
    "json_object('n', i, 'tags', json_array('a', i)) FROM n;"
    "INSERT INTO notes VALUES('hello', 'hello world'), ('other', 'some other text');";

// A function whose name the allow-list refuses ran after all.
void refused_function_ran(sqlite3_context* context, int, sqlite3_value**) {
  const char* name = static_cast<const char*>(sqlite3_user_data(context));
  std::fprintf(stderr, "refused function ran: %s\n", name);
  std::abort();
}

appsrv::db::StatementGuard g_real_guard = nullptr;

// Asks the scope's guard, and checks its answer for a function against the allow-list.
int checking_guard(int action, const char* arg1, const char* arg2, const char* database,
                   const char* trigger) {
  const int answer = g_real_guard(action, arg1, arg2, database, trigger);
  if (action == SQLITE_FUNCTION) {
    const bool allowed = arg2 != nullptr && is_allowed_sql_function(arg2);
    if (allowed != (answer == SQLITE_OK)) {
      std::fprintf(stderr, "guard answered %d for function %s\n", answer, arg2 ? arg2 : "(null)");
      std::abort();
    }
  }
  return answer;
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ScratchDatabase {
 public:
  ScratchDatabase() : path_(appsrv::fuzz::scratch_folder() + "/guard.db") {
    std::ofstream(path_, std::ios::app);  // connections never create their file
    connection_.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path_ + ";");
    sqlite3* db = connection_.handle();
    exec(db, std::string(kSchema));
    register_spies(db);
    // Everything in the file itself, an empty WAL: reads change neither.
    exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    database_ = file_bytes(path_);
    wal_ = file_bytes(path_ + "-wal");
  }

  void run(std::string_view input) {
    if (input.empty()) {
      return;
    }
    const std::string text(input.substr(1));
    std::string sql;
    switch (static_cast<unsigned char>(input[0]) % 4) {
      case 0:
        sql = text;
        break;
      case 1:
        sql = "select * from " + text;
        break;
      case 2:
        sql = "SELECT COUNT(*) AS TotalCount FROM orders WHERE " + text;
        break;
      default:
        sql = "SELECT OrderID, Amount FROM orders ORDER BY " + text;
        break;
    }
    {
      const appsrv::app::ReadOnlyScope scope(connection_, std::chrono::milliseconds(50), 1 << 20);
      g_real_guard = connection_.statement_guard();
      connection_.SetStatementGuard(&checking_guard);
      run_statements(sql);
    }
    if (file_bytes(path_) != database_ || file_bytes(path_ + "-wal") != wal_) {
      std::fprintf(stderr, "the database changed under the guard\n");
      std::abort();
    }
  }

 private:
  static void exec(sqlite3* db, const std::string& sql) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "%s: %s\n", sql.c_str(), sqlite3_errmsg(db));
      std::abort();
    }
  }

  // Every function of the library that the allow-list refuses, and a few names of the
  // application's own kind, become functions that abort; a name defined by the application
  // hides the built-in one of any argument count.
  void register_spies(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT DISTINCT name FROM pragma_function_list", -1, &stmt,
                           nullptr) != SQLITE_OK) {
      std::abort();
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      spies_.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    for (const char* name : {"spy", "app_secret", "shell_exec", "readfile", "writefile"}) {
      spies_.emplace_back(name);
    }
    for (const std::string& name : spies_) {
      if (is_allowed_sql_function(name)) {
        continue;
      }
      if (sqlite3_create_function_v2(db, name.c_str(), -1, SQLITE_UTF8,
                                     const_cast<char*>(name.c_str()), &refused_function_ran,
                                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "cannot register %s: %s\n", name.c_str(), sqlite3_errmsg(db));
        std::abort();
      }
    }
  }

  // Each statement of the text in turn, as the endpoints run theirs, a few rows at most.
  void run_statements(std::string_view sql) {
    for (int count = 0; count < 4 && !sql.empty(); ++count) {
      std::string_view tail;
      appsrv::db::PreparedStatement stmt;
      try {
        stmt = connection_.TakeStatement(sql, &tail);
      } catch (const appsrv::db::DatabaseError&) {
        return;
      }
      if (stmt) {
        sqlite3_stmt* s = stmt.get();
        for (int row = 0; row < 200 && sqlite3_step(s) == SQLITE_ROW; ++row) {
          for (int i = 0; i < sqlite3_column_count(s); ++i) {
            sqlite3_column_text(s, i);
          }
        }
        if (tail.find_first_not_of(" \t\r\n;") == std::string_view::npos) {
          connection_.ReturnStatement(std::move(stmt));
        }
      }
      if (tail.size() >= sql.size()) {
        return;
      }
      sql = tail;
    }
  }

  std::string path_;
  std::vector<std::string> spies_;  // the names registered; SQLite keeps pointers into them
  appsrv::db::TADOConnection connection_;
  std::string database_;
  std::string wal_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchDatabase database;
  database.run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
