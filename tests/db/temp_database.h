// Helpers shared by the database tests: a fresh SQLite file per test and expected failures.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>

#include "base/files.h"
#include "db/ado_connection.h"
#include "db/sqlite_handle.h"
#include "tests/support/temp_folder.h"

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
    // Connections never create their file; an empty one is an empty database.
    base::write_file(path_, "");
    connection_.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path_ + ";");
  }
  // The folder goes after the connection's file is closed.
  void TearDown() override { connection_.Close(); }

  void exec(const std::string& sql) { connection_.Execute(sql); }

  appsrv::testing::TempFolder temp_{"appsrv-db"};
  std::string folder_ = temp_.path();
  std::string path_ = folder_ + "TEST.mdb";
  TADOConnection connection_;
};

}  // namespace appsrv::db
