// The application's endpoints on a PostgreSQL database: the same answers as on SQLite, reads
// that cannot write or run on, saves that are all or nothing, and, on the application's own
// role, caller text that reaches no file, setting or other session.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <iterator>
#include <string>
#include <vector>

#include "app/AppWebAgent.h"
#include "app/AppWebContentService.h"
#include "app_test_support.h"
#include "base/files.h"
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

// The read endpoints on the application's own role, made as a real deployment makes it: caller
// text that a superuser's session would let read the server's files, change its limits or end
// other sessions fails with PostgreSQL's refusal, and the session goes on answering.
class PostgresRoleTest : public PostgresAppTest {
 protected:
  // Points new sessions at a fresh schema holding the fixture, through a new application role;
  // run() and count() act as the cluster's owner.
  bool use_application_role(const db::testing::TempPostgres::RoleLimits& limits = {}) {
    std::string why_not;
    db::testing::TempPostgres* server = db::testing::TempPostgres::Instance(&why_not);
    if (server == nullptr) {
      ADD_FAILURE() << "PostgreSQL is needed: " << why_not;
      return false;
    }
    std::vector<std::string> tables(std::begin(kFixture), std::end(kFixture));
    // Rows of about 100 bytes each, for the page cap.
    tables.emplace_back("create table wide (id integer primary key, body text)");
    tables.emplace_back(
        "insert into wide select g, repeat('x', 100) from generate_series(1, 30) g");
    const auto database = server->application_database(tables, limits);
    pg_text_ = database.owner;
    setenv(kDatabaseEnvironmentSetting, database.role.c_str(), 1);
    end_session();
    return true;
  }
  bool still_answers() { return select({"tblNames=f"}).find("\"total\":3") != std::string::npos; }
};

TEST_F(PostgresRoleTest, CallerTextReachesNoFileSettingOrOtherSession) {
  const std::string hostname = base::read_file("/etc/hostname");
  ASSERT_FALSE(hostname.empty());
  const std::vector<std::string> read_file = {
      "tblNames=f", "fldNames=pg_read_file('/etc/hostname')", "where=id = 1"};
  // What the refusals below guard against: a superuser's session reads the file.
  ASSERT_TRUE(use_postgres());
  make_fixture();
  EXPECT_NE(select(read_file).find(hostname.substr(0, hostname.find('\n'))), std::string::npos);

  ASSERT_TRUE(use_application_role());
  struct Case {
    std::string_view field;  // "TableName": FetchData's; the others: "/rest/sqlselect"'s
    std::string_view text;
    std::string_view error;  // contained in the message
  };
  const Case cases[] = {
      {"fldNames", "pg_read_file('/etc/hostname')", "permission denied for function pg_read_file"},
      {"TableName", "f, pg_read_file('/etc/hostname') h",
       "permission denied for function pg_read_file"},
      {"tblNames", "pg_ls_dir('.') d", "permission denied for function pg_ls_dir"},
      {"where", "lo_import('/etc/hostname') > 0", "permission denied for function lo_import"},
      {"orderBy", "lo_export(1, '/tmp/appsrv-lo')", "permission denied for function lo_export"},
      {"fldNames", "current_setting('data_directory')",
       "must be superuser or have privileges of pg_read_all_settings"},
      {"tblNames", "(copy f to program 'id') c", "syntax error at or near \"to\""},
      {"tblNames", "(with d as (delete from f returning *) select * from d) d",
       "WITH clause containing a data-modifying statement must be at the top level"},
      {"fldNames", "set_config('temp_file_limit', '100GB', false)",
       "permission denied for function set_config"},
      {"where", "set_config('work_mem', '64GB', false) <> ''",
       "permission denied for function set_config"},
      {"fldNames", "pg_terminate_backend(pg_backend_pid())",
       "permission denied for function pg_terminate_backend"},
      {"fldNames", "pg_cancel_backend(pg_backend_pid())",
       "permission denied for function pg_cancel_backend"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + "=" + std::string(c.text));
    const std::string message = thrown_message([&] {
      if (c.field == "TableName") {
        fetch(R"({"PageNo":1,"PageSize":10,"TableName":")" + std::string(c.text) + "\"}");
      } else {
        std::vector<std::string> fields = {std::string(c.field) + "=" + std::string(c.text)};
        if (c.field != "tblNames") {
          fields.emplace_back("tblNames=f");
        }
        select(fields);
      }
    });
    EXPECT_NE(message.find(c.error), std::string::npos) << message;
    EXPECT_TRUE(still_answers());
  }
  EXPECT_EQ(count("select count(*) from f"), 3);
}

TEST_F(PostgresRoleTest, PagesStopAtTheCap) {
  controller_->QueryLimits.MaxPageBytes = 2000;
  ASSERT_TRUE(use_application_role());
  const std::string page = "The reply page would be larger than 2000 bytes; ask for fewer rows.";
  const auto fetch_wide = [&](int rows) {
    return thrown_message([&] {
      fetch(R"({"TableName":"wide","PageNo":1,"PageSize":)" + std::to_string(rows) + "}");
    });
  };
  const auto select_wide = [&](int rows) {
    return thrown_message([&] { select({"tblNames=wide", "rp=" + std::to_string(rows)}); });
  };
  EXPECT_EQ(fetch_wide(30), page);
  EXPECT_EQ(select_wide(30), page);
  EXPECT_EQ(fetch_wide(2), "");
  EXPECT_EQ(select_wide(2), "");
  EXPECT_TRUE(still_answers());
}

TEST_F(PostgresRoleTest, SortSpillingPastTheTempFileLimitFails) {
  // 100,000 md5 texts: a few MB to sort, far more than 64 kB of work_mem holds.
  const std::vector<std::string> big_sort = {
      "tblNames=(select md5(g::text) m from (select generate_series(1, 100000) g) n order by m) s"};
  ASSERT_TRUE(use_application_role({.temp_file_limit = "1MB", .work_mem = "64kB"}));
  const std::string message = thrown_message([&] { select(big_sort); });
  EXPECT_NE(message.find("temporary file size exceeds temp_file_limit (1024kB)"), std::string::npos)
      << message;
  EXPECT_TRUE(still_answers());
  // Under the deployment's limits the same sort answers: the cap stopped it, not the query.
  ASSERT_TRUE(use_application_role());
  EXPECT_NE(select(big_sort).find("\"total\":100000"), std::string::npos);
}

}  // namespace
}  // namespace appsrv::app
