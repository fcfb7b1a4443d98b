// Helpers shared by the database tests: a fresh SQLite file per test and expected failures.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>

#include "base/files.h"
#include "db/ado_connection.h"
#include "db/sqlite_handle.h"

namespace appsrv::db {

// The message of the DatabaseError `act` throws; a test failure when it throws none.
inline std::string database_error(const std::function<void()>& act) {
  try {
    act();
  } catch (const DatabaseError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return "(no error)";
}

// A fresh SQLite file in its own temporary folder for each test, removed afterwards.
class TempDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = base::system_temp_folder() + "appsrv-db-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    folder_ = tmpl + "/";
    path_ = folder_ + "TEST.mdb";
    // Connections never create their file; an empty one is an empty database.
    base::write_file(path_, "");
    connection_.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path_ + ";");
  }
  void TearDown() override {
    connection_.Close();
    base::remove_tree(folder_);
  }

  void exec(const std::string& sql) { connection_.Execute(sql); }

  std::string folder_;
  std::string path_;
  TADOConnection connection_;
};

}  // namespace appsrv::db
