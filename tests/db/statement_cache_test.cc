// The statements a connection keeps for reuse: found again by text and guard, never stale after
// a schema change, never a statement that writes, never one of a handle closed since.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "db/ado_dataset.h"
#include "db/statement_cache.h"
#include "tests/db/temp_database.h"

namespace appsrv::db {
namespace {

// Refuses to read column B of any table; everything else passes.
int refuse_column_b(int action, const char*, const char* column, const char*, const char*) {
  return action == SQLITE_READ && column != nullptr && std::string(column) == "B" ? SQLITE_DENY
                                                                                  : SQLITE_OK;
}

class KeptStatementsTest : public TempDatabaseTest {
 protected:
  void SetUp() override {
    TempDatabaseTest::SetUp();
    exec("create table T (A integer primary key, B text)");
    exec("insert into T values (1, 'one'), (2, 'two')");
  }
  // Opens `sql`, reads every row's fields into one text ("A,B;A,B;"), closes.
  std::string read_all(const std::string& sql) {
    TADODataSet ds(&connection_);
    ds.SetCommandText(sql);
    ds.Open();
    std::string text;
    for (; !ds.Eof(); ds.Next()) {
      for (size_t i = 0; i < ds.FieldCount(); ++i) {
        if (i > 0) {
          text += ',';
        }
        text += ds.Fields(i).AsString();
      }
      text += ";";
    }
    return text;
  }
};

TEST_F(KeptStatementsTest, AClosedQueryLeavesItsStatementForTheSameText) {
  TADODataSet ds(&connection_);
  ds.SetCommandText("select * from T");
  ds.Open();
  sqlite3_stmt* first = nullptr;
  {
    PreparedStatement probe = connection_.TakeStatement("select 1");
    first = probe.get();
    connection_.ReturnStatement(std::move(probe));
  }
  EXPECT_EQ(connection_.KeptStatements(), 1u);
  ds.Close();
  EXPECT_EQ(connection_.KeptStatements(), 2u);
  PreparedStatement again = connection_.TakeStatement("select 1");
  EXPECT_EQ(again.get(), first);
  EXPECT_EQ(connection_.KeptStatements(), 1u);
  // The page skipped to and the row counted use kept statements too, and read the same rows.
  ds.Open();
  ds.MoveBy(1);
  EXPECT_EQ(ds.Fields(1).AsString(), "two");
  EXPECT_EQ(ds.RecordCount(), 2);
  ds.Close();
  ds.Open();
  ds.MoveBy(1);
  EXPECT_EQ(ds.Fields(1).AsString(), "two");
  EXPECT_EQ(ds.RecordCount(), 2);
}

TEST_F(KeptStatementsTest, ASchemaChangeShowsInAKeptStatement) {
  EXPECT_EQ(read_all("select * from T"), "1,one;2,two;");
  exec("alter table T add column C text default 'x'");
  EXPECT_EQ(read_all("select * from T"), "1,one,x;2,two,x;");
  exec("drop table T");
  exec("create table T (Z text)");
  exec("insert into T values ('z')");
  EXPECT_EQ(read_all("select * from T"), "z;");
  exec("drop table T");
  EXPECT_NE(database_error([&] { read_all("select * from T"); }).find("no such table: T"),
            std::string::npos);
}

TEST_F(KeptStatementsTest, AStatementIsFoundOnlyUnderTheGuardItWasPreparedUnder) {
  EXPECT_EQ(read_all("select * from T"), "1,one;2,two;");
  connection_.SetStatementGuard(refuse_column_b);
  EXPECT_NE(database_error([&] { read_all("select * from T"); }).find("access to T.B is prohibited"),
            std::string::npos);
  EXPECT_EQ(read_all("select A from T"), "1;2;");
  connection_.SetStatementGuard(nullptr);
  EXPECT_EQ(read_all("select * from T"), "1,one;2,two;");
  // A statement that lived across a change of guard is not kept.
  TADODataSet ds(&connection_);
  ds.SetCommandText("select A from T where A = 2");
  ds.Open();
  connection_.SetStatementGuard(refuse_column_b);
  const size_t kept = connection_.KeptStatements();
  ds.Close();
  EXPECT_EQ(connection_.KeptStatements(), kept);
}

TEST_F(KeptStatementsTest, StatementsThatWriteAreNeverKept) {
  EXPECT_EQ(read_all("insert into T values (3, 'three') returning A"), "3;");
  EXPECT_EQ(connection_.KeptStatements(), 0u);
  EXPECT_EQ(read_all("insert into T values (4, 'four') returning A"), "4;");
  EXPECT_EQ(read_all("select count(*) from T"), "4;");
}

TEST_F(KeptStatementsTest, AStatementOfAClosedHandleIsNotKept) {
  PreparedStatement taken = connection_.TakeStatement("select * from T");
  connection_.Close();
  connection_.Open();
  connection_.ReturnStatement(std::move(taken));
  EXPECT_EQ(connection_.KeptStatements(), 0u);
  EXPECT_EQ(read_all("select * from T"), "1,one;2,two;");
}

// A connection that gives back its memory after a request keeps its statements; one closed
// for idleness drops them, and the next use opens and prepares afresh.
TEST_F(KeptStatementsTest, ReleasingMemoryKeepsStatementsClosingDropsThem) {
  EXPECT_EQ(read_all("select * from T"), "1,one;2,two;");
  const size_t kept = connection_.KeptStatements();
  ASSERT_GT(kept, 0u);
  connection_.ReleaseCache();
  EXPECT_EQ(connection_.KeptStatements(), kept);
  EXPECT_EQ(read_all("select * from T"), "1,one;2,two;");
  connection_.ReleaseMapping();
  EXPECT_EQ(connection_.KeptStatements(), kept);
  EXPECT_EQ(read_all("select * from T"), "1,one;2,two;");
  connection_.Close();
  EXPECT_EQ(connection_.KeptStatements(), 0u);
  EXPECT_EQ(read_all("select * from T"), "1,one;2,two;");
}

TEST_F(KeptStatementsTest, TheOldestGoesBeyondTheCapacity) {
  for (size_t i = 0; i < StatementCache::kCapacity + 3; ++i) {
    EXPECT_EQ(read_all("select A from T where A = 1 and " + std::to_string(i) + " = " +
                       std::to_string(i)),
              "1;");
  }
  EXPECT_EQ(connection_.KeptStatements(), StatementCache::kCapacity);
  PreparedStatement oldest = connection_.TakeStatement("select A from T where A = 1 and 0 = 0");
  EXPECT_EQ(connection_.KeptStatements(), StatementCache::kCapacity);
  PreparedStatement newest = connection_.TakeStatement(
      "select A from T where A = 1 and " + std::to_string(StatementCache::kCapacity + 2) + " = " +
      std::to_string(StatementCache::kCapacity + 2));
  EXPECT_EQ(connection_.KeptStatements(), StatementCache::kCapacity - 1);
}

}  // namespace
}  // namespace appsrv::db
