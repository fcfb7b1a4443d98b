// Helpers shared by the benchmark programs: a private temporary folder and a large seeded table.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/files.h"
#include "server/session/server_controller.h"

namespace appsrv::bench {

// A fresh folder under the system's temporary folder with "app/" and "tmp/" inside, removed
// afterwards. The program stops when the folder cannot be made.
class BenchFolder {
 public:
  explicit BenchFolder(const std::string& name) {
    std::string pattern = base::system_temp_folder() + "appsrv-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    root_ = pattern + "/";
    base::force_directories(app(), 0700);
    base::force_directories(tmp(), 0700);
  }
  ~BenchFolder() { base::remove_tree(root_); }
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;

  const std::string& root() const { return root_; }
  std::string app() const { return root_ + "app/"; }
  std::string tmp() const { return root_ + "tmp/"; }

  // A controller environment over these folders, without the background timeout thread.
  server::ControllerEnvironment environment(const std::string& application_file) const {
    server::ControllerEnvironment env;
    env.application_folder = app();
    env.application_file = application_file;
    env.temp_folder = tmp();
    env.start_timeout_thread = false;
    return env;
  }

 private:
  std::string root_;
};

// Stops the program with SQLite's message when `rc` reports a failure.
inline void check_sqlite(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// What the fifth column of the customer table holds.
enum class LastColumn {
  kQuantity,  // "Qty INTEGER", 0..999
  kNote,      // "Note TEXT", a short text with characters markup must escape
};

// Creates the table T(ID, Name, Amount, Created, <last>) in the SQLite file at `path` and fills
// it with `rows` rows in one transaction. The values come from `seed`, so every run builds the
// same file.
inline void build_customer_table(const std::string& path, int64_t rows, uint64_t seed,
                                 LastColumn last) {
  sqlite3* db = nullptr;
  check_sqlite(sqlite3_open(path.c_str(), &db), db, "open");
  const std::string create =
      std::string(
          "PRAGMA journal_mode=WAL;"
          "CREATE TABLE T(ID INTEGER PRIMARY KEY, Name VARCHAR(40), Amount MONEY, "
          "Created DATETIME, ") +
      (last == LastColumn::kQuantity ? "Qty INTEGER" : "Note TEXT") + ");BEGIN";
  check_sqlite(sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr), db, "create");
  sqlite3_stmt* insert = nullptr;
  check_sqlite(
      sqlite3_prepare_v2(db, "INSERT INTO T VALUES(?1, ?2, ?3, ?4, ?5)", -1, &insert, nullptr), db,
      "prepare");
  char text[64];
  for (int64_t id = 1; id <= rows; ++id) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    sqlite3_bind_int64(insert, 1, id);
    std::snprintf(text, sizeof text, "Customer %llu", static_cast<unsigned long long>(seed >> 40));
    sqlite3_bind_text(insert, 2, text, -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 3, static_cast<double>(seed % 100000000) / 100);
    std::snprintf(text, sizeof text, "20%02d-%02d-%02d 12:%02d:00", static_cast<int>(seed % 25),
                  static_cast<int>(seed % 12) + 1, static_cast<int>(seed % 28) + 1,
                  static_cast<int>(seed % 60));
    sqlite3_bind_text(insert, 4, text, -1, SQLITE_TRANSIENT);
    if (last == LastColumn::kQuantity) {
      sqlite3_bind_int64(insert, 5, static_cast<int64_t>(seed % 1000));
    } else {
      std::snprintf(text, sizeof text, "note <%lld> & 'quoted'", static_cast<long long>(id));
      sqlite3_bind_text(insert, 5, text, -1, SQLITE_TRANSIENT);
    }
    check_sqlite(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check_sqlite(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_close_v2(db);
}

}  // namespace appsrv::bench
