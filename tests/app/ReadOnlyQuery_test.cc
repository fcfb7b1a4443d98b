#include "app/ReadOnlyQuery.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "base/exception.h"
#include "db/ado_dataset.h"
#include "db/sqlite_handle.h"

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

// The scope caps the temporary disk its statements spill sorts to; past the cap the read fails
// with a message that says why, and the files are closed at once.
TEST_F(ReadOnlyScopeTest, CapsTheTemporaryDiskOfItsSorts) {
  // About 4 MB sorted by a text: twice what a sorter keeps in memory.
  const std::string sort =
      "with recursive n(i) as (select 1 union all select i + 1 from n where i < 4000) "
      "select i, i || '" +
      std::string(1000, 'x') + "' as b from n order by b";
  const std::string stopped =
      "The query needed more than 1048576 bytes of temporary disk and was stopped.";
  {
    const ReadOnlyScope scope(connection_, std::chrono::milliseconds(60000), 0, int64_t{1} << 20);
    const std::string error = open_query(sort);
    EXPECT_EQ(error, "sqlite3_step: database or disk is full");
    EXPECT_TRUE(scope.temp_disk_exceeded());
    EXPECT_EQ(scope.temp_bytes_in_use(), 0);
    try {
      scope.throw_if_stopped(db::DatabaseError(error, SQLITE_FULL));
      ADD_FAILURE() << "not stopped";
    } catch (const base::Exception& e) {
      EXPECT_EQ(std::string(e.what()), stopped);
    }
  }
  {
    const ReadOnlyScope scope(connection_, std::chrono::milliseconds(60000), 0, int64_t{64} << 20);
    EXPECT_EQ(open_query(sort), "");
    EXPECT_FALSE(scope.temp_disk_exceeded());
    // Any other failure is left as it is.
    EXPECT_NO_THROW(scope.throw_if_stopped(db::DatabaseError("no such table: X", SQLITE_ERROR)));
  }
}

TEST_F(ReadOnlyScopeTest, NamesTheHeapLimitWhenSqliteRunsOutOfMemory) {
  const int64_t previous = db::apply_sqlite_heap_limit(int64_t{300} << 20);
  const ReadOnlyScope scope(connection_);
  const std::string stopped =
      "The database ran out of the memory allowed for queries (314572800 bytes) and stopped "
      "the query.";
  for (const int code : {SQLITE_NOMEM, SQLITE_IOERR_NOMEM}) {
    SCOPED_TRACE(code);
    try {
      scope.throw_if_stopped(db::DatabaseError("sqlite3_step: out of memory", code));
      ADD_FAILURE() << "not named";
    } catch (const base::Exception& e) {
      EXPECT_EQ(std::string(e.what()), stopped);
    }
  }
  // Without a limit, running out of memory is the system's, said as SQLite says it.
  db::apply_sqlite_heap_limit(0);
  EXPECT_NO_THROW(scope.throw_if_stopped(db::DatabaseError("out of memory", SQLITE_NOMEM)));
  db::apply_sqlite_heap_limit(previous);
}

}  // namespace
}  // namespace appsrv::app
