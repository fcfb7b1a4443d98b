#include "app/ReadOnlyQuery.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

namespace appsrv::app {
namespace {

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

class ReadOnlyScopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &raw), SQLITE_OK);
    db_.reset(raw);
    ASSERT_EQ(exec("create table T(a integer, b text); insert into T values(1,'x')"), SQLITE_OK);
  }
  int exec(const std::string& sql) {
    return sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr);
  }
  int prepare(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &stmt, nullptr);
    sqlite3_finalize(stmt);
    return rc;
  }
  std::unique_ptr<sqlite3, CloseDb> db_;
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
  const ReadOnlyScope scope(db_.get());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(prepare(std::string(c.sql)) == SQLITE_OK, c.allowed);
  }
}

TEST_F(ReadOnlyScopeTest, EndsWithTheScope) {
  ASSERT_EQ(exec("insert into T values(2, printf('%.100c', 'x'))"), SQLITE_OK);
  const std::string long_read = "select b from T where a = 2";
  {
    const ReadOnlyScope scope(db_.get(), std::chrono::milliseconds(60000), 50);
    EXPECT_EQ(exec("delete from T"), SQLITE_AUTH);
    EXPECT_EQ(exec(long_read), SQLITE_TOOBIG);
    EXPECT_FALSE(scope.timed_out());
  }
  EXPECT_EQ(exec("delete from T"), SQLITE_OK);
  EXPECT_EQ(exec(long_read), SQLITE_OK);
}

}  // namespace
}  // namespace appsrv::app
