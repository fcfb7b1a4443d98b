#include "app/ReadOnlyQuery.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "db/ado_dataset.h"
#include "db/sqlite_handle.h"
#include "tests/db/temp_database.h"

namespace appsrv::app {
namespace {

class ReadOnlyScopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection_.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=:memory:;");
    ASSERT_EQ(exec("create table T(a integer, b text); insert into T values(1,'x')"), SQLITE_OK);
  }
  int exec(const std::string& sql) {
    return sqlite3_exec(connection_.handle(), sql.c_str(), nullptr, nullptr, nullptr);
  }
  int prepare(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(connection_.handle(), sql.c_str(), -1, &stmt, nullptr);
    sqlite3_finalize(stmt);
    return rc;
  }
  // Opens `sql` as a dataset query and closes it again, which leaves its statement kept by
  // the connection; "" or the database's error.
  std::string open_query(const std::string& sql) {
    db::TADODataSet query(&connection_);
    query.SetCommandText(sql);
    try {
      query.Open();
    } catch (const db::DatabaseError& e) {
      return e.what();
    }
    return "";
  }
  int64_t rows() {
    db::TADODataSet count(&connection_);
    count.SetCommandText("select count(*) from T");
    count.Open();
    return count.Fields(0).AsInteger();
  }
  db::TADOConnection connection_;
};

TEST_F(ReadOnlyScopeTest, AllowsReadsOnly) {
  struct Case {
    std::string_view sql;
    bool allowed;
  };
  const Case cases[] = {
      {"select * from T", true},
      {"select count(*) as TotalCount from T where b like 'x%'", true},
      {"with recursive n(i) as (select 1 union all select i+1 from n where i<3) select * from n",
       true},
      {"pragma table_info(T)", true},
      {"insert into T values(2,'y')", false},
      {"update T set a=2", false},
      {"delete from T", false},
      {"drop table T", false},
      {"create table U(x)", false},
      {"attach database ':memory:' as other", false},
      {"pragma journal_mode=delete", false},
      {"pragma writable_schema", false},
      {"begin", false},
  };
  const ReadOnlyScope scope(connection_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(prepare(std::string(c.sql)) == SQLITE_OK, c.allowed);
  }
}

TEST_F(ReadOnlyScopeTest, EndsWithTheScope) {
  ASSERT_EQ(exec("insert into T values(2, printf('%.100c', 'x'))"), SQLITE_OK);
  const std::string long_read = "select b from T where a = 2";
  {
    const ReadOnlyScope scope(connection_, std::chrono::milliseconds(60000), 50);
    EXPECT_EQ(exec("delete from T"), SQLITE_AUTH);
    EXPECT_EQ(exec(long_read), SQLITE_TOOBIG);
    EXPECT_FALSE(scope.timed_out());
  }
  EXPECT_EQ(exec("delete from T"), SQLITE_OK);
  EXPECT_EQ(exec(long_read), SQLITE_OK);
}

// The connection keeps statements between scopes; a statement kept from outside a scope must
// not let a write through inside one, however often the scope comes and goes.
TEST_F(ReadOnlyScopeTest, KeptStatementsDoNotCarryWritesIntoTheScope) {
  const std::string write = "delete from T where a = 1 returning a";
  const std::string read = "select * from T";
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(exec("delete from T; insert into T values(1, 'x')"), SQLITE_OK);
    EXPECT_EQ(open_query(read), "");
    {
      const ReadOnlyScope scope(connection_);
      EXPECT_EQ(open_query(read), "");
      EXPECT_NE(open_query(write).find("not authorized"), std::string::npos);
      EXPECT_NE(open_query("pragma journal_mode").find("not authorized"), std::string::npos);
    }
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(open_query(write), "");
    EXPECT_EQ(open_query("pragma journal_mode"), "");
    EXPECT_EQ(rows(), 0);
  }
  EXPECT_GT(connection_.KeptStatements(), 0u);
}

// A count and the page read after it in one scope agree, though another session commits rows
// between them.
class ReadOnlySnapshotTest : public db::TempDatabaseTest {};

TEST_F(ReadOnlySnapshotTest, ReadsOfAScopeSeeOneSnapshot) {
  connection_.Execute("create table T(a integer)");
  connection_.Execute("insert into T values(1)");
  db::TADOConnection other;
  other.SetConnectionString(connection_.ConnectionString());
  const auto count = [&] {
    db::TADODataSet rows(&connection_);
    rows.SetCommandText("select count(*) from T");
    rows.Open();
    return rows.Fields(0).AsInteger();
  };
  {
    const ReadOnlyScope scope(connection_);
    EXPECT_EQ(count(), 1);
    other.Execute("insert into T values(2)");
    EXPECT_EQ(count(), 1);
  }
  EXPECT_EQ(count(), 2);
  // Ended: the scope leaves no transaction that would hold the snapshot or block a writer.
  EXPECT_NE(sqlite3_get_autocommit(connection_.handle()), 0);
  other.Execute("insert into T values(3)");
  EXPECT_EQ(count(), 3);
}

}  // namespace
}  // namespace appsrv::app
