// The application's endpoints on a PostgreSQL database: the same answers as on SQLite, reads
// that cannot write or run on, and saves that are all or nothing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/AppWebAgent.h"
#include "app/AppWebContentService.h"
#include "app_test_support.h"
#include "db/ado_connection.h"
#include "db/ado_dataset.h"
#include "tests/db/temp_postgres.h"

namespace appsrv::app {
namespace {

using testing::Answer;
using testing::AppFixture;
using testing::thrown_message;

// The fixture table: every kind of column the grid and the packets show.
constexpr const char* kFixture[] = {
    "create table f (id integer not null primary key, name varchar(20), note text, "
    "amount numeric(10,2), ratio double precision, flag boolean, big bigint, small smallint, "
    "born date, seen timestamp, at time)",
    "insert into f values (1, 'O''Brien', 'two\nlines', 1234567.5, 0.1, TRUE, "
    "9007199254740993, -7, '1999-12-31', '2001-02-03 04:05:06', '23:59:58')",
    "insert into f values (2, '', 'x', 12, 2.5e-7, FALSE, -1, 0, '2024-02-29', "
    "'2024-02-29 00:00:00', '00:00:00')",
    "insert into f (id) values (3)",
};

class PostgresAppTest : public AppFixture {
 protected:
  void TearDown() override {
    end_session();
    unsetenv(kDatabaseEnvironmentSetting);
    AppFixture::TearDown();
  }

  // Points new sessions at a fresh PostgreSQL schema through the environment setting.
  bool use_postgres() {
    std::string why_not;
    db::testing::TempPostgres* server = db::testing::TempPostgres::Instance(&why_not);
    if (server == nullptr) {
      ADD_FAILURE() << "PostgreSQL is needed: " << why_not;
      return false;
    }
    pg_text_ = server->fresh_connection_text();
    setenv(kDatabaseEnvironmentSetting, pg_text_.c_str(), 1);
    end_session();
    return true;
  }
  void end_session() {
    if (session_ != nullptr) {
      server::SetCurrentSession(nullptr);
      controller_->Sessions().Release(*session_);
      session_ = nullptr;
    }
  }
  // Runs a statement on the database of the backend in use.
  void run(const std::string& sql) {
    if (pg_text_.empty()) {
      exec(sql);
      return;
    }
    db::TADOConnection connection;
    connection.SetConnectionString(pg_text_);
    connection.Execute(sql);
  }
  int64_t count(const std::string& sql) {
    if (pg_text_.empty()) {
      return query(sql);
    }
    db::TADOConnection connection;
    connection.SetConnectionString(pg_text_);
    db::TADODataSet data(&connection);
    data.SetCommandText(sql);
    data.Open();
    return data.Fields(0).AsInteger();
  }
  void make_fixture() {
    for (const char* sql : kFixture) {
      run(sql);
    }
  }
  std::string fetch(const std::string& params) {
    return call(service_, "POST", "/appservice/", {"Function=FetchData", "Params=" + params}).body;
  }
  std::string save(const std::string& changes) {
    return call(service_, "POST", "/appservice/",
                {"Function=SaveData",
                 "Params={\"TableName\":\"f\",\"KeyFields\":\"id\",\"Changes\":\"" + changes +
                     "\"}"})
        .body;
  }
  std::string select(const std::vector<std::string>& fields) {
    return call(select_, "GET", "/rest/sqlselect", fields).body;
  }
  // The answers of the read endpoints for the fixture.
  std::vector<std::string> answers() {
    return {fetch(R"({"TableName":"f","PageNo":1,"PageSize":10})"),
            fetch(R"({"TableName":"f order by id desc","PageNo":2,"PageSize":2})"),
            select({"tblNames=f"}), select({"tblNames=f", "page=2", "rp=2", "orderBy=id desc"}),
            select({"tblNames=f", "fldNames=id, amount, flag", "where=id < 3"})};
  }

  std::string pg_text_;
  TContentAppService service_;
  TContentSQLSelect select_;
};

TEST(ConnectionTextFromSettingTest, NamesTheDatabaseOfTheSetting) {
  struct Case {
    std::string_view setting;
    std::string_view want;
  };
  const Case cases[] = {
      {"", ""},
      {"  ", ""},
      {"postgresql://app@db1/sales", "Provider=PostgreSQL;Data Source=postgresql://app@db1/sales;"},
      {"postgres://h/d", "Provider=PostgreSQL;Data Source=postgres://h/d;"},
      {"Provider=PostgreSQL;Data Source=host=db1 dbname=sales;",
       "Provider=PostgreSQL;Data Source=host=db1 dbname=sales;"},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/srv/other.mdb;",
       "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/srv/other.mdb;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    EXPECT_EQ(ConnectionTextFromSetting(c.setting), c.want);
  }
}

TEST_F(PostgresAppTest, BothBackendsAnswerWithTheSameBytes) {
  make_fixture();
  const std::vector<std::string> from_sqlite = answers();
  ASSERT_TRUE(use_postgres());
  make_fixture();
  EXPECT_TRUE(module().dbServer.is_postgres());
  const std::vector<std::string> from_postgres = answers();
  ASSERT_EQ(from_postgres.size(), from_sqlite.size());
  for (size_t i = 0; i < from_sqlite.size(); ++i) {
    EXPECT_EQ(from_postgres[i], from_sqlite[i]);
  }
  EXPECT_NE(from_sqlite[2].find("\"1,234,567.50\""), std::string::npos) << from_sqlite[2];
}

TEST_F(PostgresAppTest, ReadEndpointsNeverWrite) {
  ASSERT_TRUE(use_postgres());
  make_fixture();
  run("create sequence s");
  const std::vector<std::vector<std::string>> selects = {
      {"tblNames=f; delete from f"},
      {"tblNames=f", "where=1=1; delete from f"},
      {"tblNames=f", "fldNames=nextval('s')"},
      {"tblNames=f", "orderBy=1; drop table f"},
      {"tblNames=(with d as (delete from f returning *) select * from d) x"},
  };
  for (const auto& fields : selects) {
    SCOPED_TRACE(fields.back());
    EXPECT_NE(thrown_message([&] { select(fields); }), "");
  }
  for (const char* table : {"f; delete from f", "f where id in (select nextval('s'))"}) {
    SCOPED_TRACE(table);
    EXPECT_NE(thrown_message([&] {
                fetch(std::string(R"({"PageNo":1,"PageSize":10,"TableName":")") + table + "\"}");
              }),
              "");
  }
  EXPECT_EQ(count("select count(*) from f"), 3);
  EXPECT_EQ(count("select last_value from s"), 1);
  EXPECT_EQ(count("select is_called::int from s"), 0);
  // The session's connection is usable after each refusal.
  EXPECT_NE(select({"tblNames=f"}).find("\"total\":3"), std::string::npos);
}

TEST_F(PostgresAppTest, SlowReadStopsAtTheTimeOut) {
  controller_->QueryLimits.ReadTimeoutMs = 100;
  ASSERT_TRUE(use_postgres());
  make_fixture();
  const std::string stopped = "The query ran longer than 100 ms and was stopped.";
  EXPECT_EQ(thrown_message([&] {
              select({"tblNames=f", "fldNames=pg_sleep(10)", "orderBy=id"});
            }),
            stopped);
  // A statement that lifts the time-out lifts it for itself only: the next one is stopped.
  EXPECT_EQ(thrown_message([&] {
              select({"tblNames=f, (select set_config('statement_timeout', '0', false)) s",
                      "fldNames=pg_sleep(10)", "orderBy=id"});
            }),
            stopped);
  EXPECT_NE(select({"tblNames=f"}).find("\"total\":3"), std::string::npos);
}

TEST_F(PostgresAppTest, SaveDataIsAllOrNothing) {
  ASSERT_TRUE(use_postgres());
  make_fixture();
  // The second insert repeats the key of the first: the first must not stay behind.
  const std::string failing = save(
      "<rs:data><rs:insert><z:row id=\\\"10\\\" name=\\\"a\\\"/><z:row id=\\\"10\\\" "
      "name=\\\"b\\\"/><z:row id=\\\"11\\\" name=\\\"c\\\"/></rs:insert></rs:data>");
  EXPECT_NE(failing.find("\"Error\":\"\\u6267\\u884c:INSERT INTO f(id,name) VALUES(10,'b')"),
            std::string::npos)
      << failing;
  EXPECT_EQ(count("select count(*) from f where id >= 10"), 0);
  const std::string saved = save(
      "<rs:data><rs:update><rs:original><z:row id=\\\"1\\\"/></rs:original><z:row "
      "name=\\\"new\\\"/></rs:update><rs:insert><z:row id=\\\"10\\\" name=\\\"a\\\"/>"
      "</rs:insert></rs:data>");
  EXPECT_EQ(saved.find("\"Error\""), std::string::npos) << saved;
  EXPECT_EQ(count("select count(*) from f where id = 10 or (id = 1 and name = 'new')"), 2);
}

}  // namespace
}  // namespace appsrv::app
