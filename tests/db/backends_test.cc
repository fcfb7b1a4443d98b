// The database access interface over both backends: what the application reads must not
// depend on which database holds the data.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "base/files.h"
#include "db/ado_connection.h"
#include "db/ado_dataset.h"
#include "tests/db/temp_database.h"
#include "tests/db/temp_postgres.h"

namespace appsrv::db {
namespace {

using testing::TempPostgres;

enum class Backend { kSqlite, kPostgres };

std::string backend_name(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "SQLite" : "PostgreSQL";
}

// A fresh, empty database of either backend.
class BackendFixture : public ::testing::Test {
 protected:
  void TearDown() override { close(); }

  void open(Backend backend) {
    close();
    if (backend == Backend::kPostgres) {
      std::string why_not;
      TempPostgres* server = TempPostgres::Instance(&why_not);
      if (server == nullptr) {
        GTEST_SKIP() << "PostgreSQL tests skipped: " << why_not;
      }
      connection_.SetConnectionString(server->fresh_connection_text());
      return;
    }
    std::string tmpl = base::system_temp_folder() + "appsrv-db-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    folder_ = tmpl + "/";
    base::write_file(folder_ + "TEST.mdb", "");  // connections never create their file
    connection_.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + folder_ +
                                    "TEST.mdb;");
  }
  void close() {
    connection_.Close();
    if (!folder_.empty()) {
      base::remove_tree(folder_);
      folder_.clear();
    }
  }

  void exec(const std::string& sql) { connection_.Execute(sql); }
  int64_t count(const std::string& table) {
    TADODataSet data(&connection_);
    data.SetCommandText("select count(*) from " + table);
    data.Open();
    return data.Fields(0).AsInteger();
  }

  // The packet of `sql` after creating and filling the shared fixture table.
  std::string fixture_packet() {
    exec(
        "create table f (id integer not null primary key, name varchar(20), note text, "
        "amount numeric(10,2), ratio double precision, flag boolean, big bigint, "
        "small smallint, born date, seen timestamp, at time)");
    exec(
        "insert into f values (1, 'O''Brien', 'two\nlines & <tags>', 1234.5, 0.1, TRUE, "
        "9007199254740993, -7, '1999-12-31', '2001-02-03 04:05:06', '23:59:58')");
    exec(
        "insert into f values (2, '', 'x', 12, 2.5e-7, FALSE, -1, 0, '2024-02-29', "
        "'2024-02-29 00:00:00', '00:00:00')");
    exec("insert into f (id) values (3)");
    TADODataSet data(&connection_);
    data.SetCommandText("select * from f order by id");
    data.Open();
    return data.Save();
  }

  std::string folder_;
  TADOConnection connection_;
};

// The same cases on each backend.
class BackendTest : public BackendFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override { open(GetParam()); }
};

TEST_P(BackendTest, PagesMoveWithoutReadingTheSkippedRows) {
  exec("create table n (id integer not null primary key, label varchar(20))");
  exec(
      "insert into n (id, label) select i, 'row ' || i from "
      "(select 1 + a.x + 10 * b.x + 100 * c.x as i from "
      "(select 0 as x union all select 1 union all select 2 union all select 3 union all "
      "select 4 union all select 5 union all select 6 union all select 7 union all select 8 "
      "union all select 9) a, "
      "(select 0 as x union all select 1 union all select 2 union all select 3 union all "
      "select 4 union all select 5 union all select 6 union all select 7 union all select 8 "
      "union all select 9) b, "
      "(select 0 as x union all select 1 union all select 2 union all select 3 union all "
      "select 4 union all select 5 union all select 6 union all select 7 union all select 8 "
      "union all select 9) c) s");
  TADODataSet data(&connection_);
  data.SetCommandText("select * from n order by id");
  data.Open();
  EXPECT_EQ(data.RecordCount(), 1000);
  EXPECT_EQ(data.FieldByName("id").AsInteger(), 1);
  struct Step {
    int64_t move_by;
    int64_t want_id;  // 0: past the end
  };
  const Step steps[] = {{500, 501}, {1, 502},    {-2, 500}, {-1000, 1},
                        {250, 251}, {749, 1000}, {1, 0},    {-5, 996}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.move_by);
    data.MoveBy(s.move_by);
    EXPECT_EQ(data.Eof(), s.want_id == 0);
    if (s.want_id != 0) {
      EXPECT_EQ(data.FieldByName("id").AsInteger(), s.want_id);
      EXPECT_EQ(data.FieldByName("label").AsString(), "row " + std::to_string(s.want_id));
    }
  }
  const RowBlock block = data.GetRows(10);
  ASSERT_EQ(block.size(), 2U);
  ASSERT_EQ(block[0].size(), 5U);  // 996..1000, then the end
  EXPECT_EQ(std::get<int64_t>(block[0][4]), 1000);
  EXPECT_TRUE(data.Eof());
  data.First();
  EXPECT_EQ(data.FieldByName("id").AsInteger(), 1);
}

TEST_P(BackendTest, StatementsRunOneAtATime) {
  exec("create table n (id integer not null primary key)");
  exec("insert into n values (1)");
  EXPECT_NE(database_error([&] { exec("insert into n values (2); delete from n"); }), "");
  TADODataSet data(&connection_);
  data.SetCommandText("select * from n; delete from n");
  EXPECT_NE(database_error([&] { data.Open(); }), "");
  // A statement that returns nothing is refused before it runs.
  data.SetCommandText("delete from n");
  EXPECT_NE(database_error([&] { data.Open(); }), "");
  EXPECT_EQ(count("n"), 1);
}

TEST_P(BackendTest, TransactionsCommitOrLeaveNothing) {
  exec("create table n (id integer not null primary key)");
  connection_.BeginTrans();
  exec("insert into n values (1)");
  EXPECT_NE(database_error([&] { exec("insert into n values (1)"); }), "");
  connection_.RollbackTrans();
  EXPECT_EQ(count("n"), 0);
  connection_.BeginTrans();
  exec("insert into n values (2)");
  connection_.CommitTrans();
  EXPECT_EQ(count("n"), 1);
}

TEST_P(BackendTest, StatementReturningRowsRunsOnce) {
  exec("create table n (id integer not null primary key)");
  TADODataSet data(&connection_);
  data.SetCommandText("insert into n values (7) returning id");
  data.Open();
  EXPECT_EQ(data.RecordCount(), 1);
  data.First();
  EXPECT_EQ(data.Fields(0).AsInteger(), 7);
  data.Save();
  data.Close();
  EXPECT_EQ(count("n"), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), backend_name);

class SamePacketTest : public BackendFixture {};

TEST_F(SamePacketTest, BothBackendsWriteTheSameBytes) {
  open(Backend::kSqlite);
  const std::string from_sqlite = fixture_packet();
  open(Backend::kPostgres);
  if (IsSkipped()) {
    return;
  }
  const std::string from_postgres = fixture_packet();
  EXPECT_EQ(from_postgres, from_sqlite);
  EXPECT_NE(from_sqlite.find("amount=\"1234.5\""), std::string::npos) << from_sqlite;
}

class PostgresTest : public BackendFixture {
 protected:
  void SetUp() override { open(Backend::kPostgres); }
};

TEST_F(PostgresTest, FieldClassesAndTextsForEachColumnType) {
  struct Case {
    std::string_view declared;
    std::string_view stored;
    std::string_view class_name;
    std::string_view text;
  };
  const Case cases[] = {
      {"int2", "-7", "TSmallintField", "-7"},
      {"int4", "42", "TIntegerField", "42"},
      {"int8", "9007199254740993", "TLargeintField", "9007199254740993"},
      {"serial", "default", "TAutoIncField", "1"},
      {"bool", "true", "TBooleanField", "True"},
      {"numeric(10,2)", "1234.5", "TBCDField", "1234.5"},
      {"numeric", "12.000", "TBCDField", "12"},
      {"float8", "0.1", "TFloatField", "0.1"},
      {"float4", "2.5", "TFloatField", "2.5"},
      {"text", "'plain'", "TWideStringField", "plain"},
      {"varchar(40)", "'O''Brien'", "TWideStringField", "O'Brien"},
      {"char(3)", "'ab'", "TWideStringField", "ab "},
      {"date", "'1999-12-31'", "TDateField", "1999-12-31"},
      {"time", "'23:59:58'", "TTimeField", "23:59:58"},
      {"timestamp", "'2001-02-03 04:05:06'", "TDateTimeField", "2001-02-03 04:05:06"},
      {"timestamp", "'2001-02-03 00:00:00'", "TDateTimeField", "2001-02-03"},
      {"bytea", "'\\x01ff'", "TBlobField", "\x01\xff"},
      {"uuid", "'01234567-89ab-cdef-0123-456789abcdef'", "TGuidField",
       "01234567-89ab-cdef-0123-456789abcdef"},
  };
  std::string create = "create table t (";
  std::string values = "insert into t values(";
  for (size_t i = 0; i < std::size(cases); ++i) {
    create += (i ? ", f" : "f") + std::to_string(i) + " " + std::string(cases[i].declared);
    values += (i ? ", " : "") + std::string(cases[i].stored);
  }
  exec(create + ", required int4 not null)");
  exec(values + ", 0)");
  TADODataSet data(&connection_);
  data.SetCommandText("select * from t");
  data.Open();
  ASSERT_EQ(data.FieldCount(), std::size(cases) + 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].declared);
    EXPECT_EQ(data.Fields(i).ClassName(), cases[i].class_name);
    EXPECT_EQ(data.Fields(i).AsString(), cases[i].text);
    // Serial columns are NOT NULL by their definition.
    EXPECT_EQ(data.Fields(i).def().required, cases[i].declared == "serial");
  }
  EXPECT_EQ(data.FieldByName("f10").Size(), 40);
  EXPECT_EQ(data.FieldByName("f5").def().scale, 2);
  EXPECT_EQ(data.FieldByName("f5").def().precision, 10);
  EXPECT_TRUE(data.FieldByName("required").def().required);
}

TEST_F(PostgresTest, ConnectsAgainAfterTheServerDropsTheLink) {
  exec("create table n (id integer)");
  TADODataSet backend(&connection_);
  backend.SetCommandText("select pg_backend_pid()");
  backend.Open();
  const std::string pid = backend.Fields(0).AsString();
  backend.Close();
  TADOConnection admin;
  admin.SetConnectionString(connection_.ConnectionString());
  admin.Execute("select pg_terminate_backend(" + pid + ", 10000)");
  // The statement that meets the dead link fails; the next one connects again.
  EXPECT_NE(database_error([&] { exec("insert into n values (1)"); }), "");
  exec("insert into n values (2)");
  EXPECT_EQ(count("n"), 1);
}

}  // namespace
}  // namespace appsrv::db
