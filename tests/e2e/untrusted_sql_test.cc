// Caller text in the read endpoints' statements, as an attacker sends it: the table name of
// FetchData (and of SaveData's schema) and the four texts of "/rest/sqlselect". Every hostile
// fragment is refused with an error that says why, or fails within a bound (time, reply size,
// value size, temporary disk, memory); the program goes on serving, and its database, which
// also holds a full-text table whose tokenizer an attacker would overwrite, stays as it was.
#include <gtest/gtest.h>

#include <thread>

#include "tests/e2e/app_calls.h"
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

// A series of 2 000 000 numbers, and 10 000-byte rows of them: enough to outlast a short
// deadline, or to spill far more than a small temporary-disk cap when sorted.
const std::string kSeries =
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000000)";
const std::string kWideRows =
    "(" + kSeries + ", w(s) AS (SELECT group_concat('0123456789', '') FROM n WHERE i <= 1000) " +
    "SELECT i, i || s AS b FROM n, w)";

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
               "[PORTS]\nPort=0\n[LIMITS]\nReadTimeoutMs=3000\nMaxValueBytes=4000000\n"
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
        return client.Call("FetchData",
                           R"({"PageNo":1,"PageSize":4,"TableName":)" + json_string(fragment) + "}");
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
  std::string error;  // contained in the reply's body
};

TEST_F(UntrustedSql, HostileFragmentsAreRefusedOrBounded) {
  const std::string not_allowed = "is not allowed";
  const std::string too_big = "string or blob too big";
  const Hostile cases[] = {
      // The tokenizer's address, and overwriting it: the next full-text read would crash.
      {Field::kFldNames, "hex(fts3_tokenizer('simple'))", "fts3_tokenizer"},
      {Field::kFldNames, "fts3_tokenizer('simple', x'4141414141414141')", "fts3_tokenizer"},
      {Field::kTableName, "(SELECT fts3_tokenizer('porter', x'4141414141414141'))",
       "fts3_tokenizer"},
      {Field::kSchemaTable, "(SELECT fts3_tokenizer('simple', x'4141414141414141'))",
       "fts3_tokenizer"},
      {Field::kWhere, "fts3_tokenizer('unicode61', x'4141414141414141') IS NOT NULL",
       "fts3_tokenizer"},
      {Field::kOrderBy, "fts3_tokenizer('simple')", "fts3_tokenizer"},
      // What the build knows and can load.
      {Field::kTblNames, "pragma_compile_options", "pragma_compile_options"},
      {Field::kTblNames, "pragma_table_info('orders')", "pragma_table_info"},
      {Field::kFldNames, "(SELECT name FROM pragma_database_list)", "pragma_database_list"},
      {Field::kFldNames, "sqlite_compileoption_get(0)", "sqlite_compileoption_get"},
      {Field::kFldNames, "load_extension('/tmp/x.so')", "load_extension"},
      {Field::kWhere, "sqlite_version() > ''", "sqlite_version"},
      // Values built huge from a short text.
      {Field::kFldNames, "zeroblob(1000000000)", "zeroblob"},
      {Field::kFldNames, "randomblob(1000000000)", "randomblob"},
      {Field::kFldNames, "printf('%.*c', 16000000, char(1))", "printf"},
      {Field::kOrderBy, "printf('%.2000000000c', 'x')", "printf"},
      {Field::kFldNames, "(SELECT group_concat(a.Comment || b.Comment, '') FROM orders a, orders b)",
       too_big},
      {Field::kFldNames, "replace(replace(replace(Comment || Comment, 'c', Comment), 'o', Comment),"
                         " 'm', (SELECT group_concat(Comment, '') FROM orders))", too_big},
      // Time and temporary disk.
      {Field::kTblNames, "(" + kSeries + " SELECT count(*) FROM n, n AS m)",
       "ran longer than 3000 ms"},
      {Field::kTblNames, kWideRows, "temporary disk"},
      {Field::kOrderBy, "(SELECT group_concat(b, '') FROM " + kWideRows + ")", too_big},
      // Statements beside the select, hidden in comments and quotes.
      {Field::kWhere, "1=1; DELETE FROM orders", "one statement"},
      {Field::kWhere, "1=1 /* */; DROP TABLE orders --", "one statement"},
      {Field::kTblNames, "orders\"; DELETE FROM orders; --", ""},
      {Field::kTableName, "orders; ATTACH '/tmp/x.db' AS x", ""},
      {Field::kTblNames, "(WITH d AS (DELETE FROM orders RETURNING *) SELECT * FROM d)", ""},
      {Field::kOrderBy, "1; UPDATE orders SET Amount = 0", ""},
      // Nesting deeper than any report needs.
      {Field::kWhere,
       "OrderID IN " + std::string(200, '(') + "SELECT 1" + std::string(200, ')'), ""},
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
    EXPECT_NE(r.body.find(c.error), std::string::npos) << r.body.substr(0, 2000);
    ASSERT_TRUE(server_->process().Running()) << server_->output();
    EXPECT_EQ(Get(server_->port(), "/$/ping").body, "Pong");
  }
  // The full-text table reads as before, and no row of the database changed.
  const ParsedResponse docs = client.Get("/rest/sqlselect?tblNames=docs&where=body%20MATCH%20'alpha'");
  EXPECT_EQ(docs.status_line, "HTTP/1.1 200 OK") << docs.body;
  EXPECT_NE(docs.body.find("\"rowCount\":2,"), std::string::npos) << docs.body;
  EXPECT_EQ(contents(), before_);
}

}  // namespace
}  // namespace appsrv::testing
