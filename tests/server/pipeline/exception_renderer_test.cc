#include "server/pipeline/exception_renderer.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/files.h"
#include "base/name_value_list.h"
#include "base/text.h"
#include "server/exchange/request_packet_writer.h"
#include "server/exchange/sv_exception.h"
#include "server/http/http_request.h"
#include "server/session/exception_logger.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

constexpr const char* kFirefox =
    "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0";

std::unique_ptr<THttpRequest> make_request(std::string_view script_name) {
  RequestPacketFields fields;
  fields.script_name = std::string(script_name);
  fields.host = "localhost";
  fields.path_info = "/appservice/";
  fields.method = "GET";
  fields.remote_addr = "10.1.2.3";
  std::vector<char> buffer(32768);
  write_request_packet(fields, buffer.data(), static_cast<int32_t>(buffer.size()));
  return std::make_unique<THttpRequest>(buffer.data(), static_cast<int32_t>(buffer.size()));
}

// A configured controller over a private folder, a request, and a logger for the details.
class ExceptionRendererTest : public ::testing::Test {
 protected:
  ExceptionRendererTest() {
    controller_ =
        TSvServerControllerBase::Create<TSvServerControllerBase>(folder_.environment(clock_));
    controller_->SetTemplateDir(folder_.root() + "templates");
    base::force_directories(controller_->TemplateDir(), 0700);
    request_ = make_request("/app");
    ExceptionLoggerEnvironment env = ExceptionLoggerEnvironment::Default();
    env.application_folder = folder_.app();
    env.event_log = [](const std::string&, const std::string&) { return true; };
    env.now = [this] { return clock_.now(); };
    logger_ = std::make_unique<TSvExceptionLogger>(env);
    logger_->framework_info = [this] { return framework_report_info(*controller_, nullptr); };
    context_.controller = controller_.get();
    context_.request = request_.get();
    context_.logger = logger_.get();
  }

  std::string render(const std::exception& e) const {
    return TSvExceptionRenderer().RenderHTML(e, context_);
  }

  // A template holding every placeholder, one per line.
  void write_probe_template(const std::string& kind) const {
    base::write_file(
        base::include_trailing_slash(controller_->TemplateDir()) + "Sv" + kind + ".html",
        "id={%APPID%}\r\nrun={%RUNPARAMS%}\r\ncontent={%CONTENT%}\r\n"
        "addr={%APPADDRESS%}\nname={%APPNAME%}\nspecific={%EXCEPTIONSPECIFIC%}\n"
        "colors={%FROMCOLOR%},{%TOCOLOR%},{%HEADERTEXTCOLOR%},{%BODYBACKCOLOR%},"
        "{%BODYTEXTCOLOR%}\ntitle={%ERRORDETAILS_TITLE%}\n"
        "details={%ERRORDETAILS_CONTENT%}\n");
  }

  // A session created with the given parameters, unlocked again.
  TSvApplication* make_session(std::vector<std::string> params) {
    base::NameValueList list;
    for (std::string& p : params) {
      list.add(std::move(p));
    }
    SessionRequestInfo info;
    info.user_agent = kFirefox;
    info.client_ip = "10.1.2.3";
    info.params = &list;
    TSvApplication* s = controller_->Sessions().CreateSession(info, "", "");
    s->FSessionTimeOut = 1;
    s->Unlock();
    return s;
  }

  testing::FakeClock clock_;
  testing::TempFolder folder_;
  std::unique_ptr<TSvServerControllerBase> controller_;
  std::unique_ptr<THttpRequest> request_;
  std::unique_ptr<TSvExceptionLogger> logger_;
  ErrorPageContext context_;
};

TEST_F(ExceptionRendererTest, ChoosesThePageByExceptionClass) {
  controller_->SetSessionTimeout(10);
  struct Case {
    std::function<std::string()> render;
    const char* header;
    std::string specific;
    bool details;
  };
  const Case kCases[] = {
      {[&] { return render(ESvSecurityException("The IP you are using is different")); },
       "Security Error", "Security check failed. Please restart the application.", true},
      {[&] { return render(EExpiredSession("abc")); }, "Application time-out",
       "Your session has expired. You will have to restart the application. In order to keep "
       "sessions from expiring you may set the session timeout parameter to a higher value. "
       "The current session timeout value is 10 minutes.",
       false},
      {[&] { return render(EInvalidAppID("abc")); }, "Session is invalid", "Session ID is invalid.",
       false},
      {[&] { return render(ESvException("Invalid characters in URL.")); }, "Application Error",
       "Depending on the error condition, it might be possible to restart the application.", true},
      {[&] { return render(std::runtime_error("plain")); }, "Application Error",
       "Depending on the error condition, it might be possible to restart the application.", true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.header);
    const std::string page = c.render();
    EXPECT_TRUE(base::starts_with(page, "<!DOCTYPE html>"));
    EXPECT_NE(page.find(std::string("<h1>") + c.header + "</h1>"), std::string::npos);
    EXPECT_NE(page.find(html_escape(c.specific)), std::string::npos);
    EXPECT_NE(page.find("<title>MySvApp</title>"), std::string::npos);
    EXPECT_NE(page.find("background-color: #224B09"), std::string::npos);
    EXPECT_NE(page.find("linear-gradient(to bottom, #224B09, #A9DB80)"), std::string::npos);
    EXPECT_EQ(page.find('\r'), std::string::npos);
    EXPECT_EQ(page.find('\n'), std::string::npos);
    EXPECT_EQ(page.find("{%"), std::string::npos);
    EXPECT_EQ(page.find("Error details:") != std::string::npos, c.details);
  }
}

TEST_F(ExceptionRendererTest, FillsEveryPlaceholderOfATemplateFile) {
  write_probe_template("ERROR");
  TSvApplication* session = make_session({"x=<\"a b\">", "n=1"});
  context_.session = session;
  const std::string page = render(base::Exception("a<b"));
  const std::string want =
      "id=run=/?x=%3C%22a%20b%22%3E&n=1content=a&#60;baddr=/app/name=MySvApp"
      "specific=" +
      html_escape(
          "Depending on the error condition, it might be possible to restart the "
          "application.") +
      "colors=#224B09,#A9DB80,#FFFFFF,#F9F9F9,#000000title=Error details:details=" +
      html_escape(logger_->GetExceptionDetail(base::Exception("a<b"), false));
  EXPECT_EQ(page, want);
}

TEST_F(ExceptionRendererTest, JoinsTheRestartAddressWithOneSlash) {
  write_probe_template("ERROR");
  struct Case {
    const char* url_base;
    const char* script_name;
    const char* address;
  };
  constexpr Case kCases[] = {
      {"", "", "addr=/name="},
      {"", "/app", "addr=/app/name="},
      {"app", "", "addr=/app/name="},
      {"/app/", "", "addr=/app/name="},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.url_base) + " + " + c.script_name);
    controller_->SetURLBase(c.url_base);
    const std::unique_ptr<THttpRequest> request = make_request(c.script_name);
    context_.request = request.get();
    EXPECT_NE(render(base::Exception("x")).find(c.address), std::string::npos);
  }
}

TEST_F(ExceptionRendererTest, EscapesTheSessionIdentifierAndTellsTheTimeout) {
  write_probe_template("SESSIONINVALID");
  write_probe_template("SESSIONTIMEOUT");
  struct Case {
    int timeout;
    const char* text;
  };
  constexpr Case kCases[] = {{1, "1 minute."}, {10, "10 minutes."}, {0, "0 minutes."}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.timeout);
    controller_->SetSessionTimeout(c.timeout);
    const std::string page = render(EExpiredSession("id<1>"));
    EXPECT_NE(page.find("id=id&#60;1&#62;run="), std::string::npos);
    EXPECT_NE(page.find(html_escape(std::string("value is ") + c.text) + "colors="),
              std::string::npos);
    EXPECT_NE(page.find("title=details="), std::string::npos);
  }
  EXPECT_NE(render(EInvalidAppID("\"><script>")).find("id=&#34;&#62;&#60;script&#62;run="),
            std::string::npos);
}

TEST_F(ExceptionRendererTest, CarriesAnExpiredSessionsParametersIntoItsPage) {
  write_probe_template("SESSIONTIMEOUT");
  TSvApplication* session = make_session({"a=1"});
  const std::string id = session->AppID();
  clock_.advance_seconds(120);
  bool expired = false;
  ASSERT_EQ(controller_->Sessions().LookupAndLock(id, expired), nullptr);
  ASSERT_TRUE(expired);
  for (int i = 0; i < 2; ++i) {  // the entry stays for a restart
    SCOPED_TRACE(i);
    EXPECT_NE(render(EExpiredSession(id)).find("run=/?a=1content="), std::string::npos);
  }
}

TEST_F(ExceptionRendererTest, HidesSecurityDetailsWhenConfigured) {
  write_probe_template("SECURITYCHECK");
  struct Case {
    bool show;
    const char* content;
    const char* title;
  };
  constexpr Case kCases[] = {
      {true, "content=The&#32;IP&#32;differsaddr=", "title=Error details:details=Exception"},
      {false,
       "content=[Error details are disabled in server configuration]addr=", "title=details="},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.show);
    controller_->SecurityOptions().ShowSecurityErrorDetails = c.show;
    const std::string page = render(ESvSecurityException("The IP differs"));
    EXPECT_NE(page.find(c.content), std::string::npos) << page;
    EXPECT_NE(page.find(c.title), std::string::npos) << page;
  }
}

TEST_F(ExceptionRendererTest, ShowsApplicationSectionsOnlyForLocalDetails) {
  for (const bool local : {false, true}) {
    SCOPED_TRACE(local);
    context_.local_details = local;
    const std::string page = render(base::Exception("x"));
    EXPECT_NE(page.find(html_escape("Exception message  : x")), std::string::npos);
    EXPECT_EQ(page.find(html_escape("Application Name   : ")) != std::string::npos, local);
    EXPECT_EQ(page.find(html_escape("Corvane Version   : 14.0.39")) != std::string::npos, local);
    EXPECT_NE(page.find(html_escape("[Stack trace is empty]")), std::string::npos);
  }
}

TEST_F(ExceptionRendererTest, FallsBackToTheMessage) {
  struct Case {
    bool controller;
    bool request;
  };
  for (const Case c : {Case{false, true}, Case{true, false}}) {
    ErrorPageContext context = context_;
    context.controller = c.controller ? controller_.get() : nullptr;
    context.request = c.request ? request_.get() : nullptr;
    EXPECT_EQ(TSvExceptionRenderer().RenderHTML(base::Exception("a<b"), context), "a&#60;b");
  }
}

TEST_F(ExceptionRendererTest, UsesTheInstalledRenderer) {
  // The first controller built in a process is the process-wide one.
  ASSERT_EQ(ServerController(), controller_.get());
  class Plain : public TSvExceptionRenderer {
   public:
    std::string RenderHTML(const std::exception& e, const ErrorPageContext& c) const override {
      return std::string("plain:") + e.what() + (c.controller == ServerController() ? "+" : "-") +
             (c.local_details ? "local" : "remote");
    }
  };
  SetExceptionRendererClass(std::make_unique<Plain>());
  EXPECT_EQ(RenderErrorPage(base::Exception("x"), request_.get(), nullptr, true), "plain:x+local");
  SetExceptionRendererClass(nullptr);
  const std::string page = RenderErrorPage(base::Exception("a b"), request_.get(), nullptr, false);
  EXPECT_NE(page.find("<h1>Application Error</h1>"), std::string::npos);
  EXPECT_NE(page.find("<div class=\"message\">a&#32;b</div>"), std::string::npos);
}

TEST_F(ExceptionRendererTest, UsesTheColoursSet) {
  TSvExceptionRenderer::SetColors(0x0000FF, -1, 0x123456, kColorNone, 0x00FF00);
  write_probe_template("ERROR");
  EXPECT_NE(render(base::Exception("x")).find("colors=#FF0000,transparent,#00FF00,,#563412title="),
            std::string::npos);
  TSvExceptionRenderer::SetColors(0x094B22, 0x80DBA9, 0x000000, 0xF9F9F9, 0xFFFFFF);
}

TEST(ExceptionRendererHelpersTest, EscapesHtml) {
  struct Case {
    const char* text;
    const char* escaped;
  };
  constexpr Case kCases[] = {
      {"a<b", "a&#60;b"},
      {"Az09,-._", "Az09,-._"},
      {"a b", "a&#32;b"},
      {"x\r\ny\nz\r", "x<br>y<br>z"},
      {"\"&'", "&#34;&#38;&#39;"},
      {"\xC3\xA9", "&#233;"},
      {"\xE2\x82\xAC", "&#8364;"},
      {"\xF0\x9F\x98\x80", "&#128512;"},
      {"", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(html_escape(c.text), c.escaped);
  }
}

TEST(ExceptionRendererHelpersTest, WritesColours) {
  struct Case {
    TColor color;
    const char* text;
  };
  constexpr Case kCases[] = {
      {0x094B22, "#224B09"}, {0x80DBA9, "#A9DB80"}, {0xFFFFFF, "#FFFFFF"}, {0x000000, "#000000"},
      {-1, "transparent"},   {kColorNone, ""},      {0x0A0B0C, "#0C0B0A"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.color);
    EXPECT_EQ(color_text(c.color), c.text);
  }
}

TEST(ExceptionRendererHelpersTest, EncodesStartParameters) {
  struct Case {
    const char* text;
    const char* encoded;
  };
  constexpr Case kCases[] = {
      {"?a=1&b=2", "?a=1&b=2"},
      {"?q=a b", "?q=a%20b"},
      {"\"#%*+,/;<>[\\]^`{|}", "%22%23%25%2A%2B%2C%2F%3B%3C%3E%5B%5C%5D%5E%60%7B%7C%7D"},
      {"\xC3\xA9", "%C3%A9"},
      {"x=\t", "x=%09"},
      {"d=\x7F~", "d=%7F~"},
      {"!$'()~:@", "!$'()~:@"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(encode_start_params(c.text), c.encoded);
  }
}

}  // namespace
}  // namespace appsrv::server
