#include "db/ado_connection.h"

#include <gtest/gtest.h>

#include "base/files.h"
#include "db/ado_dataset.h"
#include "tests/db/temp_database.h"

namespace appsrv::db {
namespace {

class ConnectionTest : public TempDatabaseTest {
 protected:
  std::string single_value(const std::string& sql) {
    TADODataSet ds(&connection_);
    ds.SetCommandText(sql);
    ds.Open();
    return ds.Fields(0).AsString();
  }
};

TEST_F(ConnectionTest, ReadsTheDataSourceOfTheConnectionText) {
  EXPECT_EQ(connection_.data_source(), path_);
  TADOConnection other;
  other.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0; data source=/a/b/../TEST.mdb;");
  EXPECT_EQ(other.data_source(), "/a/b/../TEST.mdb");
  other.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;");
  EXPECT_THROW(other.Execute("select 1"), DatabaseError);
}

TEST_F(ConnectionTest, OpensTheFileOnTheFirstStatementInWalMode) {
  EXPECT_FALSE(connection_.Connected());
  EXPECT_FALSE(base::file_exists(path_));
  exec("create table T (ID integer primary key, Name text)");
  EXPECT_TRUE(connection_.Connected());
  EXPECT_TRUE(base::file_exists(path_));
  EXPECT_EQ(single_value("pragma journal_mode"), "wal");
  EXPECT_EQ(single_value("pragma busy_timeout"), std::to_string(kBusyTimeoutMs));
  EXPECT_THROW(connection_.SetConnectionString("Data Source=/tmp/other;"), DatabaseError);
}

TEST_F(ConnectionTest, ExecuteRunsExactlyOneStatement) {
  exec("create table T (ID integer primary key, Name text)");
  struct Case {
    std::string_view sql;
    bool refused;
  };
  // clang-format off
  const Case cases[] = {
      {"insert into T(Name) values('a')",                                  false},
      {"insert into T(Name) values('b');",                                 false},
      {"insert into T(Name) values('c'); -- trailing comment",             false},
      {"insert into T(Name) values('d');;  \r\n ",                         false},
      {"insert into T(Name) values('x'); delete from T",                   true},
      {"insert into T(Name) values('x'); drop table T; --",                true},
      {"insert into T(Name) values('x'); garbage that is no statement",    true},
      {"insert into T(Name) values(';'); insert into T(Name) values('x')", true},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    if (c.refused) {
      EXPECT_EQ(database_error([&] { connection_.Execute(c.sql); }),
                "Execute runs one statement at a time: " + std::string(c.sql));
    } else {
      EXPECT_EQ(connection_.Execute(c.sql), 1);
    }
  }
  // Nothing of a refused text ran.
  EXPECT_EQ(single_value("select group_concat(Name, '') from T"), "abcd");
  EXPECT_EQ(connection_.Execute("  -- only a comment"), 0);
}

TEST_F(ConnectionTest, FailuresCarryTheDatabaseMessage) {
  struct Case {
    std::string_view sql;
    std::string_view message;
  };
  // clang-format off
  const Case cases[] = {
      {"delete from Nope",        "sqlite3_prepare_v2: no such table: Nope"},
      {"insert into T values(1)", "sqlite3_prepare_v2: no such table: T"},
      {"selec 1",                 "sqlite3_prepare_v2: near \"selec\": syntax error"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(database_error([&] { connection_.Execute(c.sql); }), c.message);
  }
  exec("create table U (ID integer primary key)");
  exec("insert into U values(1)");
  EXPECT_EQ(database_error([&] { connection_.Execute("insert into U values(1)"); }),
            "sqlite3_step: UNIQUE constraint failed: U.ID");
}

TEST_F(ConnectionTest, SecondConnectionSeesCommittedRows) {
  exec("create table T (ID integer primary key)");
  TADOConnection other;
  other.SetConnectionString(connection_.ConnectionString());
  other.Execute("insert into T values(5)");
  EXPECT_EQ(single_value("select count(*) from T"), "1");
}

}  // namespace
}  // namespace appsrv::db
