// Caller text in the read endpoints' statements, as an attacker sends it: the table name of
// FetchData (and of SaveData's schema) and the four texts of "/rest/sqlselect". Every hostile
// fragment is refused with an error that says why, or fails within a bound (time, reply size,
// value size, temporary disk, memory); the program goes on serving, and its database, which
// also holds a full-text table whose tokenizer an attacker would overwrite, stays as it was.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/app_calls.h"
#include "tests/db/temp_postgres.h"
#include "tests/e2e/app_folder.h"

namespace appsrv::testing {
namespace {

// Where a fragment goes.
enum class Field { kTableName, kSchemaTable, kTblNames, kFldNames, kWhere, kOrderBy };

const char* field_name(Field field) {
  switch (field) {
    case Field::kTableName:
      return "FetchData TableName";
    case Field::kSchemaTable:
      return "SaveData TableName";
    case Field::kTblNames:
      return "tblNames";
    case Field::kFldNames:
      return "fldNames";
    case Field::kWhere:
      return "where";
    case Field::kOrderBy:
      return "orderBy";
  }
  return "?";
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

// A series of 2 000 000 numbers, enough to outlast a short deadline; and 20 000 rows of
// 10 000 bytes, far more than a small temporary-disk cap once sorted, quick to count.
const std::string kSeries =
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000000)";
const std::string kWideRows =
    "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000), "
    "w(s) AS (SELECT group_concat('0123456789', '') FROM n WHERE i <= 1000) "
    "SELECT i, i || s AS b FROM n, w)";

// 3 x 2^`times` control characters from a short text, by doubling: each becomes six bytes in
// the reply.
std::string doubled_text(int times) {
  std::string text = "char(1)||char(1)||char(1)";
  for (int i = 0; i < times; ++i) {
    text = "replace(" + text + ", char(1), char(1)||char(1))";
  }
  return text;
}

class UntrustedSql : public ::testing::Test {
 protected:
  void SetUp() override {
    exec_sql(folder_.database(),
             "CREATE TABLE orders(OrderID INTEGER PRIMARY KEY, Amount MONEY, Comment MEMO);"
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
             "INSERT INTO orders SELECT i, i * 0.5, 'comment ' || i FROM n;"
             "CREATE VIRTUAL TABLE docs USING fts4(body);"
             "INSERT INTO docs VALUES('alpha beta'), ('gamma alpha'), ('delta');");
    before_ = contents();
    write_file(folder_.root() / "port.ini",
               "[PORTS]\nPort=0\n[LIMITS]\nReadTimeoutMs=8000\nMaxValueBytes=4000000\n"
               "MaxPageBytes=8000000\nMaxTempBytes=16000000\n");
    server_ = std::make_unique<Server>(folder_);
    ASSERT_NE(server_->port(), 0) << server_->output();
  }
  void TearDown() override {
    if (server_ && server_->process().Running()) {
      EXPECT_EQ(server_->Stop(), 0) << server_->output();
    }
  }

  std::string contents() const {
    return query_text(folder_.database(), "SELECT * FROM orders") +
           query_text(folder_.database(), "SELECT rowid, * FROM docs");
  }

  // Sends `fragment` in `field`; the rest of the call is harmless. Returns the reply.
  ParsedResponse Send(Client& client, Field field, const std::string& fragment) {
    switch (field) {
      case Field::kTableName:
        return client.Call(
            "FetchData", R"({"PageNo":1,"PageSize":4,"TableName":)" + json_string(fragment) + "}");
      case Field::kSchemaTable:
        return client.Call("SaveData", R"({"TableName":)" + json_string(fragment) +
                                           R"(,"KeyFields":"OrderID","Changes":"<rs:data/>"})");
      default:
        break;
    }
    std::string tables = "orders";
    std::string target = "/rest/sqlselect?rp=4";
    const std::string text = FormEncode(fragment);
    if (field == Field::kTblNames) {
      tables = text;
    } else if (field == Field::kFldNames) {
      target += "&fldNames=" + text;
    } else if (field == Field::kWhere) {
      target += "&where=" + text;
    } else {
      target += "&orderBy=" + text;
    }
    return client.Get(target + "&tblNames=" + tables);
  }

  AppFolder folder_;
  std::unique_ptr<Server> server_;
  std::string before_;
};

// What a hostile fragment gets: the reply names the refusal or the bound it ran into.
struct Hostile {
  Field field;
  std::string fragment;
  std::string error;          // contained in the failure
  std::string or_error = {};  // or this one, when not empty: whichever bound comes first
};

TEST_F(UntrustedSql, HostileFragmentsAreRefusedOrBounded) {
  const auto refused = [](std::string_view function) {
    return "The function " + std::string(function) + " is not allowed in a query.";
  };
  const std::string too_big = "string or blob too big";
  const std::string late = "The query ran longer than 8000 ms and was stopped.";
  const std::string temp_full =
      "The query needed more than 16000000 bytes of temporary disk and was stopped.";
  const std::string page_full =
      "The reply page would be larger than 8000000 bytes; ask for fewer rows.";
  const Hostile cases[] = {
      // The tokenizer's address, and overwriting it: the next full-text read would crash.
      {Field::kFldNames, "hex(fts3_tokenizer('simple'))", refused("fts3_tokenizer")},
      {Field::kFldNames, "fts3_tokenizer('simple', x'4141414141414141')",
       refused("fts3_tokenizer")},
      {Field::kTableName, "(SELECT fts3_tokenizer('porter', x'4141414141414141'))",
       refused("fts3_tokenizer")},
      {Field::kSchemaTable, "(SELECT fts3_tokenizer('simple', x'4141414141414141'))",
       refused("fts3_tokenizer")},
      {Field::kWhere, "fts3_tokenizer('unicode61', x'4141414141414141') IS NOT NULL",
       refused("fts3_tokenizer")},
      {Field::kOrderBy, "fts3_tokenizer('simple')", refused("fts3_tokenizer")},
      // What the build knows and can load.
      {Field::kTblNames, "pragma_compile_options",
       "The table pragma_compile_options may not be read in a query."},
      {Field::kTblNames, "pragma_table_info('orders')",
       "The table pragma_table_info may not be read in a query."},
      {Field::kFldNames, "(SELECT name FROM pragma_database_list)", "pragma_database_list"},
      {Field::kFldNames, "sqlite_compileoption_get(0)", refused("sqlite_compileoption_get")},
      {Field::kFldNames, "load_extension('/tmp/x.so')", refused("load_extension")},
      {Field::kWhere, "sqlite_version() > ''", refused("sqlite_version")},
      // Values built huge from a short text.
      {Field::kFldNames, "zeroblob(1000000000)", refused("zeroblob")},
      {Field::kFldNames, "randomblob(1000000000)", refused("randomblob")},
      {Field::kFldNames, "printf('%.*c', 16000000, char(1))", refused("printf")},
      {Field::kOrderBy, "printf('%.2000000000c', 'x')", refused("printf")},
      // Stopped by whichever bound comes first: its length, the deadline, or the disk its
      // rows take when sorted.
      {Field::kFldNames,
       "(SELECT group_concat(a.Comment || b.Comment || a.Comment || b.Comment, '') "
       "FROM orders a, orders b)",
       too_big, late},
      {Field::kFldNames, doubled_text(22), too_big, temp_full},
      {Field::kTableName, "(SELECT " + doubled_text(22) + " AS v)", too_big},
      // 3 MB values, within the value limit, but 18 MB each once escaped: the page stops at
      // its limit before its reply is built.
      {Field::kFldNames, "OrderID, " + doubled_text(20), page_full},
      {Field::kTableName, "(SELECT " + doubled_text(20) + " AS v FROM orders)", page_full},
      // Time and temporary disk (the second as first sent, with a function now refused).
      {Field::kTblNames,
       "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<1000000) "
       "SELECT i, randomblob(10000) AS b FROM n)",
       refused("randomblob")},
      {Field::kTblNames, "(" + kSeries + " SELECT count(*) FROM n, n AS m)", late, temp_full},
      {Field::kTblNames, kWideRows, temp_full},
      {Field::kTableName, "(SELECT * FROM " + kWideRows + " ORDER BY b)", temp_full},
      {Field::kOrderBy, "(SELECT group_concat(b, '') FROM " + kWideRows + ")", too_big, late},
      // Statements beside the select, hidden in comments and quotes.
      {Field::kWhere, "1=1; DELETE FROM orders", "one statement"},
      {Field::kWhere, "1=1 /* */; DROP TABLE orders --", "one statement"},
      {Field::kTblNames, "orders\"; DELETE FROM orders; --", ""},
      {Field::kTableName, "orders; ATTACH '/tmp/x.db' AS x", ""},
      {Field::kTblNames, "(WITH d AS (DELETE FROM orders RETURNING *) SELECT * FROM d)", ""},
      {Field::kOrderBy, "1; UPDATE orders SET Amount = 0", ""},
      // Nesting deeper than any report needs.
      {Field::kWhere, "OrderID IN " + std::string(200, '(') + "SELECT 1" + std::string(200, ')'),
       ""},
  };
  Client client(server_->port());
  client.Get("/rest/sqlselect?tblNames=orders");  // earns the session
  for (const Hostile& c : cases) {
    SCOPED_TRACE(std::string(field_name(c.field)) + ": " + c.fragment.substr(0, 120));
    const ParsedResponse r = Send(client, c.field, c.fragment);
    if (c.field == Field::kSchemaTable) {
      // SaveData answers its failures inside the envelope.
      EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
      EXPECT_NE(r.body.find("Result={\"Error\":"), std::string::npos) << r.body.substr(0, 400);
    } else {
      EXPECT_EQ(r.status_line, "HTTP/1.1 500 Internal Server Error") << r.body.substr(0, 400);
    }
    const std::string failure = failure_of(r.body);
    EXPECT_TRUE(failure.find(c.error) != std::string::npos ||
                (!c.or_error.empty() && failure.find(c.or_error) != std::string::npos))
        << failure.substr(0, 400);
    ASSERT_TRUE(server_->process().Running()) << server_->output();
    EXPECT_EQ(Get(server_->port(), "/$/ping").body, "Pong");
  }
  // The full-text table reads as before, and no row of the database changed.
  const ParsedResponse docs =
      client.Get("/rest/sqlselect?tblNames=docs&where=body%20MATCH%20'alpha'");
  EXPECT_EQ(docs.status_line, "HTTP/1.1 200 OK") << docs.body;
  EXPECT_NE(docs.body.find("\"rowCount\":2,"), std::string::npos) << docs.body;
  EXPECT_EQ(contents(), before_);
}

// The same caller text against PostgreSQL, with the application's role made as the README
// makes it: the server's files, settings and other sessions stay out of reach of the grid and
// FetchData, which a superuser's session would reach.
TEST(UntrustedSqlOnPostgres, TheApplicationRoleReachesNoFileSettingOrSession) {
  std::string why_not;
  db::testing::TempPostgres* postgres = db::testing::TempPostgres::Instance(&why_not);
  ASSERT_NE(postgres, nullptr) << "PostgreSQL is needed: " << why_not;
  const auto database = postgres->application_database(
      {"create table f (id integer primary key, name varchar(20))",
       "insert into f values (1, 'one'), (2, 'two')"},
      {});
  AppFolder folder;
  Server server(folder, ":", {"APPSERVER_DATABASE=" + database.role});
  ASSERT_NE(server.port(), 0) << server.output();
  Client client(server.port());
  client.Get("/rest/sqlselect?tblNames=f");  // earns the session
  struct Case {
    std::string target;  // "/rest/sqlselect?..." or a FetchData table
    std::string error;
  };
  const Case cases[] = {
      {"fldNames=" + FormEncode("pg_read_file('/etc/hostname')"),
       "permission denied for function pg_read_file"},
      {"tblNames=" + FormEncode("pg_ls_dir('.') d"), "permission denied for function pg_ls_dir"},
      {"where=" + FormEncode("set_config('work_mem', '64GB', false) <> ''"),
       "permission denied for function set_config"},
      {"fldNames=" + FormEncode("pg_terminate_backend(pg_backend_pid())"),
       "permission denied for function pg_terminate_backend"},
      {"FetchData f, pg_read_file('/etc/hostname') h",
       "permission denied for function pg_read_file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const ParsedResponse r =
        c.target.starts_with("FetchData ")
            ? client.Call("FetchData", R"({"PageNo":1,"PageSize":5,"TableName":")" +
                                           c.target.substr(10) + "\"}")
            : client.Get("/rest/sqlselect?" + c.target +
                         (c.target.starts_with("tblNames=") ? "" : "&tblNames=f"));
    EXPECT_EQ(r.status_line, "HTTP/1.1 500 Internal Server Error");
    EXPECT_NE(failure_of(r.body).find(c.error), std::string::npos) << failure_of(r.body);
    const ParsedResponse page = client.Get("/rest/sqlselect?tblNames=f");
    EXPECT_NE(page.body.find("\"rowCount\":2,"), std::string::npos) << page.body;
  }
}

}  // namespace
}  // namespace appsrv::testing
