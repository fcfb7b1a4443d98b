#include "app/AppWebContentService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "app/ADOToXML.h"
#include "app_test_support.h"
#include "db/temp_file_budget.h"
#include "json/dyn_object.h"
#include "server/pipeline/handlers.h"

namespace appsrv::app {
namespace {

using testing::Answer;
using testing::AppFixture;
using testing::thrown_message;

// The text after "Result=" of an envelope.
std::string result_text(const std::string& body) {
  const size_t at = body.rfind("\r\nResult=");
  return at == std::string::npos ? std::string() : body.substr(at + 9);
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

class AppServiceTest : public AppFixture {
 protected:
  Answer call_function(const std::string& function, const std::string& params,
                       const std::string& path = "/appservice/") {
    return call(service_, "POST", path, {"Function=" + function, "Params=" + params});
  }
  json::IDynObject fetch(const std::string& params) {
    const Answer answer = call_function("FetchData", params);
    json::IDynObject result = json::TDynObject::ParseString(result_text(answer.body));
    EXPECT_NE(result, nullptr) << answer.body;
    return result;
  }

  TContentAppService service_;
};

TEST_F(AppServiceTest, EnvelopeEchoesTheCall) {
  struct Case {
    std::vector<std::string> fields;
    std::string body;
  };
  const Case cases[] = {
      {{"Function=Add", "Params={\"A\":2,\"B\":3,\"Info\":\"x\"}"},
       "Function=Add\r\nParams={\"A\":2,\"B\":3,\"Info\":\"x\"}\r\nResult={\"Result\":5,\"Info\":"
       "\"x\"}"},
      {{"Function=add", "Params={\"A\":1,\"B\":1}"},
       "Function=add\r\nParams={\"A\":1,\"B\":1}\r\nResult={\"Result\":2,\"Info\":\"\"}"},
      {{"Function=ADD", "Params={B:-7, 'A':'12'}"},
       "Function=ADD\r\nParams={B:-7, 'A':'12'}\r\nResult={\"Result\":5,\"Info\":\"\"}"},
      {{"Function= Add", "Params={\"A\":1}"}, "Function= Add\r\nParams={\"A\":1}\r\nResult={}"},
      {{"Params={\"A\":1}"}, "Function=\r\nParams={\"A\":1}\r\nResult={}"},
      {{"Function=Nothing", "Params=not json at all {"},
       "Function=Nothing\r\nParams=not json at all {\r\nResult={}"},
      {{"Function=Add"}, "Function=Add\r\nParams=\r\nResult={\"Result\":0,\"Info\":\"\"}"},
      {{"Function=Add", "Params={\"A\":9223372036854775807,\"B\":1}"},
       "Function=Add\r\nParams={\"A\":9223372036854775807,\"B\":1}\r\nResult={\"Result\":"
       "-9223372036854775808,\"Info\":\"\"}"},
      {{"Function=Add", "Params={\"A\":-9223372036854775808,\"B\":-1}"},
       "Function=Add\r\nParams={\"A\":-9223372036854775808,\"B\":-1}\r\nResult={\"Result\":"
       "9223372036854775807,\"Info\":\"\"}"},
      {{"Function=Add", "Params={\"Info\":\"é/\\\"\\n\\u0001执\"}"},
       "Function=Add\r\nParams={\"Info\":\"é/\\\"\\n\\u0001执\"}\r\nResult={\"Result\":0,"
       "\"Info\":\"\\u00e9\\/\\\"\\n\\u0001\\u6267\"}"},
      {{"Function=Add", "Params={\"Info\":\"\\ud800<\\udc00\"}"},
       "Function=Add\r\nParams={\"Info\":\"\\ud800<\\udc00\"}\r\nResult={\"Result\":0,"
       "\"Info\":\"\\ud800<\\udc00\"}"},
      {{"Function=Add", "Params={\"Info\":5,\"A\":true}"},
       "Function=Add\r\nParams={\"Info\":5,\"A\":true}\r\nResult={\"Result\":1,\"Info\":"
       "\"5\"}"},
      {{"Function=Add", "Params={\"Info\":{\"x\":[\"\u00e9/\",null]}}"},
       "Function=Add\r\nParams={\"Info\":{\"x\":[\"\u00e9/\",null]}}\r\nResult={\"Result\":0,"
       "\"Info\":\"{\\\"x\\\":[\\\"\\u00e9\\\\\\/\\\",null]}\"}"},
      {{"Function=Add\r\nmore", "Params={}"}, "Function=Add\r\nmore\r\nParams={}\r\nResult={}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const Answer answer = call(service_, "POST", "/appservice/", c.fields);
    EXPECT_EQ(answer.body, c.body);
    EXPECT_EQ(answer.content_type, "text/html; charset=UTF-8");
    // The caller's text comes back as HTML: a browser must neither sniff it nor run it.
    for (const char* line :
         {"X-Content-Type-Options:nosniff", "Content-Security-Policy:default-src 'none'"}) {
      EXPECT_EQ(std::count(answer.headers.begin(), answer.headers.end(), line), 1) << line;
    }
  }
}

TEST_F(AppServiceTest, AnyDocumentBelowThePathIsAFunctionCall) {
  EXPECT_EQ(call_function("Add", "{\"A\":1,\"B\":2}", "/appservice/x/y").body,
            "Function=Add\r\nParams={\"A\":1,\"B\":2}\r\nResult={\"Result\":3,\"Info\":\"\"}");
}

TEST_F(AppServiceTest, GetRequestRunsNoFunction) {
  EXPECT_EQ(call(service_, "GET", "/appservice/", {"Function=Add", "Params={\"A\":1}"}).body,
            "Function=\r\nParams=\r\nResult={}");
}

TEST_F(AppServiceTest, TimeGivesTheClockAndTheFixedInfo) {
  const std::string body = call_function("time", "").body;
  const std::string result = result_text(body);
  const json::IDynObject parsed = json::TDynObject::ParseString(result);
  ASSERT_NE(parsed, nullptr) << body;
  const std::string clock = parsed->GetS("Result");
  EXPECT_EQ(clock.size(), 23u) << clock;
  EXPECT_EQ(clock[4], '-');
  EXPECT_EQ(clock[13], ':');
  EXPECT_EQ(clock[19], ' ');
  EXPECT_EQ(result,
            "{\"Result\":\"" + clock + "\",\"Info\":\"\\u670d\\u52a1\\u5668\\u65f6\\u95f4\"}");
}

TEST_F(AppServiceTest, ParamsThatDoNotParseFailTheFunctionsThatReadThem) {
  for (const char* function : {"Add", "FetchData", "SaveData"}) {
    SCOPED_TRACE(function);
    EXPECT_EQ(thrown_message([&] { call_function(function, "{\"A\":1"); }),
              "The Params field is not valid JSON.");
  }
  EXPECT_EQ(result_text(call_function("Time", "{\"A\":1").body).size(), 76u);
}

TEST_F(AppServiceTest, CloseSessionShortensTheTimeout) {
  struct Case {
    const char* path;
    bool closes;
  };
  const Case cases[] = {
      {"/appservice/CloseSession", true},   {"/APPSERVICE/CLOSESESSION", true},
      {"/appservice/closesession", true},   {"/appservice/CloseSession/", false},
      {"/appservice/CloseSessionX", false}, {"/appservice/Close", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    session().FSessionTimeOut = 10;
    const Answer answer = call_function("Add", "{\"A\":1}", c.path);
    if (c.closes) {
      EXPECT_EQ(answer.body, "CloseSession");
      EXPECT_EQ(session().FSessionTimeOut, 1);
    } else {
      EXPECT_EQ(answer.body,
                "Function=Add\r\nParams={\"A\":1}\r\nResult={\"Result\":1,\"Info\":\"\"}");
      EXPECT_EQ(session().FSessionTimeOut, 10);
    }
  }
}

TEST_F(AppServiceTest, FetchDataPages) {
  make_numbers(45);
  struct Case {
    int page_no;
    int page_size;
    int want_page_no;
    size_t want_rows;
    int first_id;  // of the served rows
  };
  const Case cases[] = {
      {1, 20, 1, 20, 1},  {2, 20, 2, 20, 21}, {3, 20, 3, 5, 41},   {4, 20, 1, 20, 1},
      {99, 20, 1, 20, 1}, {0, 20, 0, 20, 1},  {-1, 20, -1, 20, 1}, {1, 100, 1, 45, 1},
      {1, 0, 1, 0, 0},    {3, -5, 3, 0, 0},   {2, 45, 1, 45, 1},   {5, 11, 5, 1, 45},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.page_no << " / " << c.page_size);
    const json::IDynObject r = fetch("{\"PageNo\":" + std::to_string(c.page_no) + ",\"PageSize\":" +
                                     std::to_string(c.page_size) + ",\"TableName\":\"Numbers\"}");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->GetI("RecordCount"), 45);
    EXPECT_EQ(r->GetI("PageNo"), c.want_page_no);
    const std::string xml = r->GetS("XML");
    EXPECT_EQ(count_of(xml, "<z:row "), c.want_rows);
    if (c.want_rows > 0) {
      EXPECT_NE(xml.find("<z:row ID=\"" + std::to_string(c.first_id) + "\" "), std::string::npos);
    }
    EXPECT_EQ(count_of(xml, "rs:insert"), 0u);  // plain rows, not pending insertions
    EXPECT_FALSE(module().ADODataset.Active());
  }
}

TEST_F(AppServiceTest, FetchDataServesTheRowsThatExist) {
  // Page 0 starts before the first row; the table holds fewer rows than a page.
  make_numbers(5);
  const json::IDynObject r = fetch("{\"PageNo\":0,\"PageSize\":20,\"TableName\":\"Numbers\"}");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->GetI("RecordCount"), 5);
  EXPECT_EQ(r->GetI("PageNo"), 0);
  EXPECT_EQ(count_of(r->GetS("XML"), "<z:row "), 5u);
}

TEST_F(AppServiceTest, FetchDataPageArithmeticWrapsAt32Bits) {
  make_numbers(45);
  // 2^32 + 2 cuts to page 2; a page size of 2^32 + 20 cuts to 20.
  const json::IDynObject r =
      fetch("{\"PageNo\":4294967298,\"PageSize\":4294967316,\"TableName\":\"Numbers\"}");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->GetI("PageNo"), 2);
  EXPECT_NE(r->GetS("XML").find("<z:row ID=\"21\" "), std::string::npos);
  // (65537 - 1) * 65536 wraps to 0: page 65537 of 65536 rows serves the first rows.
  const json::IDynObject wrapped =
      fetch("{\"PageNo\":65537,\"PageSize\":65536,\"TableName\":\"Numbers\"}");
  ASSERT_NE(wrapped, nullptr);
  EXPECT_EQ(wrapped->GetI("PageNo"), 65537);
  EXPECT_EQ(count_of(wrapped->GetS("XML"), "<z:row "), 45u);
}

TEST_F(AppServiceTest, FetchDataMembersAndEscapes) {
  exec(
      "CREATE TABLE Notes(ID INTEGER PRIMARY KEY, Body VARCHAR(50));"
      "INSERT INTO Notes VALUES(1, 'a/b' || char(13, 10) || 'é');");
  const Answer answer =
      call_function("FetchData", "{\"PageNo\":1,\"PageSize\":20,\"TableName\":\"Notes\"}");
  const std::string result = result_text(answer.body);
  // "XML" first, then "RecordCount", then "PageNo".
  const size_t xml = result.find("\"XML\":\"");
  const size_t count = result.find(",\"RecordCount\":1,");
  const size_t page = result.find("\"PageNo\":1}");
  ASSERT_EQ(xml, 1u) << result;
  EXPECT_LT(xml, count);
  EXPECT_LT(count, page);
  EXPECT_EQ(result.find('\n'), std::string::npos);
  EXPECT_NE(result.find("<\\/xml>\""), std::string::npos);
  EXPECT_NE(result.find("\\r\\n"), std::string::npos);
  EXPECT_NE(result.find("a\\/b&#13;&#10;\\u00e9"), std::string::npos) << result;

  // The schema of the page is cached under the table name.
  const json::IDynObject parsed = json::TDynObject::ParseString(result);
  EXPECT_EQ(module().GetSchema("Notes"), StripPacketData(parsed->GetS("XML")));
}

TEST_F(AppServiceTest, FetchDataFailuresEndTheRequest) {
  make_numbers(3);
  exec("CREATE TABLE Wide(V INTEGER); INSERT INTO Wide VALUES(4294967296);");
  struct Case {
    std::string table;
    std::string_view error;  // empty: any
  };
  const Case cases[] = {
      {"Missing", ""},
      {"Numbers; DELETE FROM Numbers", ""},
      {"Numbers; SELECT 1", ""},
      {"Numbers WHERE ID IN (1", ""},
      {"Wide", "Value 4294967296 of field V does not fit its declared 32-bit integer type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    const std::string message = thrown_message([&] {
      call_function("FetchData",
                    "{\"PageNo\":1,\"PageSize\":20,\"TableName\":\"" + c.table + "\"}");
    });
    EXPECT_NE(message, "");
    if (!c.error.empty()) {
      EXPECT_EQ(message, c.error);
    }
    // An open dataset would hold a read snapshot of the database until the next call.
    EXPECT_FALSE(module().ADODataset.Active());
  }
  EXPECT_EQ(query("SELECT count(*) FROM Numbers"), 3);
  EXPECT_EQ(fetch("{\"PageNo\":1,\"PageSize\":2,\"TableName\":\"Numbers\"}")->GetI("RecordCount"),
            3);
}

TEST_F(AppServiceTest, SaveDataAppliesTheChanges) {
  make_numbers(3);
  const std::string changes =
      "<rs:data>\\r\\n<rs:insert>\\r\\n<z:row ID=\\\"7\\\" Name=\\\"seven\\\"/>\\r\\n"
      "</rs:insert>\\r\\n</rs:data>\\r\\n";
  const Answer answer =
      call_function("SaveData", "{\"TableName\":\"Numbers\",\"KeyFields\":\"ID\",\"Changes\":\"" +
                                    changes + "\"}");
  EXPECT_EQ(result_text(answer.body),
            "{\"Info\":\"INSERT INTO Numbers(ID,Name) VALUES(7,'seven')\\r\\n\"}");
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID=7 AND Name='seven'"), 1);
}

TEST_F(AppServiceTest, SaveDataErrorsAnswerWithAnErrorMember) {
  make_numbers(3);
  struct Case {
    std::string params;
    std::string error_start;
  };
  const Case cases[] = {
      {"{\"TableName\":\"Missing\",\"KeyFields\":\"ID\",\"Changes\":\"<rs:data/>\"}", ""},
      {"{\"TableName\":\"Numbers\",\"KeyFields\":\"ID\",\"Changes\":\"<rs:data><rs:insert><z:row "
       "ID='1' Name='dup'/></rs:insert></rs:data>\"}",
       "\\u6267\\u884c:INSERT INTO Numbers(ID,Name) VALUES(1,'dup')\\u62a5\\u9519\\uff1a\\r\\n"},
      {"{\"TableName\":\"Numbers\",\"KeyFields\":\"ID\",\"Changes\":\"<rs:data><rs:insert>\"}", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    const std::string result = result_text(call_function("SaveData", c.params).body);
    ASSERT_EQ(result.substr(0, 10), "{\"Error\":\"") << result;
    EXPECT_EQ(result.substr(10, c.error_start.size()), c.error_start);
    EXPECT_EQ(result.find("\"Info\""), std::string::npos);
  }
  EXPECT_EQ(query("SELECT count(*) FROM Numbers"), 3);
}

// The grid endpoint, called as a browser grid calls it.
class SqlSelectTest : public AppFixture {
 protected:
  Answer select(const std::vector<std::string>& query_fields) {
    return call(handler_, "GET", "/rest/sqlselect", query_fields);
  }
  TContentSQLSelect handler_;
};

TEST_F(SqlSelectTest, Pages) {
  make_numbers(45);
  struct Case {
    std::vector<std::string> fields;
    std::string body;
  };
  const Case cases[] = {
      {{"tblNames=Numbers", "rp=2"},
       "{\"fldCount\":2,\"fldNames\":[\"ID\",\"Name\"],\"fldLabels\":[\"ID\",\"Name\"],"
       "\"fldClasses\":[\"integer\",\"string\"],\"rowCount\":45,\"rows\":[[\"1\",\"n1\"],[\"2\","
       "\"n2\"]],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      {{"tblNames=Numbers", "page=3", "rp=20", "fldNames=ID"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":45,\"rows\":[[\"41\"],[\"42\"],[\"43\"],[\"44\"],[\"45\"]],\"title\":"
       "\"Numbers\",\"total\":45,\"page\":3}"},
      {{"tblNames=Numbers", "page=4", "rp=20"},
       "{\"rowCount\":0,\"rows\":[],\"title\":\"Numbers\",\"total\":45,\"page\":4}"},
      {{"tblNames=Numbers", "page=3", "rp=20", "where=ID <= 40"},
       "{\"fldCount\":2,\"fldNames\":[\"ID\",\"Name\"],\"fldLabels\":[\"ID\",\"Name\"],"
       "\"fldClasses\":[\"integer\",\"string\"],\"rowCount\":40,\"rows\":[],\"title\":"
       "\"Numbers\",\"total\":40,\"page\":3}"},
      {{"tblNames=Numbers", "page=0", "rp=1", "fldNames=ID"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":45,\"rows\":[[\"1\"]],\"title\":\"Numbers\",\"total\":45,\"page\":0}"},
      {{"tblNames=Numbers", "rp=0", "fldNames=ID"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":45,\"rows\":[],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      {{"tblNames=Numbers", "rp=1", "fldNames=ID", "orderBy=ID DESC"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":45,\"rows\":[[\"45\"]],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      {{"tblNames=Numbers", "page=x", "rp=2.5", "fldNames=ID", "where=ID > 43"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":2,\"rows\":[[\"44\"],[\"45\"]],\"title\":\"Numbers\",\"total\":2,\"page\":1}"},
      {{"tblNames=Numbers", "page= $2", "rp=0x2", "fldNames=ID"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":45,\"rows\":[[\"3\"],[\"4\"]],\"title\":\"Numbers\",\"total\":45,\"page\":2}"},
      {{"tblNames=Numbers", "page=4294967297", "rp=1", "fldNames=ID"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":45,\"rows\":[[\"1\"]],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      // The row count of the page query: a limit, a comment or a distinct list count as such.
      {{"tblNames=Numbers", "rp=2", "fldNames=ID", "orderBy=ID LIMIT 3"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":3,\"rows\":[[\"1\"],[\"2\"]],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      {{"tblNames=Numbers", "rp=5", "fldNames=ID", "where=ID > 43 -- the last two"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":2,\"rows\":[[\"44\"],[\"45\"]],\"title\":\"Numbers\",\"total\":2,\"page\":1}"},
      {{"tblNames=Numbers", "rp=5", "fldNames=DISTINCT ID % 2 AS Odd"},
       "{\"fldCount\":1,\"fldNames\":[\"Odd\"],\"fldLabels\":[\"Odd\"],\"fldClasses\":[\"numeric\"]"
       ","
       "\"rowCount\":2,\"rows\":[[\"0\"],[\"1\"]],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      {{"tblNames=Numbers", "fldNames=count(*) AS N"},
       "{\"fldCount\":1,\"fldNames\":[\"N\"],\"fldLabels\":[\"N\"],\"fldClasses\":[\"numeric\"],"
       "\"rowCount\":1,\"rows\":[[\"45\"]],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      // A filter that names an alias of the select list means something else in the count
      // statement (there "big" is a string and true the value): the page query is counted.
      {{"tblNames=Numbers", "rp=2", "fldNames=ID, ID * 2 AS \"big\"", "where=\"big\" > 60"},
       "{\"fldCount\":2,\"fldNames\":[\"ID\",\"big\"],\"fldLabels\":[\"ID\",\"big\"],"
       "\"fldClasses\":[\"integer\",\"numeric\"],\"rowCount\":15,\"rows\":[[\"31\",\"62\"],"
       "[\"32\",\"64\"]],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      {{"tblNames=Numbers", "rp=2", "fldNames=ID, ID % 2 AS true", "where=true"},
       "{\"fldCount\":2,\"fldNames\":[\"ID\",\"true\"],\"fldLabels\":[\"ID\",\"true\"],"
       "\"fldClasses\":[\"integer\",\"numeric\"],\"rowCount\":23,\"rows\":[[\"1\",\"1\"],"
       "[\"3\",\"1\"]],\"title\":\"Numbers\",\"total\":45,\"page\":1}"},
      // The count statement reads the first group's count; the page has one row per group.
      {{"tblNames=Numbers", "fldNames=ID % 3 AS R", "where=ID > 40 GROUP BY ID % 3"},
       "{\"fldCount\":1,\"fldNames\":[\"R\"],\"fldLabels\":[\"R\"],\"fldClasses\":[\"numeric\"],"
       "\"rowCount\":3,\"rows\":[[\"0\"],[\"1\"],[\"2\"]],\"title\":\"Numbers\",\"total\":2,"
       "\"page\":1}"},
      {{"tblNames=Numbers AS \"N\\x\"", "rp=0", "fldNames=ID"},
       "{\"fldCount\":1,\"fldNames\":[\"ID\"],\"fldLabels\":[\"ID\"],\"fldClasses\":[\"integer\"],"
       "\"rowCount\":45,\"rows\":[],\"title\":\"Numbers AS \\\"N\\\\x\\\"\",\"total\":45,\"page\":"
       "1}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const Answer answer = select(c.fields);
    EXPECT_EQ(answer.body, c.body);
    EXPECT_EQ(answer.content_type, "text/json; charset=utf-8");
  }
}

TEST_F(SqlSelectTest, StatementsThatCannotRunEndTheRequest) {
  make_numbers(3);
  const std::vector<std::string> requests[] = {
      {"tblNames=Missing"},
      {},
      {"tblNames=Numbers", "where=Nope = 1"},
      {"tblNames=Numbers", "orderBy=Nope"},
      {"tblNames=Numbers; DELETE FROM Numbers"},
      {"tblNames=Numbers", "where=1=1; DELETE FROM Numbers"},
      {"tblNames=Numbers", "orderBy=1; DROP TABLE Numbers"},
      {"tblNames=Numbers", "fldNames=ID FROM Numbers; DELETE FROM Numbers; SELECT ID"},
  };
  for (const auto& fields : requests) {
    SCOPED_TRACE(fields.empty() ? "(none)" : fields.back());
    EXPECT_NE(thrown_message([&] { select(fields); }), "");
  }
  EXPECT_EQ(query("SELECT count(*) FROM Numbers"), 3);
}

// The read queries of both endpoints run within the controller's query limits; beyond one,
// the request fails with an error that says which, and no page is sent.
class QueryLimitsTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    // Rows of about 100 bytes each; one row holds a value of 5000 bytes.
    exec(
        "CREATE TABLE Wide(ID INTEGER PRIMARY KEY, Body TEXT);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 30) "
        "INSERT INTO Wide SELECT i, printf('%.100c', 'x') FROM n;"
        "CREATE TABLE Big(ID INTEGER PRIMARY KEY, Body TEXT);"
        "INSERT INTO Big VALUES(1, printf('%.5000c', 'y'));");
  }
  std::string fetch_error(const std::string& table, int page_size) {
    return thrown_message([&] {
      call(service_, "POST", "/appservice/",
           {"Function=FetchData", "Params={\"PageNo\":1,\"PageSize\":" + std::to_string(page_size) +
                                      ",\"TableName\":\"" + table + "\"}"});
    });
  }
  std::string select_error(const std::string& table, int page_size) {
    return thrown_message([&] {
      call(select_, "GET", "/rest/sqlselect",
           {"tblNames=" + table, "rp=" + std::to_string(page_size)});
    });
  }
  TContentAppService service_;
  TContentSQLSelect select_;
};

TEST_F(QueryLimitsTest, ReadsStopAtTheirLimits) {
  // Counting two million rows runs for a second or more; the deadline is far shorter.
  const std::string endless =
      "(WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r WHERE i < 2000000) "
      "SELECT i FROM r)";
  controller_->QueryLimits.ReadTimeoutMs = 50;
  controller_->QueryLimits.MaxValueBytes = 4000;
  controller_->QueryLimits.MaxPageBytes = 2000;
  const std::string stopped = "The query ran longer than 50 ms and was stopped.";
  const std::string too_big = "string or blob too big";
  const std::string page = "The reply page would be larger than 2000 bytes; ask for fewer rows.";
  struct Case {
    std::string what;
    std::function<std::string()> run;
    std::string error;  // contained in the message
  };
  const Case cases[] = {
      {"FetchData, endless", [&] { return fetch_error(endless, 20); }, stopped},
      {"sqlselect, endless", [&] { return select_error(endless, 20); }, stopped},
      {"FetchData, large value", [&] { return fetch_error("Big", 20); }, too_big},
      {"sqlselect, large value", [&] { return select_error("Big", 20); }, too_big},
      {"FetchData, large page", [&] { return fetch_error("Wide", 30); }, page},
      {"sqlselect, large page", [&] { return select_error("Wide", 30); }, page},
      {"FetchData, small page", [&] { return fetch_error("Wide", 2); }, ""},
      {"sqlselect, small page", [&] { return select_error("Wide", 2); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string message = c.run();
    if (c.error.empty()) {
      EXPECT_EQ(message, "");
    } else {
      EXPECT_NE(message.find(c.error), std::string::npos) << message;
    }
    EXPECT_FALSE(module().ADODataset.Active());
  }
}

// A hostile sort, scaled down: about 4 MB of rows sorted by a text, twice what a
// sorter keeps in memory, so that it spills to temporary files. Built with || on a literal,
// which a function allow-list keeps.
std::string spilling_rows(const std::string& order_by = "") {
  return "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 4000) "
         "SELECT i, i || '" +
         std::string(1000, 'x') + "' AS b FROM n" + order_by + ")";
}

// The hostile sort through both endpoints, page 2 of 3 rows: ids 1003..1005 in text order.
class TempDiskTest : public QueryLimitsTest {
 protected:
  std::string sorted_select() {
    return call(select_, "GET", "/rest/sqlselect",
                {"tblNames=" + spilling_rows(), "fldNames=i", "orderBy=b", "rp=3", "page=2"})
        .body;
  }
  std::string sorted_fetch() {
    return call(service_, "POST", "/appservice/",
                {"Function=FetchData", "Params={\"PageNo\":2,\"PageSize\":3,\"TableName\":\"" +
                                           spilling_rows(" ORDER BY b") + "\"}"})
        .body;
  }
};

TEST_F(TempDiskTest, SortsStopAtTheCap) {
  controller_->QueryLimits.MaxTempBytes = int64_t{1} << 20;
  const std::string stopped =
      "The query needed more than 1048576 bytes of temporary disk and was stopped.";
  EXPECT_EQ(thrown_message([&] { sorted_select(); }), stopped);
  // The failed statement's files are closed: nothing is held.
  EXPECT_EQ(db::temp_file_bytes_in_use(), 0);
  EXPECT_EQ(thrown_message([&] { sorted_fetch(); }), stopped);
  EXPECT_EQ(db::temp_file_bytes_in_use(), 0);
  EXPECT_FALSE(module().ADODataset.Active());
  // The session reads on.
  EXPECT_EQ(select_error("Wide", 2), "");
}

TEST_F(TempDiskTest, SortsUnderTheCapGiveTheirPages) {
  controller_->QueryLimits.MaxTempBytes = int64_t{64} << 20;
  const std::string select_page = sorted_select();
  EXPECT_NE(select_page.find("\"rows\":[[\"1003\"],[\"1004\"],[\"1005\"]]"), std::string::npos)
      << select_page.substr(0, 300);
  const std::string fetch_page = sorted_fetch();
  EXPECT_NE(fetch_page.find("\"RecordCount\":4000"), std::string::npos);
  for (const std::string id : {"1003", "1004", "1005"}) {
    EXPECT_NE(fetch_page.find("z:row i=\\\"" + id + "\\\""), std::string::npos) << id;
  }
  EXPECT_EQ(db::temp_file_bytes_in_use(), 0);
}

TEST_F(QueryLimitsTest, QueriesStopAtTheHeapLimit) {
  const int64_t previous = db::sqlite_heap_limit();
  // A few megabytes more than SQLite holds now; the query builds a 10 MB text.
  const int64_t limit = sqlite3_memory_used() + (int64_t{4} << 20);
  controller_->QueryLimits.MaxSqliteHeapBytes = limit;
  const std::string huge =
      "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
      "SELECT group_concat('" +
      std::string(500, 'x') + "') AS b FROM n)";
  EXPECT_EQ(select_error(huge, 1), "The database ran out of the memory allowed for queries (" +
                                       std::to_string(limit) + " bytes) and stopped the query.");
  EXPECT_EQ(db::sqlite_heap_limit(), limit);
  // The memory went back: the same session reads on under the same limit.
  EXPECT_EQ(select_error("Wide", 2), "");
  db::apply_sqlite_heap_limit(previous);
}

TEST_F(SqlSelectTest, GridKindsAndCells) {
  exec(
      "CREATE TABLE Kinds(Auto INTEGER PRIMARY KEY AUTOINCREMENT, Txt VARCHAR(20), Big BIGINT, "
      "Small SMALLINT, Flag YESNO, Price MONEY, Ratio FLOAT, Stamp DATETIME, Day DATE, Tm TIME, "
      "Note MEMO, Pic IMAGE, Raw VARBINARY(4), Uid GUID);"
      "INSERT INTO Kinds VALUES(1, 'two' || char(13, 10) || 'lines' || char(9) || 'tab', "
      "-9000000000, -3, 1, 1234567.5, 0.5, '2015-05-07 14:03:22', '2015-05-07', '08:09:10', "
      "'memo', X'00', X'01ff', '{0A0B0C0D-0000-0000-0000-000000000001}');"
      "INSERT INTO Kinds VALUES(2, NULL, NULL, NULL, 0, NULL, NULL, '2015-05-07 00:00:00', "
      "NULL, NULL, NULL, NULL, NULL, NULL);"
      "INSERT INTO Kinds(Auto, Price) VALUES(3, -0.125);");
  const Answer answer = select({"tblNames=Kinds"});
  const std::string img = "<img src=\\\"/images/blob.png\\\" />";
  EXPECT_EQ(answer.body,
            "{\"fldCount\":14,"
            "\"fldNames\":[\"Auto\",\"Txt\",\"Big\",\"Small\",\"Flag\",\"Price\",\"Ratio\","
            "\"Stamp\",\"Day\",\"Tm\",\"Note\",\"Pic\",\"Raw\",\"Uid\"],"
            "\"fldLabels\":[\"Auto\",\"Txt\",\"Big\",\"Small\",\"Flag\",\"Price\",\"Ratio\","
            "\"Stamp\",\"Day\",\"Tm\",\"Note\",\"Pic\",\"Raw\",\"Uid\"],"
            "\"fldClasses\":[\"integer\",\"string\",\"numeric\",\"integer\",\"boolean\",\"money\","
            "\"numeric\",\"datetime\",\"date\",\"time\",\"widememo\",\"blob\",\"varbytes\","
            "\"string\"],"
            "\"rowCount\":3,\"rows\":["
            "[\"1\",\"twolines\\u0009tab\",\"-9000000000\",\"-3\",\"True\",\"1,234,567.50\","
            "\"0.5\",\"2015-05-07 14:03:22\",\"2015-05-07\",\"08:09:10\",\"" +
                img + "\",\"" + img +
                "\",\"01ff\",\"{0A0B0C0D-0000-0000-0000-000000000001}\"],"
                "[\"2\",\"\",\"\",\"\",\"False\",\"0.00\",\"\",\"2015-05-07\",\"\",\"\",\"" +
                img + "\",\"" + img +
                "\",\"\",\"\"],"
                "[\"3\",\"\",\"\",\"\",\"\",\"-0.13\",\"\",\"\",\"\",\"\",\"" +
                img + "\",\"" + img +
                "\",\"\",\"\"]],"
                "\"title\":\"Kinds\",\"total\":3,\"page\":1}");
}

TEST_F(SqlSelectTest, UnreadableValuesShowAsStored) {
  exec(
      "CREATE TABLE Odd(ID INTEGER PRIMARY KEY, Stamp DATETIME, Price MONEY);"
      "INSERT INTO Odd VALUES(1, 'soon' || char(10), 'lots');");
  EXPECT_EQ(select({"tblNames=Odd", "fldNames=Stamp, Price"}).body,
            "{\"fldCount\":2,\"fldNames\":[\"Stamp\",\"Price\"],\"fldLabels\":[\"Stamp\","
            "\"Price\"],\"fldClasses\":[\"datetime\",\"money\"],\"rowCount\":1,\"rows\":[["
            "\"soon\",\"lots\"]],\"title\":\"Odd\",\"total\":1,\"page\":1}");
}

// The statements the endpoints build, in the order they run; the database layer's own
// wrappers (counting and skipping rows) and its re-runs of the same text are left out.
class StatementTest : public AppFixture {
 protected:
  std::vector<std::string> statements_of(const std::function<void()>& request) {
    std::vector<std::string> seen;
    const auto record = [](unsigned, void* context, void* statement, void*) {
      static_cast<std::vector<std::string>*>(context)->push_back(
          sqlite3_sql(static_cast<sqlite3_stmt*>(statement)));
      return 0;
    };
    sqlite3* db = module().dbServer.handle();
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, record, &seen);
    request();
    sqlite3_trace_v2(db, 0, nullptr, nullptr);
    // The read scope's own snapshot (BEGIN and COMMIT) is not the endpoint's statement.
    std::erase_if(seen, [](const std::string& sql) {
      return sql.starts_with("SELECT COUNT(*) FROM (") || sql.starts_with("SELECT * FROM (") ||
             sql == "BEGIN" || sql == "COMMIT";
    });
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    return seen;
  }

  TContentAppService service_;
  TContentSQLSelect select_;
};

TEST_F(StatementTest, FetchDataSelectsTheTableAsNamed) {
  make_numbers(45);
  struct Case {
    std::string table;
    std::string statement;
  };
  const Case cases[] = {
      {"Numbers", "select * from Numbers"},
      {" Numbers", "select * from  Numbers"},
      {"Numbers WHERE ID > 40", "select * from Numbers WHERE ID > 40"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    const std::vector<std::string> seen = statements_of([&] {
      call(service_, "POST", "/appservice/",
           {"Function=FetchData",
            "Params={\"PageNo\":2,\"PageSize\":20,\"TableName\":\"" + c.table + "\"}"});
    });
    EXPECT_EQ(seen, std::vector<std::string>{c.statement});
  }
}

TEST_F(StatementTest, SqlSelectCountsThenSelectsThePage) {
  make_numbers(45);
  struct Case {
    std::vector<std::string> fields;
    std::vector<std::string> statements;
  };
  const Case cases[] = {
      {{"tblNames=Numbers"},
       {"SELECT COUNT(*) AS TotalCount FROM Numbers", "SELECT * FROM Numbers ORDER BY 1"}},
      {{"tblNames=Numbers", "fldNames=", "where=", "orderBy="},
       {"SELECT COUNT(*) AS TotalCount FROM Numbers", "SELECT * FROM Numbers ORDER BY 1"}},
      {{"tblNames=Numbers", "fldNames=ID, Name", "where=ID > 3", "orderBy=Name DESC"},
       {"SELECT COUNT(*) AS TotalCount FROM Numbers WHERE ID > 3",
        "SELECT ID, Name FROM Numbers WHERE ID > 3 ORDER BY Name DESC"}},
      {{"tblNames=Numbers n JOIN Numbers m ON m.ID = n.ID", "fldNames=n.ID, m.Name", "orderBy=2"},
       {"SELECT COUNT(*) AS TotalCount FROM Numbers n JOIN Numbers m ON m.ID = n.ID",
        "SELECT n.ID, m.Name FROM Numbers n JOIN Numbers m ON m.ID = n.ID ORDER BY 2"}},
      // Offset 60 is beyond the 45 rows: no page query runs.
      {{"tblNames=Numbers", "page=4"}, {"SELECT COUNT(*) AS TotalCount FROM Numbers"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statements.back());
    EXPECT_EQ(statements_of([&] { call(select_, "GET", "/rest/sqlselect", c.fields); }),
              c.statements);
  }
}

TEST(GridJsonTest, OffsetAndPageSize) {
  // DataSetToGridJson on its own, over a client-side dataset of 45 rows.
  db::TADODataSet data;
  data.FieldDefs().Add(db::TFieldDef{"ID", db::FieldType::kInteger});
  data.CreateDataSet();
  for (int64_t i = 1; i <= 45; ++i) {
    data.Append();
    data.Fields(0).SetValue(i);
    data.Post();
  }
  data.UpdateBatch();
  struct Case {
    int32_t offset;
    int32_t page_size;
    size_t rows;
    std::string first;
  };
  const Case cases[] = {
      {40, 20, 5, "[\"41\"]"}, {45, 20, 0, ""}, {-5, 2, 2, "[\"1\"]"},
      {0, 0, 0, ""},           {0, -1, 0, ""},  {44, 1, 1, "[\"45\"]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.offset << " / " << c.page_size);
    data.First();
    const std::unique_ptr<json::TJSONObject> doc = DataSetToGridJson(data, c.offset, c.page_size);
    ASSERT_EQ(doc->size(), 6u);
    EXPECT_EQ(doc->pair(4).value().ToString(), "45");
    const auto& rows = dynamic_cast<const json::TJSONArray&>(doc->pair(5).value());
    EXPECT_EQ(rows.size(), c.rows);
    if (c.rows > 0) {
      EXPECT_EQ(rows.at(0).ToString(), c.first);
    }
  }
}

TEST(GridJsonTest, PageLimitCountsCellsAsWritten) {
  // 400 bytes that JSON writes in 6 each (\u0001) pass a limit of 2000 bytes only once
  // written: the page fails while it is read, before its text exists.
  struct Case {
    std::string cell;
    bool fits;
  };
  const Case cases[] = {
      {std::string(400, 'x'), true},
      {std::string(400, '\x01'), false},
      {std::string(400, '"'), true},
      {std::string(1100, '"'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cell.substr(0, 1));
    db::TADODataSet data;
    data.FieldDefs().Add(db::TFieldDef{"T", db::FieldType::kWideString, 5000});
    data.CreateDataSet();
    data.Append();
    data.Fields(0).SetValue(c.cell);
    data.Post();
    data.UpdateBatch();
    data.First();
    const std::string message = thrown_message([&] { DataSetToGridJson(data, 0, 20, {}, 2000); });
    EXPECT_EQ(message.empty(), c.fits) << message;
  }
}

TEST(ContentHandlersTest, RegisteredUnderTheirPaths) {
  server::THandlers::Clear();
  RegisterContentHandlers();
  struct Case {
    const char* path;
    const std::type_info* handler;  // nullptr: no handler
  };
  const Case cases[] = {
      {"/appservice/", &typeid(TContentAppService)},
      {"/appservice/CloseSession", &typeid(TContentAppService)},
      {"/appservice/x/y", &typeid(TContentAppService)},
      {"/rest/sqlselect", &typeid(TContentSQLSelect)},
      {"/REST/SqlSelect", &typeid(TContentSQLSelect)},
      {"/rest/other", nullptr},
      {"/rest/", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    server::TContentBase* handler = server::THandlers::FindMatch(c.path);
    if (c.handler == nullptr) {
      EXPECT_EQ(handler, nullptr);
    } else {
      ASSERT_NE(handler, nullptr);
      EXPECT_EQ(typeid(*handler), *c.handler);
      EXPECT_FALSE(handler->mFileMustExist);
    }
  }
  server::THandlers::Clear();
}

}  // namespace
}  // namespace appsrv::app
