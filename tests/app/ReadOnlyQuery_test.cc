#include "app/ReadOnlyQuery.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "base/exception.h"
#include "base/files.h"
#include "db/ado_dataset.h"
#include "db/sqlite_handle.h"
#include "tests/db/temp_database.h"
#include "tests/server/test_support.h"

namespace appsrv::app {
namespace {

class ReadOnlyScopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base::write_file(path(), "");  // connections never create their file
    connection_.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path() + ";");
    ASSERT_EQ(exec("create table T(a integer, b text); insert into T values(1,'x')"), SQLITE_OK);
  }
  void TearDown() override { connection_.Close(); }
  std::string path() const { return folder_.app() + "TEST.mdb"; }
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
  // The first value of the first row of `sql` as text, or the database's error.
  std::string value(const std::string& sql) {
    db::TADODataSet query(&connection_);
    query.SetCommandText(sql);
    try {
      query.Open();
      return query.Fields(0).AsString();
    } catch (const db::DatabaseError& e) {
      return e.what();
    }
  }
  std::vector<int> limits() {
    std::vector<int> all;
    for (int id = 0; id <= SQLITE_LIMIT_WORKER_THREADS; ++id) {
      all.push_back(sqlite3_limit(connection_.handle(), id, -1));
    }
    return all;
  }
  int64_t rows() {
    db::TADODataSet count(&connection_);
    count.SetCommandText("select count(*) from T");
    count.Open();
    return count.Fields(0).AsInteger();
  }
  server::testing::TempFolder folder_;
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

// Fragments a caller could send, each refused before it runs, with a message that names what
// was refused: a function by the guard's own words, a table or a write in SQLite's. The FTS4 table
// F is there so that fts3_tokenizer has something to break.
TEST_F(ReadOnlyScopeTest, RefusesHostileFragmentsByName) {
  ASSERT_EQ(exec("create virtual table F using fts4(body); insert into F values('hello world');"
                 "create view Formatted as select printf('%08d', a) as p from T"),
            SQLITE_OK);
  struct Case {
    std::string_view sql;
    std::string_view message;
  };
  const std::string function = "The function ";
  // clang-format off
  const Case cases[] = {
      // Hands out an address inside libsqlite3 (main answered 16 hex digits).
      {"select hex(fts3_tokenizer('simple'))",            "The function fts3_tokenizer is not allowed in a query."},
      {"select fts3_tokenizer('simple', x'4141414141414141')",
                                                          "The function fts3_tokenizer is not allowed in a query."},
      {"select * from F where F match 'x' and fts3_tokenizer('porter', x'4141414141414141') is null",
                                                          "The function fts3_tokenizer is not allowed in a query."},
      {"select FTS3_TOKENIZER('simple')",                 "The function fts3_tokenizer is not allowed in a query."},
      {"select load_extension('libm.so.6')",              "The function load_extension is not allowed in a query."},
      {"select sqlite_compileoption_get(0)",              "The function sqlite_compileoption_get is not allowed in a query."},
      {"select sqlite_version()",                         "The function sqlite_version is not allowed in a query."},
      {"select printf('%.100000000c', 'x')",              "The function printf is not allowed in a query."},
      {"select zeroblob(100000000)",                      "The function zeroblob is not allowed in a query."},
      {"select randomblob(16)",                           "The function randomblob is not allowed in a query."},
      {"select a from T order by random()",               "The function random is not allowed in a query."},
      {"select snippet(F) from F where F match 'hello'",  "The function snippet is not allowed in a query."},
      {"select matchinfo(F) from F where F match 'hello'", "The function matchinfo is not allowed in a query."},
      {"select soundex(b) from T",                        "The function soundex is not allowed in a query."},
      {"select a from T where a in (select a from T where quote(b) is not null)",
                                                          "The function quote is not allowed in a query."},
      {"select p from Formatted",                         "The function printf is not allowed in a query."},
      {"select * from pragma_table_info('T')",            "sqlite3_prepare_v2: access to pragma_table_info.cid is prohibited"},
      {"select name from pragma_function_list",           "sqlite3_prepare_v2: access to pragma_function_list.name is prohibited"},
      {"select * from PRAGMA_DATABASE_LIST",              "sqlite3_prepare_v2: access to PRAGMA_DATABASE_LIST.seq is prohibited"},
      {"select * from dbstat",                            "sqlite3_prepare_v2: access to dbstat.name is prohibited"},
      {"select * from sqlite_stmt",                       "sqlite3_prepare_v2: access to sqlite_stmt.sql is prohibited"},
      {"select token from fts3tokenize",                  "sqlite3_prepare_v2: access to fts3tokenize.token is prohibited"},
      {"with w as (select 2) insert into T select 2, 'y' from w returning a",
                                                          "sqlite3_prepare_v2: not authorized"},
      {"with w as (select 1) delete from T where a in (select * from w) returning a",
                                                          "sqlite3_prepare_v2: not authorized"},
      {"with w as (select 1) update sqlite_master set sql = '' returning name",
                                                          "sqlite3_prepare_v2: table sqlite_master may not be modified"},
      {"attach database ':memory:' as other",            "sqlite3_prepare_v2: not authorized"},
      {"select * from nosuch_function_table",             "sqlite3_prepare_v2: no such table: nosuch_function_table"},
  };
  // clang-format on
  {
    const ReadOnlyScope scope(connection_);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.sql);
      EXPECT_EQ(open_query(std::string(c.sql)), c.message);
    }
  }
  EXPECT_EQ(rows(), 1);
  EXPECT_EQ(value("select count(*) from F where F match 'hello'"), "1");
}

// The two-argument fts3_tokenizer would put 0x4141414141414141 where the "simple" tokenizer's
// functions are found; the next read of an FTS4 table would call through it and the process
// would die. Run in a child process, so that a failure shows as a failed test.
TEST_F(ReadOnlyScopeTest, AnFts4TableStillReadsAfterAnAttemptToReplaceItsTokenizer) {
  ASSERT_EQ(exec("create virtual table F using fts4(body); insert into F values('hello world')"),
            SQLITE_OK);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        {
          const ReadOnlyScope scope(connection_);
          open_query("select fts3_tokenizer('simple', x'4141414141414141')");
          open_query("select count(*) from F where F match 'hello'");
        }
        // And outside the scope, where the connection's own settings refuse it.
        exec("select fts3_tokenizer('simple', x'4141414141414141')");
        const bool found = value("select count(*) from F where F match 'world'") == "1";
        connection_.Close();
        db::TADOConnection other;
        other.SetConnectionString(connection_.ConnectionString());
        db::TADODataSet again(&other);
        again.SetCommandText("select count(*) from F where F match 'hello'");
        again.Open();
        std::exit(found && again.Fields(0).AsString() == "1" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// What a grid or a report computes still works in the scope, with the same values as outside.
TEST_F(ReadOnlyScopeTest, AllowsTheFunctionsAGridUses) {
  ASSERT_EQ(exec("create virtual table F using fts4(body); insert into F values('hello world')"),
            SQLITE_OK);
  struct Case {
    std::string_view expression;
    std::string_view want;
  };
  // clang-format off
  const Case cases[] = {
      {"abs(-2)",                                              "2"},
      {"coalesce(null, b)",                                    "x"},
      {"ifnull(null, 1)",                                      "1"},
      {"iif(a = 1, 'one', 'other')",                           "one"},
      {"instr('abcx', b)",                                     "4"},
      {"length(b)",                                            "1"},
      {"lower('AB') || upper(b)",                              "abX"},
      {"trim('  t ') || ltrim(' l') || rtrim('r ')",           "tlr"},
      {"max(a, 5) + min(a, 5)",                                "6"},
      {"nullif(a, 1) is null",                                 "1"},
      {"replace('axa', 'a', b)",                               "xxx"},
      {"round(2.567, 2)",                                      "2.57"},
      {"substr('abcdef', 2, 3) || substring('abc', 2)",        "bcdbc"},
      {"typeof(a) || typeof(b)",                               "integertext"},
      {"unicode('A')",                                         "65"},
      {"char(72, 105)",                                        "Hi"},
      {"hex('A')",                                             "41"},
      {"b like 'X%'",                                          "1"},
      {"b like 'x!%' escape '!'",                              "0"},
      {"b glob 'x*'",                                          "1"},
      {"unlikely(a) + likely(a) + likelihood(a, 0.5)",         "3"},
      {"cast(floor(2.5) + ceil(2.5) + mod(7, 4) + power(2, 3) + sqrt(4) as integer)", "18"},
      {"(select count(*) from T) + (select sum(a) from T) + (select total(a) from T) + (select avg(a) from T)",
                                                               "4"},
      {"(select group_concat(b, ';') from T)",                 "x"},
      {"row_number() over (order by a)",                       "1"},
      {"rank() over () + dense_rank() over () + ntile(2) over ()", "3"},
      {"percent_rank() over () + cume_dist() over ()",         "1"},
      {"lag(a, 1, 0) over (order by a) + lead(a, 1, 9) over (order by a)", "9"},
      {"first_value(b) over () || last_value(b) over () || nth_value(b, 1) over ()", "xxx"},
      {"date('2024-01-31', '+1 day')",                         "2024-02-01"},
      {"time('12:34:56')",                                     "12:34:56"},
      {"datetime('2024-01-01 10:00:00', '+1 hour')",           "2024-01-01 11:00:00"},
      {"strftime('%Y', '2024-05-06')",                         "2024"},
      {"cast(julianday('2000-01-01') as integer)",             "2451544"},
      {"unixepoch('1970-01-02')",                              "86400"},
      {"length(current_date) + length(current_time) + length(current_timestamp)", "37"},
      {"json_extract('{\"a\":[1,2]}', '$.a[1]')",              "2"},
      {"'{\"a\":3}' ->> '$.a'",                                "3"},
      {"'{\"a\":[3]}' -> '$.a'",                               "[3]"},
      {"json_array(a, b)",                                     "[1,\"x\"]"},
      {"json_object('a', a)",                                  "{\"a\":1}"},
      {"json(' [1] ')",                                        "[1]"},
      {"json_type('[1]') || json_valid('{}') || json_array_length('[1,2,3]')", "array13"},
      {"(select json_group_array(a) from T) || (select json_group_object(b, a) from T)",
                                                               "[1]{\"x\":1}"},
      {"(select sum(value) from json_each('[1,2,3]'))",        "6"},
      {"(select count(*) from json_tree('{\"a\":[1]}'))",      "3"},
      {"(select count(*) from F where F match 'hello')",       "1"},
      {"(select count(*) from F where body match 'wor*')",     "1"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    const std::string sql = "select " + std::string(c.expression) + " from T";
    EXPECT_EQ(value(sql), c.want) << "outside the scope";
    const ReadOnlyScope scope(connection_);
    EXPECT_EQ(value(sql), c.want);
  }
}

// The grid statements' shapes still fit the lowered limits: SELECT * of a wide table, paged and
// counted, a long filter and IN list, a UNION report; and a schema that another connection
// changed during the scope is read again under them.
TEST_F(ReadOnlyScopeTest, GridQueriesFitTheLoweredLimits) {
  std::string wide = "create table Wide(ID integer primary key";
  std::string values = "insert into Wide values(1";
  for (int i = 1; i < 300; ++i) {
    wide += ", C" + std::to_string(i) + " varchar(20)";
    values += ", 'v" + std::to_string(i) + "'";
  }
  ASSERT_EQ(exec(wide + "); " + values + ")"), SQLITE_OK);
  std::string filter = "ID > 0";
  std::string keys = "1";
  for (int i = 1; i < 60; ++i) {
    filter += (i % 2 == 0 ? " and C" : " or C") + std::to_string(i) + " <> 'z'";
  }
  for (int i = 2; i <= 1000; ++i) {
    keys += "," + std::to_string(i);
  }
  std::string months = "select 1 as m";
  for (int i = 2; i <= 14; ++i) {
    months += " union all select " + std::to_string(i);
  }
  {
    const ReadOnlyScope scope(connection_);
    db::TADODataSet all(&connection_);
    all.SetCommandText("select * from Wide");
    all.Open();
    EXPECT_EQ(all.FieldCount(), 300);
    EXPECT_EQ(all.RecordCount(), 1);
    EXPECT_EQ(all.Fields(299).AsString(), "v299");
    all.Close();
    EXPECT_EQ(value("select count(*) from Wide where " + filter), "1");
    EXPECT_EQ(value("select count(*) from Wide where ID in (" + keys + ")"), "1");
    EXPECT_EQ(value("select count(*) from (" + months + ")"), "14");
    EXPECT_EQ(
        value("select count(*) from Wide where C1 like '%" + std::string(90, '_') + "%' or 1"),
        "1");
    // Another connection changes the schema; this scope keeps reading the snapshot it began
    // with, and the next one reads the new schema under the lowered limits.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "create table Later(x)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_NE(value("select count(*) from Wide, Later"), "0");
  }
  const ReadOnlyScope scope(connection_);
  EXPECT_EQ(value("select count(*) from Wide, Later"), "0");
  EXPECT_EQ(value("select C299 from Wide"), "v299");
}

// Inputs past the lowered limits fail cleanly; after the scope the connection's own limits
// are back, for the application's own statements.
TEST_F(ReadOnlyScopeTest, LimitsHoldInTheScopeAndAreRestoredAfterIt) {
  std::string deep = "a";
  for (int i = 0; i < 150; ++i) {
    deep += "||a";
  }
  const std::string long_pattern =
      "select count(*) from T where b like '%" + std::string(200, 'x') + "%'";
  std::string many_unions = "select 1";
  for (int i = 0; i < 20; ++i) {
    many_unions += " union all select 1";
  }
  // Each link of the chain costs SQLite a level of recursion: 1000 of them overflow the stack of
  // a connection thread.
  std::string chain = "with c0 as (select 1 as a)";
  for (int i = 1; i <= 1000; ++i) {
    chain += ", c" + std::to_string(i) + " as (select a from c" + std::to_string(i - 1) + ")";
  }
  chain += " select a from c1000";
  std::string forty_arguments = "1";
  for (int i = 1; i < 40; ++i) {
    forty_arguments += ",1";
  }
  const std::vector<int> before = limits();
  EXPECT_EQ(before[SQLITE_LIMIT_ATTACHED], 10);
  struct Case {
    std::string sql;
    std::string_view message;
  };
  const Case cases[] = {
      {"select " + deep + " from T",
       "sqlite3_prepare_v2: Expression tree is too large (maximum depth 100)"},
      {long_pattern, "sqlite3_step: LIKE or GLOB pattern too complex"},
      {many_unions, "sqlite3_prepare_v2: too many terms in compound SELECT"},
      {"select ?11", "sqlite3_prepare_v2: variable number must be between ?1 and ?10"},
      {chain, "sqlite3_prepare_v2: statement too long"},
      {"select coalesce(" + forty_arguments + ")",
       "sqlite3_prepare_v2: too many arguments on function coalesce"},
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    {
      const ReadOnlyScope scope(connection_);
      for (const Case& c : cases) {
        SCOPED_TRACE(c.sql.substr(0, 40));
        EXPECT_EQ(open_query(c.sql), c.message);
      }
      // Kept from the first round: a statement checked at run time is checked again.
      EXPECT_EQ(open_query(long_pattern), "sqlite3_step: LIKE or GLOB pattern too complex");
      EXPECT_EQ(value("select count(*) from T where b like '%x%'"), "1");
    }
    EXPECT_EQ(limits(), before);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.sql.substr(0, 40));
      EXPECT_EQ(open_query(c.sql), "");
    }
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
