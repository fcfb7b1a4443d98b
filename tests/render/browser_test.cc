// The status page in a real browser: headless Chromium opens the server's root, follows the
// start page, StartCheck and the redirect, and runs the page's scripts. Skipped, with a
// message, only when chromium is not installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/pipeline/internal_files.h"
#include "tests/render/chromium_run.h"
#include "tests/render/hook_http_server.h"
#include "tests/render/render_fixture.h"

namespace appsrv::render {
namespace {

using testing::BrowserRun;
using testing::ChromiumInstalled;
using testing::ConsoleProblems;
using testing::RunChromium;

class BrowserTest : public testing::PageFixture {
 protected:
  void SetUp() override {
    if (!ChromiumInstalled()) {
      GTEST_SKIP() << "chromium is not installed (Debian package chromium); the browser test "
                      "needs it";
    }
    PageFixture::SetUp();
    dir_ = folder_.root() + "browser";
    std::filesystem::create_directories(dir_);
  }
  // A run of the page at the root of `http`, and the console messages of that page.
  struct PageRun {
    BrowserRun run;
    std::vector<std::string> problems;
  };
  PageRun OpenRoot(const testing::HookHttpServer& http, const std::string& mode = "--dump-dom") {
    const std::string url = "http://127.0.0.1:" + std::to_string(http.port()) + "/";
    PageRun page{RunChromium(url, mode, dir_), {}};
    page.problems = ConsoleProblems(page.run.log, url);
    return page;
  }
  std::string dir_;
};

// Only the page's own messages count; Chromium's pages log now and then, on a busy machine
// more often.
TEST(ConsoleProblemsTest, CountsOnlyMessagesOfThePageUnderTest) {
  const std::string origin = "http://127.0.0.1:4711/";
  const std::string page_error =
      "[1:1:1211/053419.017130:INFO:CONSOLE:1] \"Uncaught ReferenceError: x is not defined\", "
      "source: http://127.0.0.1:4711/$/ (1)";
  struct Case {
    std::string name;
    std::string log;
    std::vector<std::string> want;
  };
  const Case kCases[] = {
      {"the page's error", page_error, {page_error}},
      {"a chrome:// page",
       "[1:1:1211/053419.0:INFO:CONSOLE:12] \"Failed to load\", source: chrome://newtab/ (12)",
       {}},
      {"an intervention without a source",
       "[1:1:1211/053419.0:INFO:CONSOLE:0] \"[Intervention] Slow network is detected.\", "
       "source:  (0)",
       {}},
      {"a font intervention for a chrome:// resource",
       "[1:1:1211/053419.0:INFO:CONSOLE:0] \"[Intervention] Slow network is detected. Fallback "
       "font will be used while loading: http://127.0.0.1:4711/x.woff\", source: "
       "chrome://resources/ (0)",
       {}},
      {"another port on the same host",
       "[1:1:1211/053419.0:INFO:CONSOLE:1] \"e\", source: http://127.0.0.1:47110/ (1)",
       {}},
      {"a message over two lines",
       "[1:1:1211/053419.0:INFO:CONSOLE:1] \"a\nb\", source: http://127.0.0.1:4711/ (1)\n"
       "[1:1:1211/053419.0:INFO:CONSOLE:1] \"c\nsource: http://127.0.0.1:4711/\", source: "
       "chrome://x/ (1)",
       {"[1:1:1211/053419.0:INFO:CONSOLE:1] \"a\nb\", source: http://127.0.0.1:4711/ (1)"}},
      {"other log lines", "[1:1:1211/053419.0:WARNING:x.cc(1)] http://127.0.0.1:4711/", {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ConsoleProblems(c.log, origin), c.want);
  }
}

TEST_F(BrowserTest, RootEndsOnTheStatusPageWithoutScriptErrors) {
  testing::HookHttpServer http;
  const PageRun page = OpenRoot(http);
  const BrowserRun& run = page.run;
  ASSERT_EQ(run.status, 0) << run.log;
  const std::string& dom = run.output;

  // The browser went the whole way: start page, StartCheck, its post, the redirect, the page.
  const std::vector<std::string> served = http.log();
  std::string trail;
  for (const std::string& s : served) {
    trail += s + "\n";
  }
  std::vector<std::string> expected_order = {"GET / -> 200", "GET /$/StartCheck?", "POST / -> 200",
                                             "GET /$/ -> 200"};
  size_t at = 0;
  for (const std::string& request : served) {
    if (at < expected_order.size() && request.rfind(expected_order[at], 0) == 0) {
      ++at;
    }
  }
  EXPECT_EQ(at, expected_order.size()) << trail;
  for (const std::string& request : served) {
    EXPECT_EQ(request.find("-> 404"), std::string::npos) << trail;
    EXPECT_EQ(request.find("-> 500"), std::string::npos) << trail;
  }

  EXPECT_NE(dom.find("<span class=\"SVLABEL1CSS\" id=\"SVLABEL1\">AppService Server Is "
                     "Running...</span>"),
            std::string::npos)
      << dom;
  // The locker was made while loading and released by the start-up procedure.
  EXPECT_NE(dom.find("<div id=\"SVLocker\" aria-busy=\"true\" class=\"\"><img "
                     "src=\"/$/gfx/loading.gif\""),
            std::string::npos)
      << dom;
  EXPECT_EQ(dom.find("class=\"SVLocked\""), std::string::npos) << dom;
  EXPECT_EQ(page.problems, std::vector<std::string>{}) << run.log;

  // The picture, kept in the build folder for people to look at.
  const std::string shot = std::string(APPSRV_BUILD_DIR) + "/status_page.png";
  std::filesystem::remove(shot);
  const PageRun pictured = OpenRoot(http, "--screenshot=" + shot);
  EXPECT_EQ(pictured.run.status, 0) << pictured.run.log;
  EXPECT_TRUE(std::filesystem::exists(shot)) << pictured.run.log;
  EXPECT_EQ(pictured.problems, std::vector<std::string>{}) << pictured.run.log;
}

TEST_F(BrowserTest, ScriptErrorsAreSeen) {
  FormEvents().OnGetMainForm = [](server::TSvApplication& session, TSvForm*& form) {
    auto made = MainFormClass()(session);
    made->JavaScript = {"SVNoSuchFunction();"};
    form = &FormsOf(session).Adopt(std::move(made));
  };
  testing::HookHttpServer http;
  const PageRun page = OpenRoot(http);
  ASSERT_EQ(page.run.status, 0) << page.run.log;
  ASSERT_EQ(page.problems.size(), 1u) << page.run.log;
  EXPECT_NE(page.problems[0].find("SVNoSuchFunction is not defined"), std::string::npos);
}

TEST_F(BrowserTest, BackButtonInterceptLoadsWithoutErrors) {
  controller_->BackButtonOptions.Mode = server::BackButtonPolicy::bmInterceptGlobal;
  testing::HookHttpServer http;
  const PageRun page = OpenRoot(http);
  ASSERT_EQ(page.run.status, 0) << page.run.log;
  EXPECT_NE(page.run.output.find("AppService Server Is Running..."), std::string::npos)
      << page.run.output;
  EXPECT_EQ(page.problems, std::vector<std::string>{}) << page.run.log;
}

// Asking for readable scripts gives the same working page: the locker is made and released and
// no script fails.
TEST_F(BrowserTest, WithReadableScriptsTheStatusPageWorks) {
  server::TSvServerInternalFiles& files = server::TSvServerInternalFiles::Instance();
  controller_->JavaScriptOptions.UseUncompressedFiles = true;
  files.SetUseUncompressedFiles(true);
  testing::HookHttpServer http;
  const PageRun page = OpenRoot(http);
  files.SetUseUncompressedFiles(false);
  ASSERT_EQ(page.run.status, 0) << page.run.log;
  for (const std::string& request : http.log()) {
    EXPECT_EQ(request.find("-> 404"), std::string::npos) << request;
  }
  EXPECT_NE(page.run.output.find("AppService Server Is Running..."), std::string::npos)
      << page.run.output;
  EXPECT_NE(page.run.output.find("<div id=\"SVLocker\" aria-busy=\"true\" class=\"\">"),
            std::string::npos)
      << page.run.output;
  EXPECT_EQ(page.problems, std::vector<std::string>{}) << page.run.log;
}

TEST_F(BrowserTest, LockerLabelAndKeepAliveAtWork) {
  // The page notes what it sees: the locker while the document loads, and the label and the
  // locker once the start-up procedure has run. A short interval stands in for the quarter
  // of the session timeout.
  FormEvents().OnGetMainForm = [](server::TSvApplication& session, TSvForm*& form) {
    auto made = MainFormClass()(session);
    made->JavaScript = {
        "function SVNote(n, v) { document.documentElement.setAttribute('data-' + n, v); }",
        "function SVLockerShown() {",
        "  return getComputedStyle(document.getElementById('SVLocker')).display; }",
        "document.addEventListener('DOMContentLoaded', function() {",
        "  SVNote('loading', SVLockerShown()); });",
        "window.addEventListener('load', function() { setTimeout(function() {",
        "  var r = document.getElementById('SVLABEL1').getBoundingClientRect();",
        "  SVNote('label', r.left + ',' + r.top + ',' + r.height);",
        "  SVNote('loaded', SVLockerShown()); }, 0); });",
        "SV.Session.initKeepAlive(200);"};
    form = &FormsOf(session).Adopt(std::move(made));
  };
  testing::HookHttpServer http;
  const PageRun page = OpenRoot(http);
  const BrowserRun& run = page.run;
  ASSERT_EQ(run.status, 0) << run.log;
  EXPECT_NE(run.output.find("data-loading=\"block\""), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("data-loaded=\"none\""), std::string::npos) << run.output;
  // Where the style rule puts it, one line of 24-pixel text high.
  EXPECT_NE(run.output.find("data-label=\"104,56,"), std::string::npos) << run.output;
  int pings = 0;
  for (const std::string& request : http.log()) {
    if (request.rfind("GET /$/KeepAlive?", 0) == 0 && request.find("-> 200") != std::string::npos) {
      ++pings;
    }
  }
  EXPECT_GE(pings, 2);
  EXPECT_EQ(page.problems, std::vector<std::string>{}) << run.log;
}

}  // namespace
}  // namespace appsrv::render
