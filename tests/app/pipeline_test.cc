// The whole pipeline with the real application: its controller class and content handlers
// registered as start-up registers them, a temporary application folder (wwwroot/ and
// TEST.mdb), request packets written into the exchange buffer, the request hook, and the reply
// packets read back as the transport reads them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/AppWebAgent.h"
#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "app/ServerUnit1.h"
#include "app_test_support.h"
#include "base/files.h"
#include "base/text.h"
#include "json/dyn_object.h"
#include "render/app_form.h"
#include "render/session_forms.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/exception_renderer.h"
#include "server/pipeline/handlers.h"
#include "server/pipeline/request_hook.h"
#include "server/session/browser.h"
#include "server/session/exception_logger.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/server/pipeline_fixture.h"
#include "tests/server/test_support.h"

namespace appsrv::app {
namespace {

using server::ReplyPacket;
using server::ReplyPacketCookie;
using server::RequestPacketFields;

// The exchange buffer the transport hands to the request hook.
constexpr int32_t kBufferSize = 32768;
static_assert(kBufferSize == server::kExchangeBufferSize);

constexpr const char* kChromeAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36";
constexpr const char* kAddParams = "{\"A\":2,\"B\":3,\"Info\":\"x\"}";

class PipelineTest : public server::testing::PipelineFixture {
 protected:
  void SetUp() override {
    PipelineFixture::SetUp();
    ASSERT_TRUE(base::force_directories(controller_->ContentPath(), 0700));
    testing::exec_sql(db_path(),
                      "CREATE TABLE Numbers(ID INTEGER PRIMARY KEY, Name VARCHAR(20));"
                      "INSERT INTO Numbers VALUES(1,'n1'),(2,'n2'),(3,'n3'),(4,'n4'),(5,'n5');");
  }
  // Start-up order: the handlers and the controller class before the controller exists.
  void Register() override {
    RegisterContentHandlers();
    RegisterServerController();
    RegisterMainForm();
    render::InstallPageRendering();
  }
  void Unregister() override {
    render::UninstallPageRendering();
    render::SetMainFormClass(nullptr);
  }

  // The content folder's parent holds the database.
  std::string db_path() const { return folder_.app() + "TEST.mdb"; }

  static RequestPacketFields Request(std::string method, std::string path,
                                     std::vector<std::string> fields, const std::string& cookie,
                                     std::string agent = kChromeAgent) {
    RequestPacketFields f;
    f.method = std::move(method);
    f.url = path;
    f.path_info = std::move(path);
    f.remote_addr = "10.1.2.3";
    f.host = "example.org";
    f.server_port = 8888;
    f.user_agent = std::move(agent);
    f.has_content = f.method == "POST";
    if (f.method == "GET") {
      f.query = base::join(fields, "&");
    }
    f.query_fields = std::move(fields);
    if (!cookie.empty()) {
      f.cookie_fields.push_back("SV_MyApp=" + cookie);
    }
    return f;
  }
  static RequestPacketFields CallFunction(const std::string& function, const std::string& params,
                                          const std::string& cookie,
                                          std::string agent = kChromeAgent) {
    return Request("POST", "/appservice/", {"Function=" + function, "Params=" + params}, cookie,
                   std::move(agent));
  }

  // One request through the hook: packet in, packet out.
  static ReplyPacket Call(const RequestPacketFields& f) {
    std::vector<char> buffer(kBufferSize);
    server::write_request_packet(f, buffer.data(), kBufferSize);
    server::RequestHook()(buffer.data(), kBufferSize);
    return server::read_reply_packet(buffer.data(), kBufferSize);
  }

  static const ReplyPacketCookie* FindCookie(const ReplyPacket& r) {
    for (const ReplyPacketCookie& c : r.cookies) {
      if (c.name == "SV_MyApp") {
        return &c;
      }
    }
    return nullptr;
  }

  // The first call of a program client: the start page and the new session's cookie value.
  std::string StartSession(const std::string& agent = kChromeAgent) {
    const ReplyPacket r = Call(CallFunction("Add", kAddParams, "", agent));
    const ReplyPacketCookie* cookie = FindCookie(r);
    if (r.code != 200 || cookie == nullptr) {
      ADD_FAILURE() << "no session started: " << r.code << " " << r.body_text();
      return {};
    }
    return cookie->value;
  }

  // Runs `fn` on the live session `cookie` names, under the list lock; false when it is gone.
  bool WithSession(const std::string& cookie,
                   const std::function<void(server::TSvApplication&)>& fn) {
    const std::string id = cookie.substr(0, cookie.find('_'));
    bool found = false;
    controller_->Sessions().LockList([&](server::TSvApplication& s) {
      if (s.AppID() == id) {
        found = true;
        fn(s);
      }
    });
    return found;
  }

  // The JSON text after "Result=" of an envelope.
  static std::string ResultText(const ReplyPacket& r) {
    const std::string body = r.body_text();
    const size_t at = body.rfind("\r\nResult=");
    return at == std::string::npos ? std::string() : body.substr(at + 9);
  }

  static void ExpectCookieRemoved(const ReplyPacket& r) {
    const ReplyPacketCookie* cookie = FindCookie(r);
    ASSERT_NE(cookie, nullptr);
    EXPECT_EQ(cookie->value, "");
    EXPECT_EQ(cookie->expires, -1.0);
    EXPECT_EQ(cookie->path, "/");
  }

};

TEST_F(PipelineTest, ProgramClientsAreStartedThenServed) {
  // What client programs send: nothing, HTTP libraries, and a browser for comparison. Each is
  // served; the session's browser is what the application makes of it.
  struct Case {
    const char* agent;
    const char* browser;
    float version;
  };
  const Case cases[] = {
      {"", "Microsoft Internet Explorer", 8.0F},
      {"python-requests/2.31.0", "Microsoft Internet Explorer", 8.0F},
      {"Mozilla/3.0 (compatible; ReportFetcher)", "Microsoft Internet Explorer", 8.0F},
      {"curl/8.4.0", "Microsoft Internet Explorer", 8.0F},
      {"Go-http-client/1.1", "Microsoft Internet Explorer", 8.0F},
      {"okhttp/4.12.0", "Microsoft Internet Explorer", 8.0F},
      {"Java/17.0.2", "Microsoft Internet Explorer", 8.0F},
      {"Apache-HttpClient/4.5.14 (Java/17.0.2)", "Microsoft Internet Explorer", 8.0F},
      {"PostmanRuntime/7.36.0", "Microsoft Internet Explorer", 0.0F},
      {"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)", "Microsoft Internet Explorer", 7.0F},
      {"CFNetwork/1410.0.3 Darwin/22.6.0", "Microsoft Internet Explorer", 8.0F},
      {"Mozilla/5.0 (Linux; Android 4.4; Nexus 5) AppleWebKit/537.36 Mobile Safari/537.36",
       "Microsoft Internet Explorer", 4.0F},
      {"Mozilla/5.0 (Windows; U) Gecko/2008 Firefox/3.0", "Firefox", 3.6F},
      {kChromeAgent, "Microsoft Internet Explorer", 12.0F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("agent \"") + c.agent + "\"");
    // First call: the service cannot start a session, so the client gets the start page and
    // the cookie of its new session.
    const ReplyPacket first = Call(CallFunction("Add", kAddParams, "", c.agent));
    EXPECT_EQ(first.code, 200) << first.body_text();
    EXPECT_TRUE(base::ends_with(first.body_text(), "</form>\r\n</body>\r\n</html>"))
        << first.body_text();
    const ReplyPacketCookie* cookie = FindCookie(first);
    ASSERT_NE(cookie, nullptr);
    ASSERT_EQ(cookie->value.size(), 24u);
    EXPECT_EQ(cookie->value.substr(22), "_1");
    EXPECT_EQ(cookie->path, "/");
    EXPECT_EQ(cookie->expires, 0);
    EXPECT_TRUE(WithSession(cookie->value, [&](server::TSvApplication& s) {
      EXPECT_NE(dynamic_cast<TSvUserSession*>(s.FData.get()), nullptr);
      EXPECT_EQ(s.FSessionTimeOut, 1);
      ASSERT_NE(s.mBrowser, nullptr);
      EXPECT_EQ(s.mBrowser->mBrowserName, c.browser);
      EXPECT_FLOAT_EQ(s.mBrowser->mVersion, c.version);
      EXPECT_EQ(s.mBrowser->mUserAgent, c.agent);
    }));

    // The same call with the cookie reaches the service.
    const ReplyPacket second = Call(CallFunction("Add", kAddParams, cookie->value, c.agent));
    EXPECT_EQ(second.code, 200);
    EXPECT_EQ(second.body_text(),
              "Function=Add\r\nParams={\"A\":2,\"B\":3,\"Info\":\"x\"}\r\nResult={\"Result\":5,"
              "\"Info\":\"x\"}");
    EXPECT_EQ(second.content_type, "text/html; charset=UTF-8");
    ASSERT_NE(FindCookie(second), nullptr);
    EXPECT_EQ(FindCookie(second)->value, cookie->value);
    // The second request gives the session its configured timeout.
    EXPECT_TRUE(WithSession(cookie->value,
                            [](server::TSvApplication& s) { EXPECT_EQ(s.FSessionTimeOut, 10); }));
  }
  EXPECT_EQ(controller_->Sessions().GetCount(), static_cast<int>(std::size(cases)));
}

TEST_F(PipelineTest, BrowserAtTheRootEndsOnTheStatusPage) {
  // The start page asks for the session's StartCheck with the window size.
  const ReplyPacket start = Call(Request("GET", "/", {}, ""));
  ASSERT_EQ(start.code, 200);
  const ReplyPacketCookie* started = FindCookie(start);
  ASSERT_NE(started, nullptr);
  const std::string cookie = started->value;
  EXPECT_NE(start.body_text().find("/$/StartCheck"), std::string::npos) << start.body_text();

  // StartCheck records the size and posts it back to the root.
  const ReplyPacket check =
      Call(Request("GET", "/$/StartCheck", {"SV_AjaxID=1", "SV_width=900", "SV_height=500"}, cookie));
  ASSERT_EQ(check.code, 200);
  EXPECT_NE(check.body_text().find("action=\"/\""), std::string::npos) << check.body_text();

  // The root of a started session sends the browser to its forms.
  for (const char* method : {"POST", "GET"}) {
    const ReplyPacket root = Call(Request(method, "/", {"SV_width=900", "SV_height=500"}, cookie));
    EXPECT_EQ(root.code, 200);
    EXPECT_NE(root.body_text().find("window.location.replace(\"/$/\")"), std::string::npos)
        << method << " " << root.body_text();
  }

  // ...where it stays: every form request answers the status page.
  for (int i = 0; i < 2; ++i) {
    const ReplyPacket page = Call(Request("GET", "/$/", {}, cookie));
    EXPECT_EQ(page.code, 200);
    EXPECT_EQ(page.content_type, "text/html; charset=UTF-8");
    const std::string body = page.body_text();
    EXPECT_NE(body.find(">AppService Server Is Running...</span>"), std::string::npos) << body;
    EXPECT_NE(body.find("InitRects(900, 500);"), std::string::npos) << body;
    EXPECT_NE(body.find("value=\"TSvForm2\""), std::string::npos) << body;
    EXPECT_EQ(body.find("location.replace"), std::string::npos) << body;
  }
  EXPECT_EQ(controller_->Sessions().GetCount(), 1);
}

TEST_F(PipelineTest, FetchAndSaveDataUseTheSessionsDatabase) {
  const std::string cookie = StartSession();
  const ReplyPacket fetched = Call(
      CallFunction("FetchData", "{\"TableName\":\"Numbers\",\"PageNo\":2,\"PageSize\":2}", cookie));
  ASSERT_EQ(fetched.code, 200) << fetched.body_text();
  const json::IDynObject page = json::TDynObject::ParseString(ResultText(fetched));
  ASSERT_NE(page, nullptr) << fetched.body_text();
  EXPECT_EQ(page->GetI("RecordCount"), 5);
  EXPECT_EQ(page->GetI("PageNo"), 2);
  const std::string xml = page->GetS("XML");
  for (const char* row : {"ID=\"3\"", "ID=\"4\""}) {
    EXPECT_NE(xml.find(row), std::string::npos) << row << "\n" << xml;
  }
  EXPECT_EQ(xml.find("ID=\"2\""), std::string::npos) << xml;

  const std::string changes =
      "<rs:data><rs:insert><z:row ID='7' Name='seven'/></rs:insert>"
      "<rs:delete><z:row ID='1'/></rs:delete></rs:data>";
  const ReplyPacket saved = Call(CallFunction(
      "SaveData",
      "{\"TableName\":\"Numbers\",\"KeyFields\":\"ID\",\"Changes\":\"" + changes + "\"}", cookie));
  ASSERT_EQ(saved.code, 200) << saved.body_text();
  const json::IDynObject info = json::TDynObject::ParseString(ResultText(saved));
  ASSERT_NE(info, nullptr) << saved.body_text();
  EXPECT_EQ(info->GetS("Error"), "");
  EXPECT_NE(info->GetS("Info").find("INSERT INTO Numbers(ID,Name) VALUES(7,'seven')\r\n"),
            std::string::npos)
      << info->GetS("Info");
  EXPECT_EQ(testing::query_int(db_path(), "SELECT count(*) FROM Numbers WHERE ID=7"), 1);
  EXPECT_EQ(testing::query_int(db_path(), "SELECT count(*) FROM Numbers WHERE ID=1"), 0);
}

TEST_F(PipelineTest, SqlSelectServesTheSessionsGrid) {
  // Without a session the grid endpoint starts one like the service does.
  const ReplyPacket start = Call(Request("GET", "/rest/sqlselect", {"tblNames=Numbers"}, ""));
  EXPECT_EQ(start.code, 200);
  ASSERT_NE(FindCookie(start), nullptr);

  const std::string cookie = StartSession();
  const ReplyPacket grid =
      Call(Request("GET", "/rest/sqlselect", {"tblNames=Numbers", "page=2", "rp=2"}, cookie));
  EXPECT_EQ(grid.code, 200);
  EXPECT_EQ(grid.content_type, "text/json; charset=utf-8");
  EXPECT_EQ(grid.body_text(),
            "{\"fldCount\":2,\"fldNames\":[\"ID\",\"Name\"],\"fldLabels\":[\"ID\",\"Name\"],"
            "\"fldClasses\":[\"integer\",\"string\"],\"rowCount\":5,\"rows\":[[\"3\",\"n3\"],"
            "[\"4\",\"n4\"]],\"title\":\"Numbers\",\"total\":5,\"page\":2}");
}

TEST_F(PipelineTest, CloseSessionLeavesOneIdleMinute) {
  const std::string cookie = StartSession();
  ASSERT_EQ(Call(CallFunction("Add", kAddParams, cookie)).code, 200);
  ASSERT_TRUE(
      WithSession(cookie, [](server::TSvApplication& s) { EXPECT_EQ(s.FSessionTimeOut, 10); }));

  const ReplyPacket closed = Call(Request("POST", "/appservice/CloseSession", {}, cookie));
  EXPECT_EQ(closed.code, 200);
  EXPECT_EQ(closed.body_text(), "CloseSession");
  ASSERT_TRUE(
      WithSession(cookie, [](server::TSvApplication& s) { EXPECT_EQ(s.FSessionTimeOut, 1); }));

  // Silence for more than the minute: the timeout pass destroys the session, and a late call
  // finds it expired.
  clock_.advance_seconds(61);
  controller_->RunSessionTimeoutPass();
  EXPECT_FALSE(WithSession(cookie, [](server::TSvApplication&) {}));
  EXPECT_EQ(controller_->Sessions().GetCount(), 0);
  const ReplyPacket late = Call(CallFunction("Add", kAddParams, cookie));
  EXPECT_EQ(late.code, 500);
  EXPECT_NE(late.body_text().find(server::html_escape("Your session has expired.")),
            std::string::npos);
  ExpectCookieRemoved(late);
}

TEST_F(PipelineTest, UnknownSessionAnswersTheErrorPageAndRemovesTheCookie) {
  StartSession();
  const ReplyPacket r = Call(CallFunction("Add", kAddParams, "NoSuchSessionIdentifie_1"));
  EXPECT_EQ(r.code, 500);
  EXPECT_NE(r.body_text().find(server::html_escape("Session ID is invalid.")), std::string::npos)
      << r.body_text();
  EXPECT_NE(r.body_text().find("NoSuchSessionIdentifie"), std::string::npos);
  ExpectCookieRemoved(r);
  EXPECT_EQ(controller_->Sessions().GetCount(), 1);
}

TEST_F(PipelineTest, FailuresAreLoggedAndShownWithTheFrameworkSection) {
  controller_->ExceptionLogger().SetEnabled(true);
  RequestPacketFields f = Request("GET", "/a\\b", {}, "");
  f.remote_addr = "127.0.0.1";
  const ReplyPacket r = Call(f);
  EXPECT_EQ(r.code, 500);
  // A client on this machine sees the application and framework sections.
  for (const char* line : {"Invalid characters in URL.", "Corvane Version   : 14.0.39",
                           "Multi-session      : False"}) {
    SCOPED_TRACE(line);
    EXPECT_NE(r.body_text().find(server::html_escape(line)), std::string::npos);
  }
  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.app() + "ErrorLog/")) {
    logs.push_back(entry.path().string());
  }
  ASSERT_EQ(logs.size(), 1u);
  const std::string text = base::read_file(logs[0]);
  for (const char* line : {"Exception message  : Invalid characters in URL.",
                           "Corvane Version   : 14.0.39", "Session count      : 0"}) {
    SCOPED_TRACE(line);
    EXPECT_NE(text.find(line), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace appsrv::app
