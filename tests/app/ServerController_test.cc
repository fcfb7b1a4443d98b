#include "app/ServerController.h"

#include <gtest/gtest.h>

#include <typeinfo>

#include "app/AppWebAgent.h"
#include "app_test_support.h"
#include "base/files.h"
#include "db/temp_file_budget.h"
#include "server/session/browser.h"

namespace appsrv::app {
namespace {

using testing::AppFixture;

class ServerControllerTest : public AppFixture {};

TEST_F(ServerControllerTest, StartUpBuildsTheApplicationController) {
  ASSERT_NE(dynamic_cast<TSvServerController*>(controller_), nullptr);
  EXPECT_EQ(ServerControllerInstance(), controller_);
  const server::TSvServerControllerBase& c = *controller_;
  EXPECT_EQ(c.AppName(), "MyApp");
  EXPECT_EQ(c.Port(), 8888);
  EXPECT_EQ(c.SessionTimeout(), 10);
  EXPECT_TRUE(c.Compression().Enabled());
  EXPECT_EQ(c.Compression().Level, 6);
  EXPECT_EQ(c.Description(), "My Corvane Application");
  EXPECT_EQ(c.DisplayName(), "Corvane Application");
  EXPECT_EQ(c.ComInitialization(), server::TComInitialization::ciMultiThreaded);
  EXPECT_EQ(c.SSLOptions().SSLVersion, server::SslVersion::SSLv3);
  EXPECT_EQ(c.SSLOptions().NonSSLRequest, server::NonSslRequest::nsAccept);
  EXPECT_EQ(c.SSLOptions().Port, 0);
  EXPECT_FALSE(c.AllowMultipleSessionsPerUser());
  EXPECT_FALSE(c.AuthBeforeNewSession());
  EXPECT_EQ(c.ExceptionDisplayMode(), server::TSvShowMessageType::smAlert);
  EXPECT_EQ(c.Log(), server::TLogOptions::loNone);
  EXPECT_TRUE(c.Render.ShowLoadingAnimation);
  EXPECT_EQ(c.ContentPath(), folder_.app() + "wwwroot/");
}

// SQLite's heap limit is the process's: start-up sets it from the settings, port.ini included.
TEST_F(ServerControllerTest, StartUpSetsSqlitesHeapLimit) {
  EXPECT_EQ(db::sqlite_heap_limit(), server::TSvQueryLimits{}.MaxSqliteHeapBytes);
  base::write_file(folder_.app() + "port.ini", "[LIMITS]\nMaxSqliteHeapBytes=123456789\n");
  controller_ = &server::InitServerController(folder_.environment());
  EXPECT_EQ(controller_->QueryLimits.MaxSqliteHeapBytes, 123456789);
  EXPECT_EQ(db::sqlite_heap_limit(), 123456789);
  db::apply_sqlite_heap_limit(server::TSvQueryLimits{}.MaxSqliteHeapBytes);
}

TEST_F(ServerControllerTest, EveryClientGetsASession) {
  // A current Firefox and a search robot become Internet Explorer below its own minimum.
  const char* const agents[] = {
      "Mozilla/5.0 (Windows NT 10.0; rv:109.0) Gecko/20100101 Firefox/115.0",
      "test-agent/1.0",
  };
  for (const char* agent : agents) {
    SCOPED_TRACE(agent);
    info_.user_agent = agent;
    server::SessionAttachRequest attach;
    attach.handler_can_start = true;
    attach.request = &info_;
    server::TSvApplication* s = controller_->Sessions().Attach(attach).session;
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->mBrowser->mBrowserName, "Microsoft Internet Explorer");
    EXPECT_NE(s->FData, nullptr);
    controller_->Sessions().Release(*s);
  }
  server::SetCurrentSession(nullptr);
}

TEST_F(ServerControllerTest, NewSessionGetsItsDataModuleOverTheApplicationDatabase) {
  server::TSvApplication& s = session();
  auto* module = dynamic_cast<TSvUserSession*>(s.FData.get());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->WebApplication(), &s);
  EXPECT_EQ(module->dbServer.ConnectionString(),
            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + folder_.app() + "TEST.mdb;");
  // The thread serving the session finds the module.
  EXPECT_EQ(CurrentUserSession(), module);
  server::SetCurrentSession(nullptr);
  EXPECT_EQ(CurrentUserSession(), nullptr);
  server::SetCurrentSession(&s);
}

TEST_F(ServerControllerTest, UnrecognisedAgentGetsInternetExplorer8) {
  server::TSvApplication& s = session("curl/8.0");
  ASSERT_EQ(server::TBrowser::CreateBrowser("curl/8.0")->mBrowserName, "Unknown browser");
  ASSERT_NE(s.mBrowser, nullptr);
  EXPECT_EQ(typeid(*s.mBrowser), typeid(server::TInternetExplorer));
  EXPECT_EQ(s.mBrowser->mVersion, 8.0F);
  EXPECT_EQ(s.mBrowser->mMajorVersion, 8);
  EXPECT_EQ(s.mBrowser->mUserAgent, "curl/8.0");
}

TEST(ApplicationBrowserTest, ReplacementRules) {
  struct Case {
    const char* user_agent;
    const char* classified;  // the framework's class, checked so that each row means what it says
    const char* replaced;
    float version;
  };
  const Case cases[] = {
      {"curl/8.0", "Unknown browser", "Microsoft Internet Explorer", 8.0F},
      {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
       "Chrome/120.0.0.0 Safari/537.36",
       "Chrome", "Microsoft Internet Explorer", 12.0F},
      {"Mozilla/5.0 (Windows NT 6.1) AppleWebKit/534.16 (KHTML, like Gecko) Chrome/10.0.648.204 "
       "Safari/534.16",
       "Chrome", "Chrome", 12.0F},
      {"Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.9.0.1) Gecko/2008070208 "
       "Firefox/3.0.1",
       "Firefox", "Firefox", 3.6F},
      {"Mozilla/5.0 (Windows NT 10.0; rv:109.0) Gecko/20100101 Firefox/115.0", "Firefox",
       "Microsoft Internet Explorer", 3.6F},
      {"Mozilla/5.0 (Macintosh; U; Intel Mac OS X 10_5_8; en-us) AppleWebKit/531.9 (KHTML, like "
       "Gecko) Version/4.0.3 Safari/531.9",
       "Safari", "Safari", 5.0F},
      {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
       "Version/17.0 Safari/605.1.15",
       "Safari", "Microsoft Internet Explorer", 5.0F},
      {"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)", "Microsoft Internet Explorer",
       "Microsoft Internet Explorer", 7.0F},
      {"Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)", "Search Engine",
       "Microsoft Internet Explorer", 0.0F},
      {"Mozilla/5.0 (Linux; U; Android 4.0.3; de-de; Galaxy S II Build/GRK39F) AppleWebKit/534.30 "
       "(KHTML, like Gecko) Version/4.0 Mobile Safari/534.30",
       "Android Webkit Browser", "Microsoft Internet Explorer", 4.0F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user_agent);
    const std::unique_ptr<server::TBrowser> browser = server::TBrowser::CreateBrowser(c.user_agent);
    ASSERT_EQ(browser->mBrowserName, c.classified);
    const std::unique_ptr<server::TBrowser> replacement = application_browser(*browser);
    EXPECT_EQ(replacement->mBrowserName, c.replaced);
    EXPECT_EQ(replacement->mVersion, c.version);
    EXPECT_EQ(replacement->mMajorVersion, static_cast<int32_t>(c.version));
    EXPECT_TRUE(replacement->IsSupported());
    EXPECT_FALSE(replacement->mIsMobile);
  }
}

}  // namespace
}  // namespace appsrv::app
