#include "server/session/server_controller.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "server/exchange/sv_exception.h"
#include "server/exchange/temp_files.h"
#include "server/pipeline/app_cache.h"
#include "server/pipeline/compressor.h"
#include "server/pipeline/content_base.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/handlers.h"
#include "server/pipeline/internal_files.h"
#include "server/session/configuration_lock.h"
#include "server/session/exception_logger.h"
#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::failure_message;
using testing::FakeClock;
using testing::TempFolder;

// The application's design-time values.
class AppController : public TSvServerControllerBase {
 public:
  using TSvServerControllerBase::TSvServerControllerBase;

 protected:
  void LoadDesignValues() override {
    SetAppName("MyApp");
    SetComInitialization(TComInitialization::ciMultiThreaded);
    Compression().SetEnabled(true);
    Compression().Level = 6;
    SetDescription("My Corvane Application");
    SetDisplayName("Corvane Application");
    SetPort(8888);
    SetSessionTimeout(10);
    SSLOptions().SSLVersion = SslVersion::SSLv3;
    SSLOptions().Port = 0;
    Render.ShowLoadingAnimation = true;
  }
};

class ControllerTest : public ::testing::Test {
 protected:
  template <class T = TSvServerControllerBase>
  std::unique_ptr<T> make() {
    return TSvServerControllerBase::Create<T>(folder_.environment(clock_));
  }

  // 2000-01-01 12:34:56.789
  FakeClock clock_{base::encode_date_time({2000, 1, 1, 12, 34, 56, 789, 0})};
  TempFolder folder_;
};

TEST_F(ControllerTest, DefaultsWithoutDesignValues) {
  const auto c = make();
  EXPECT_EQ(c->AppName(), "MySvApp");
  EXPECT_EQ(c->Description(), "Corvane Application");
  EXPECT_EQ(c->DisplayName(), "Corvane Application");
  EXPECT_EQ(c->Port(), 0);
  EXPECT_EQ(c->BoundIP(), "");
  EXPECT_EQ(c->URLBase(), "");
  EXPECT_EQ(c->ContentPath(), folder_.app() + "wwwroot/");
  EXPECT_EQ(c->CacheDir(), folder_.tmp() + c->FProcessID() + "/");
  EXPECT_EQ(c->TemplateDir(), folder_.app() + "Templates/");
  EXPECT_EQ(c->SessionTimeout(), 10);
  EXPECT_FALSE(c->AllowMultipleSessionsPerUser());
  EXPECT_FALSE(c->RestartExpiredSession());
  EXPECT_FALSE(c->AuthBeforeNewSession());
  EXPECT_EQ(c->Auther(), nullptr);
  EXPECT_EQ(c->ComInitialization(), TComInitialization::ciNone);
  EXPECT_FALSE(c->HttpKeepAlive());
  EXPECT_TRUE(c->ShowStartParams());
  EXPECT_FALSE(c->LogSessionEvents());
  EXPECT_EQ(c->Log(), TLogOptions::loNone);
  EXPECT_EQ(c->ExceptionDisplayMode(), TSvShowMessageType::smAlert);
  EXPECT_EQ(TSvServerControllerBase::Version(), "14.0.39");

  EXPECT_TRUE(c->Compression().Enabled());
  EXPECT_EQ(c->Compression().Level, 1);
  EXPECT_TRUE(c->Compression().AllowGZip());
  EXPECT_TRUE(c->Compression().AllowDeflate());
  EXPECT_EQ(c->Compression().MinSize, 1024);
  EXPECT_TRUE(c->Compression().PreCompress);
  EXPECT_TRUE(c->CookieOptions().SessionCookies);
  EXPECT_EQ(c->CookieOptions().CookieNameSuffix(), "");
  EXPECT_TRUE(c->CookieOptions().UseCookies());
  EXPECT_FALSE(c->CookieOptions().Secure);
  EXPECT_TRUE(c->CookieOptions().SecureOverTLS);
  EXPECT_TRUE(c->CookieOptions().HttpOnly);
  EXPECT_TRUE(c->CookieOptions().SameSiteLax);
  EXPECT_EQ(c->Limits.HeaderTimeoutMs, 20000);
  EXPECT_EQ(c->Limits.HeaderMaxTimeoutMs, 40000);
  EXPECT_EQ(c->Limits.HeaderMinRateBytesPerSec, 500);
  EXPECT_EQ(c->Limits.BodyIdleTimeoutMs, 60000);
  EXPECT_EQ(c->Limits.BodyRateGraceMs, 20000);
  EXPECT_EQ(c->Limits.BodyMinRateBytesPerSec, 500);
  EXPECT_EQ(c->Limits.SendStallTimeoutMs, 60000);
  EXPECT_EQ(c->Limits.SendTimeoutMs, 60000);
  EXPECT_EQ(c->Limits.SendMinRateBytesPerSec, 1000);
  EXPECT_EQ(c->Limits.KeepAliveIdleTimeoutMs, 15000);
  EXPECT_EQ(c->Limits.MaxConnections, 2000);
  EXPECT_EQ(c->Limits.MaxConnectionsPerClient, 256);
  EXPECT_EQ(c->Limits.ListenQueue, 1024);
  EXPECT_EQ(c->Limits.CloseLingerMs, 2000);
  EXPECT_EQ(c->Limits.MaxBodyBytes, int64_t{1} << 30);
  EXPECT_EQ(c->Limits.MaxFormBytes, int64_t{8} << 20);
  EXPECT_EQ(c->Limits.MaxPartHeaderBytes, 32 * 1024);
  EXPECT_EQ(c->Limits.MaxPartHeaderLines, 100);
  EXPECT_EQ(c->Limits.MaxSessions, 100000);
  EXPECT_EQ(c->Limits.DatabaseIdleTimeoutMs, 60000);
  EXPECT_EQ(c->Limits.DatabaseMappedSessions, 16);
  EXPECT_EQ(c->Limits.DatabaseMappingIdleMs, 5000);
  EXPECT_TRUE(c->Limits.RefuseFoldedHeaders);
  EXPECT_TRUE(c->SecurityOptions().CheckSameIP);
  EXPECT_FALSE(c->SecurityOptions().CheckSameUA);
  EXPECT_FALSE(c->SecurityOptions().CheckFormId);
  EXPECT_TRUE(c->SecurityOptions().ShowSecurityErrorDetails);
  EXPECT_EQ(c->SecurityOptions().TrustedProxies, (std::vector<std::string>{"127.0.0.1", "::1"}));
  EXPECT_TRUE(c->SecurityOptions().StopRedirectHosts.empty());
  EXPECT_EQ(c->SSLOptions().Port, 0);
  EXPECT_EQ(c->SSLOptions().NonSSLRequest, NonSslRequest::nsAccept);
  EXPECT_EQ(c->SSLOptions().SSLVersion, SslVersion::TLSv12);
  EXPECT_TRUE(c->SSLOptions().SSLVersions.empty());
  EXPECT_FALSE(c->SearchEngineOptions().RedirectToContentHandler);
  EXPECT_EQ(c->SearchEngineOptions().ContentHandlerPath, "");
  EXPECT_FALSE(c->JavaScriptOptions.UseUncompressedFiles);
  EXPECT_EQ(c->JavaScriptOptions.AjaxErrorMode, ScriptErrorMode::emAlert);
  EXPECT_TRUE(c->JavaScriptOptions.RenderjQuery);
  EXPECT_EQ(c->BackButtonOptions.Mode, BackButtonPolicy::bmDisableCompat);
  EXPECT_TRUE(c->Render.ShowLoadingAnimation);
  EXPECT_FALSE(c->Render.DebugHTML);
  EXPECT_EQ(c->QueryLimits.ReadTimeoutMs, 30000);
  EXPECT_EQ(c->QueryLimits.MaxValueBytes, 16 << 20);
  EXPECT_EQ(c->QueryLimits.MaxPageBytes, 32 << 20);
  EXPECT_TRUE(c->Locked());
  EXPECT_EQ(c->ServerVariables(),
            (std::vector<std::string>{"APP_POOL_ID", "SERVER_ADDR", "SERVER_NAME", "SERVER_PORT",
                                      "SERVER_SOFTWARE"}));
}

TEST_F(ControllerTest, ComputedValues) {
  const auto c = make();
  // 3155891696789 ms since 1899-12-30 in lower-case base 36, padded to 10.
  EXPECT_EQ(c->FProcessID(), "0149soflw5");
  EXPECT_EQ(c->FStartDateTime(), base::encode_date_time({2000, 1, 1, 12, 34, 56, 0, 0}));
  // (730120 days) * 86400 + 45296 seconds, in upper-case hexadecimal.
  EXPECT_EQ(c->mStartUID(), "EB0013CF0");
}

TEST_F(ControllerTest, CacheDirIsPrivateAndRemovedWithTheController) {
  std::string dir;
  {
    const auto c = make();
    dir = c->CacheDir();
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  EXPECT_FALSE(base::directory_exists(dir));
}

TEST_F(ControllerTest, DesignValuesApply) {
  const auto c = make<AppController>();
  EXPECT_EQ(c->AppName(), "MyApp");
  EXPECT_EQ(c->Port(), 8888);
  EXPECT_EQ(c->Compression().Level, 6);
  EXPECT_EQ(c->Description(), "My Corvane Application");
  EXPECT_EQ(c->DisplayName(), "Corvane Application");
  EXPECT_EQ(c->ComInitialization(), TComInitialization::ciMultiThreaded);
  EXPECT_EQ(c->SSLOptions().SSLVersion, SslVersion::SSLv3);
}

TEST_F(ControllerTest, PortIniOverridesThePorts) {
  struct Case {
    const char* ini;  // nullptr: no file
    int32_t port;
    int32_t ssl_port;
  };
  // clang-format off
  const Case kCases[] = {
    {nullptr,                                    8888, 0},
    {"[PORTS]\nSSLPort=8443\n",                  0,    8443},
    {"[PORTS]\r\nPort=9000\r\nSSLPort=9443\r\n", 9000, 9443},
    {"[ports]\nport = 1234\n",                   1234, 0},
    {"[OTHER]\nPort=1\n",                        0,    0},
    {"[OTHER]\nPort=7\n[PORTS]\nPort=0\n",       0,    0},
  };
  // clang-format on
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.ini != nullptr ? k.ini : "(no file)");
    const std::string ini = folder_.app() + "port.ini";
    base::delete_file(ini);
    if (k.ini != nullptr) {
      base::write_file(ini, k.ini);
    }
    const auto c = make<AppController>();
    EXPECT_EQ(c->Port(), k.port);
    EXPECT_EQ(c->SSLOptions().Port, k.ssl_port);
  }
}

TEST_F(ControllerTest, PortIniSetsTheLimits) {
  base::write_file(folder_.app() + "port.ini",
                   "[PORTS]\nPort=0\n[LIMITS]\nHeaderTimeoutMs=500\nMaxBodyBytes=5000000000\n"
                   "RefuseFoldedHeaders=0\nMaxConnections = 7\n"
                   "DatabaseIdleTimeoutMs=1000\nDatabaseMappedSessions=3\n"
                   "DatabaseMappingIdleMs=250\nListenQueue=64\nCloseLingerMs=0\n"
                   "MaxConnectionsPerClient=0\n"
                   "HeaderMaxTimeoutMs=900\nHeaderMinRateBytesPerSec=0\nBodyRateGraceMs=700\n"
                   "BodyMinRateBytesPerSec=100\nSendTimeoutMs=800\nSendMinRateBytesPerSec=0\n");
  const auto c = make<AppController>();
  EXPECT_EQ(c->Limits.HeaderTimeoutMs, 500);
  EXPECT_EQ(c->Limits.MaxBodyBytes, int64_t{5000000000});
  EXPECT_EQ(c->Limits.MaxConnections, 7);
  EXPECT_EQ(c->Limits.MaxConnectionsPerClient, 0);
  EXPECT_FALSE(c->Limits.RefuseFoldedHeaders);
  EXPECT_EQ(c->Limits.MaxSessions, 100000);  // not in the file: the default stays
  EXPECT_EQ(c->Limits.BodyIdleTimeoutMs, 60000);
  EXPECT_EQ(c->Limits.DatabaseIdleTimeoutMs, 1000);
  EXPECT_EQ(c->Limits.DatabaseMappedSessions, 3);
  EXPECT_EQ(c->Limits.DatabaseMappingIdleMs, 250);
  EXPECT_EQ(c->Limits.ListenQueue, 64);
  EXPECT_EQ(c->Limits.CloseLingerMs, 0);
  EXPECT_EQ(c->Limits.HeaderMaxTimeoutMs, 900);
  EXPECT_EQ(c->Limits.HeaderMinRateBytesPerSec, 0);
  EXPECT_EQ(c->Limits.BodyRateGraceMs, 700);
  EXPECT_EQ(c->Limits.BodyMinRateBytesPerSec, 100);
  EXPECT_EQ(c->Limits.SendTimeoutMs, 800);
  EXPECT_EQ(c->Limits.SendMinRateBytesPerSec, 0);
}

TEST_F(ControllerTest, PortIniSetsTheQueryLimits) {
  const TSvQueryLimits defaults;
  EXPECT_EQ(defaults.MaxTempBytes, int64_t{256} << 20);
  EXPECT_EQ(defaults.MaxSqliteHeapBytes, int64_t{512} << 20);
  base::write_file(folder_.app() + "port.ini",
                   "[LIMITS]\nReadTimeoutMs=1500\nMaxValueBytes=1000\n"
                   "MaxTempBytes=0\nMaxSqliteHeapBytes=8589934592\n");
  const auto c = make<AppController>();
  EXPECT_EQ(c->QueryLimits.ReadTimeoutMs, 1500);
  EXPECT_EQ(c->QueryLimits.MaxValueBytes, 1000);
  EXPECT_EQ(c->QueryLimits.MaxPageBytes, defaults.MaxPageBytes);  // not in the file
  EXPECT_EQ(c->QueryLimits.MaxTempBytes, 0);
  EXPECT_EQ(c->QueryLimits.MaxSqliteHeapBytes, int64_t{8} << 30);
}

// A value that is not what its setting takes stops the start, naming where it is; wrapping
// Port=99999 into a 16-bit port would serve on a port nobody asked for.
TEST_F(ControllerTest, PortIniRefusesValuesItsSettingsCannotTake) {
  struct Case {
    const char* ini;
    const char* error;
  };
  // clang-format off
  const Case kCases[] = {
    {"[PORTS]\nPort=abc\n",               "[PORTS] Port=abc is not a whole number from 0 to 65535."},
    {"[PORTS]\nPort=99999\n",             "[PORTS] Port=99999 is not a whole number from 0 to 65535."},
    {"[ports]\nSSLPort=-1\n",             "[PORTS] SSLPort=-1 is not a whole number from 0 to 65535."},
    {"[PORTS]\nPort=\n",                  "[PORTS] Port= is not a whole number from 0 to 65535."},
    {"[LIMITS]\nMaxSessions=12abc\n",     "[LIMITS] MaxSessions=12abc is not a whole number from -2147483648 to 2147483647."},
    {"[LIMITS]\nMaxConnections=3000000000\n", "[LIMITS] MaxConnections=3000000000 is not a whole number from -2147483648 to 2147483647."},
    {"[LIMITS]\nMaxPageBytes=+5\n",       "[LIMITS] MaxPageBytes=+5 is not a whole number from -9223372036854775808 to 9223372036854775807."},
    {"[LIMITS]\nRefuseFoldedHeaders=2\n", "[LIMITS] RefuseFoldedHeaders=2 is not 1 (on) or 0 (off)."},
    {"[ACCESSLOG]\nMaxQueuedBytes=1e6\n", "[ACCESSLOG] MaxQueuedBytes=1e6 is not a whole number from -9223372036854775808 to 9223372036854775807."},
    {"[HTTP]\nKeepAlive=yes\n",           "[HTTP] KeepAlive=yes is not 1 (on) or 0 (off)."},
  };
  // clang-format on
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.ini);
    base::write_file(folder_.app() + "port.ini", k.ini);
    EXPECT_EQ(failure_message([&] { make<AppController>(); }), "port.ini: " + std::string(k.error));
  }
}

// A mistyped key would otherwise leave its setting at the default without a word.
TEST_F(ControllerTest, PortIniWarnsOfKeysThatNameNoSetting) {
  base::write_file(folder_.app() + "port.ini",
                   "[PORTS]\nPort=0\nprt=1\n[LIMITS]\nmaxsessions=5\nMaxSesions=5\n"
                   "[Mine]\nAnything=1\n[HTTP]\nKeepAlive=1\n");
  const auto c = make<AppController>();
  EXPECT_EQ(c->Limits.MaxSessions, 5);
  EXPECT_EQ(c->SettingsWarnings(),
            (std::vector<std::string>{
                "port.ini: [PORTS] has no setting prt; the line is ignored.",
                "port.ini: [LIMITS] has no setting MaxSesions; the line is ignored."}));
}

TEST_F(ControllerTest, PortIniSwitchesKeepAlive) {
  struct Case {
    const char* ini;
    bool keep_alive;
  };
  const Case kCases[] = {
      {"[PORTS]\nPort=0\n", false}, {"[HTTP]\nKeepAlive=1\n", true}, {"[HTTP]\nKeepAlive=0\n", false}};
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.ini);
    base::write_file(folder_.app() + "port.ini", k.ini);
    EXPECT_EQ(make<AppController>()->HttpKeepAlive(), k.keep_alive);
  }
}

TEST_F(ControllerTest, PortIniChoosesTheAccessLog) {
  struct Case {
    const char* ini;
    AccessLogOutput output;
    std::string path;  // relative to the application folder; "" when not a file
  };
  const std::string default_name = [&] {
    const auto c = make<AppController>();
    return c->AccessLogPath().substr(folder_.app().size());
  }();
  // clang-format off
  const Case kCases[] = {
    {"[PORTS]\nPort=0\n",                                 AccessLogOutput::kFile,   default_name},
    {"[ACCESSLOG]\nOutput=off\n",                         AccessLogOutput::kOff,    ""},
    {"[ACCESSLOG]\nOutput=STDOUT\n",                      AccessLogOutput::kStdout, ""},
    {"[ACCESSLOG]\nOutput=file\nFile=logs/access.log\n", AccessLogOutput::kFile,   "logs/access.log"},
    {"[ACCESSLOG]\nOutput=nonsense\n",                    AccessLogOutput::kFile,   default_name},
  };
  // clang-format on
  EXPECT_TRUE(default_name.ends_with("-access.log")) << default_name;
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.ini);
    base::write_file(folder_.app() + "port.ini", k.ini);
    const auto c = make<AppController>();
    EXPECT_EQ(c->AccessLog.Output, k.output);
    EXPECT_EQ(c->AccessLogPath(), k.path.empty() ? "" : folder_.app() + k.path);
  }
  base::write_file(folder_.app() + "port.ini", "[ACCESSLOG]\nFile=/var/log/x.log\n");
  EXPECT_EQ(make<AppController>()->AccessLogPath(), "/var/log/x.log");
}

TEST_F(ControllerTest, PortIniSetsTheSecurityLists) {
  struct Case {
    const char* ini;
    std::vector<std::string> trusted;
    std::vector<std::string> stop_hosts;
  };
  const Case kCases[] = {
      {"[PORTS]\nPort=0\n", {"127.0.0.1", "::1"}, {}},
      {"[SECURITY]\nTrustedProxies=10.0.0.5, 10.0.0.6 ,,::1\n",
       {"10.0.0.5", "10.0.0.6", "::1"},
       {}},
      {"[SECURITY]\nTrustedProxies=\n", {}, {}},
      {"[SECURITY]\nStopRedirectHosts= www.example.org,shop.example.org:8443\n",
       {"127.0.0.1", "::1"},
       {"www.example.org", "shop.example.org:8443"}},
  };
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.ini);
    base::write_file(folder_.app() + "port.ini", k.ini);
    const auto c = make<AppController>();
    EXPECT_EQ(c->SecurityOptions().TrustedProxies, k.trusted);
    EXPECT_EQ(c->SecurityOptions().StopRedirectHosts, k.stop_hosts);
  }
}

TEST_F(ControllerTest, LockedSettingsRefuseWrites) {
  const auto c = make();
  struct Case {
    const char* name;
    std::function<void()> write;
  };
  const Case kCases[] = {
      {"AppName", [&] { c->SetAppName("Other"); }},
      {"BoundIP", [&] { c->SetBoundIP("127.0.0.1"); }},
      {"CacheDir", [&] { c->SetCacheDir("elsewhere"); }},
      {"ContentPath", [&] { c->SetContentPath("/srv/www/"); }},
  };
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(failure_message(k.write),
              std::string(k.name) +
                  " is locked. Suggestion: Set in ServerController OnConfig event instead.");
  }
  EXPECT_EQ(failure_message([] { TSvServerControllerBase::CheckLockGlobal("Handlers"); }),
            "Handlers is locked. Suggestion: Set in ServerController OnConfig event instead.");
  EXPECT_EQ(c->AppName(), "MySvApp");
}

TEST_F(ControllerTest, LockRaisesTheProcessFlagsUntilDestroyed) {
  EXPECT_FALSE(configuration_locked());
  std::string cache;
  {
    const auto c = make();
    EXPECT_TRUE(configuration_locked());
    EXPECT_EQ(temp_folder(), c->CacheDir());
    cache = c->CacheDir();
  }
  EXPECT_FALSE(configuration_locked());
  EXPECT_EQ(temp_folder(), "");
}

class NullHandler : public TContentBase {
 public:
  bool Execute(THttpRequest&, THttpReply&, const std::string&, TSvApplication*,
               base::NameValueList&) override {
    return true;
  }
};

TEST_F(ControllerTest, HandlersRegisterOnlyBeforeTheLock) {
  struct Registering : TSvServerControllerBase {
    using TSvServerControllerBase::TSvServerControllerBase;
    void LoadDesignValues() override {
      THandlers::Add("/during/", "", std::make_unique<NullHandler>());
    }
  };
  {
    const auto c = make<Registering>();
    EXPECT_NE(THandlers::FindMatch("/during/"), nullptr);
    EXPECT_EQ(
        failure_message([] { THandlers::Add("/after/", "", std::make_unique<NullHandler>()); }),
        "Handlers.Add is locked. Suggestion: Set in ServerController OnConfig event instead.");
  }
  THandlers::Add("/after/", "", std::make_unique<NullHandler>());
  EXPECT_NE(THandlers::FindMatch("/after/"), nullptr);
  THandlers::Clear();
}

TEST_F(ControllerTest, OnConfigMayWriteLockedSettings) {
  ControllerEnvironment env = folder_.environment(clock_);
  struct Configured : TSvServerControllerBase {
    explicit Configured(ControllerEnvironment e) : TSvServerControllerBase(std::move(e)) {
      OnConfig = [](TSvServerControllerBase& c) {
        c.SetCacheDir("cache");
        c.SetAppName("Configured");
      };
    }
  };
  const auto c = TSvServerControllerBase::Create<Configured>(env);
  EXPECT_EQ(c->AppName(), "Configured");
  // Relative to the temporary folder, with the process identifier appended directly.
  EXPECT_EQ(c->CacheDir(), folder_.tmp() + "cache" + c->FProcessID() + "/");
  EXPECT_TRUE(base::directory_exists(c->CacheDir()));
}

TEST_F(ControllerTest, AbsoluteCacheDirGetsTheProcessFolder) {
  struct Configured : TSvServerControllerBase {
    Configured(ControllerEnvironment e, std::string dir) : TSvServerControllerBase(std::move(e)) {
      OnConfig = [dir](TSvServerControllerBase& c) { c.SetCacheDir(dir); };
    }
  };
  const std::string abs = folder_.root() + "abs/";
  const auto c = TSvServerControllerBase::Create<Configured>(folder_.environment(clock_), abs);
  EXPECT_EQ(c->CacheDir(), abs + c->FProcessID() + "/");
  const auto d = TSvServerControllerBase::Create<Configured>(folder_.environment(clock_),
                                                             abs + c->FProcessID() + "/");
  EXPECT_EQ(d->CacheDir(), abs + c->FProcessID() + "/");
}

TEST_F(ControllerTest, CacheDirFailureNamesTheFolder) {
  const std::string file = folder_.root() + "plain-file";
  base::write_file(file, "x");
  ControllerEnvironment env = folder_.environment(clock_);
  env.temp_folder = file + "/";
  const std::string message =
      failure_message([&] { TSvServerControllerBase::Create<TSvServerControllerBase>(env); });
  EXPECT_EQ(message, "MakeDirectory cannot create directory \"" + file + "/0149soflw5/\".\r\n" +
                         base::errno_text(ENOTDIR));
}

TEST_F(ControllerTest, Normalisation) {
  const auto c = make();
  struct Case {
    const char* in;
    const char* want;
  };
  // clang-format off
  const Case kUrlBases[] = {
    {"app",     "/app/"},
    {"",        ""},
    {" /x ",    "/x/"},
    {"/a/b",    "/a/b/"},
    {"/",       "/"},
  };
  const Case kSuffixes[] = {
    {"a b;c",   "abc"},
    {"x,y",     "xy"},
    {"",        ""},
    {" ;, ",    ""},
  };
  // clang-format on
  for (const Case& k : kUrlBases) {
    SCOPED_TRACE(k.in);
    c->SetURLBase(k.in);
    EXPECT_EQ(c->URLBase(), k.want);
  }
  for (const Case& k : kSuffixes) {
    SCOPED_TRACE(k.in);
    c->CookieOptions().SetCookieNameSuffix(k.in);
    EXPECT_EQ(c->CookieOptions().CookieNameSuffix(), k.want);
  }
}

TEST_F(ControllerTest, ValidationMessages) {
  struct Case {
    const char* what;
    std::function<void(TSvServerControllerBase&)> write;
    const char* message;
  };
  const Case kCases[] = {
      {"empty name", [](auto& c) { c.SetAppName("  "); }, "Application name cannot be empty"},
      {"digit first", [](auto& c) { c.SetAppName("1app"); },
       "Invalid application name. Application name must follow the same rules of TComponent "
       "name"},
      {"blank inside", [](auto& c) { c.SetAppName("my app"); },
       "Invalid application name. Application name must follow the same rules of TComponent "
       "name"},
      {"timeout -1", [](auto& c) { c.SetSessionTimeout(-1); }, "Invalid session timeout value."},
      {"timeout 65536", [](auto& c) { c.SetSessionTimeout(65536); },
       "Invalid session timeout value."},
      {"cookies off", [](auto& c) { c.CookieOptions().SetUseCookies(false); },
       "In order to disable cookies you must set ServerController.AllowMultipleSessionsPerUser "
       "to TRUE."},
      {"one session without cookies",
       [](auto& c) {
         c.SetAllowMultipleSessionsPerUser(true);
         c.CookieOptions().SetUseCookies(false);
         c.SetAllowMultipleSessionsPerUser(false);
       },
       "You must set CookieOptions.UseCookies to TRUE before setting "
       "ServerController.AllowMultipleSessionsPerUser to FALSE."},
  };
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.what);
    ControllerEnvironment env = folder_.environment(clock_);
    TSvServerControllerBase c(env);  // not configured: nothing is locked
    EXPECT_EQ(failure_message([&] { k.write(c); }), k.message);
  }
  TSvServerControllerBase c(folder_.environment(clock_));
  c.SetSessionTimeout(0);
  c.SetSessionTimeout(65535);
  EXPECT_EQ(c.SessionTimeout(), 65535);
  c.SetAppName("  _App1 ");
  EXPECT_EQ(c.AppName(), "_App1");
}

TEST_F(ControllerTest, CompressionSwitches) {
  TSvCompressionOptions o;
  o.SetAllowGZip(false);
  EXPECT_TRUE(o.Enabled());
  o.SetAllowDeflate(false);
  EXPECT_FALSE(o.Enabled());
  o.SetEnabled(true);
  EXPECT_TRUE(o.AllowGZip());
  EXPECT_TRUE(o.AllowDeflate());
}

TEST_F(ControllerTest, CookieOptionsCopyValuesOnly) {
  const auto a = make();
  TSvServerControllerBase b(folder_.environment(clock_));
  b.SetAllowMultipleSessionsPerUser(true);
  b.CookieOptions().SetUseCookies(false);
  b.CookieOptions().SetCookieNameSuffix("s");
  b.CookieOptions().Secure = true;
  a->CookieOptions() = b.CookieOptions();
  EXPECT_FALSE(a->CookieOptions().UseCookies());
  EXPECT_EQ(a->CookieOptions().CookieNameSuffix(), "s");
  EXPECT_TRUE(a->CookieOptions().Secure);
}

TEST_F(ControllerTest, ExceptionEvents) {
  const auto c = make();
  std::vector<std::string> log;
  c->ExceptionLogger().SetEnabled(true);
  c->ExceptionLogger().OnLogException = [&](const std::vector<std::string>& report) {
    for (const std::string& line : report) {
      if (base::starts_with(line, "Exception message  : ")) {
        log.push_back(line.substr(21));
      }
    }
    return true;
  };
  const std::runtime_error boom("boom");
  EXPECT_FALSE(c->DoException(nullptr, boom));
  c->OnException = [](TSvApplication*, const std::exception&, bool& handled) { handled = true; };
  EXPECT_TRUE(c->DoException(nullptr, boom));
  c->OnException = [](TSvApplication*, const std::exception&, bool& handled) {
    handled = true;
    throw std::runtime_error("handler failed");
  };
  EXPECT_TRUE(c->DoException(nullptr, boom));
  c->DoLogException(boom);
  EXPECT_EQ(log, (std::vector<std::string>{"boom", "boom", "boom", "boom"}));
}

TEST_F(ControllerTest, LogLinesOnlyWithLogFile) {
  std::vector<std::string> lines;
  ControllerEnvironment env = folder_.environment(clock_);
  env.log_line = [&](std::string_view l) { lines.emplace_back(l); };
  struct Logging : TSvServerControllerBase {
    using TSvServerControllerBase::TSvServerControllerBase;
    void LoadDesignValues() override { SetLog(TLogOptions::loFile); }
  };
  const auto c = TSvServerControllerBase::Create<Logging>(env);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Cache directory created \"" + c->CacheDir() + "\"");
  lines.clear();
  const auto quiet = TSvServerControllerBase::Create<TSvServerControllerBase>(env);
  EXPECT_TRUE(lines.empty());
}

TEST_F(ControllerTest, SingletonNeedsARegisteredClass) {
  SetServerControllerClass(nullptr);
  EXPECT_EQ(failure_message([&] { InitServerController(folder_.environment(clock_)); }),
            "No server controller is defined.");
  SetServerControllerClass<AppController>();
  TSvServerControllerBase& c = InitServerController(folder_.environment(clock_));
  EXPECT_EQ(ServerController(), &c);
  EXPECT_EQ(c.AppName(), "MyApp");
  FreeServerController();
  EXPECT_EQ(ServerController(), nullptr);
  SetServerControllerClass(nullptr);
}

TEST_F(ControllerTest, SingletonPassesItsOptionsToTheFilesAndTheCompressor) {
  struct Options : AppController {
    using AppController::AppController;
    void LoadDesignValues() override {
      AppController::LoadDesignValues();
      JavaScriptOptions.UseUncompressedFiles = true;
      Compression().SetAllowDeflate(false);
      Compression().MinSize = 10;
    }
  };
  TSvServerInternalFiles& files = TSvServerInternalFiles::Instance();
  files.SetUseUncompressedFiles(false);
  files.SetPreCompressFiles(false);
  SetServerControllerClass<Options>();
  InitServerController(folder_.environment(clock_));
  EXPECT_TRUE(files.UseUncompressedFiles());
  EXPECT_TRUE(files.PreCompressFiles());
  EXPECT_TRUE(files.ResourceAsStream("SV_JS_SVBASE").is_compressed);
  ASSERT_NE(TSvCompressor::Instance(), nullptr);
  const TSvCompressionOptions& options = TSvCompressor::Instance()->options();
  EXPECT_EQ(options.Level, 6);
  EXPECT_EQ(options.MinSize, 10);
  EXPECT_TRUE(options.AllowGZip());
  EXPECT_FALSE(options.AllowDeflate());
  FreeServerController();
  EXPECT_EQ(TSvCompressor::Instance(), nullptr);
  SetServerControllerClass(nullptr);
  files.SetUseUncompressedFiles(false);
  files.SetPreCompressFiles(false);
}

// A controller whose close handler uses its own (derived) state, as an application's may.
class Recording : public TSvServerControllerBase {
 public:
  Recording(ControllerEnvironment env, std::vector<std::string>* closed)
      : TSvServerControllerBase(std::move(env)), closed_(closed) {
    OnCloseSession = [this](TSvApplication& s) { closed_->push_back(tag_ + s.AppID()); };
  }
  ~Recording() override { tag_ = "after the controller was gone: "; }

 private:
  std::vector<std::string>* closed_;
  std::string tag_ = "closed ";
};

std::string new_session(TSvServerControllerBase& c) {
  SessionRequestInfo request;
  request.client_ip = "10.0.0.1";
  request.user_agent = "agent";
  TSvApplication* s = c.Sessions().CreateSession(request, "", "");
  const std::string id = s->AppID();
  s->Initialize(nullptr);
  s->Unlock();
  return id;
}

TEST_F(ControllerTest, SessionsCloseWhileTheWholeControllerExists) {
  std::vector<std::string> closed;
  SetServerControllerClass(
      [&](ControllerEnvironment env) -> std::unique_ptr<TSvServerControllerBase> {
        return TSvServerControllerBase::Create<Recording>(std::move(env), &closed);
      });
  const std::string a = new_session(InitServerController(folder_.environment(clock_)));
  FreeServerController();
  EXPECT_EQ(closed, std::vector<std::string>{"closed " + a});
  SetServerControllerClass(nullptr);

  // An owner of its own controller shuts it down the same way; a second Shutdown does nothing.
  closed.clear();
  auto own = TSvServerControllerBase::Create<Recording>(folder_.environment(clock_), &closed);
  const std::string b = new_session(*own);
  own->Shutdown();
  EXPECT_EQ(own->Sessions().GetCount(), 0);
  own->Shutdown();
  own.reset();
  EXPECT_EQ(closed, std::vector<std::string>{"closed " + b});
}

TEST_F(ControllerTest, DestructionClearsTheServerWideCacheFiles) {
  auto c = make();
  const std::string internal_base = "/$/";
  std::vector<std::string> session_files;
  const std::string app_id = "abc";
  const CacheOwner owner{&internal_base, &session_files, nullptr, &app_id};
  std::string href;
  TSvAppCache::NewAppCacheStream(&owner, "text/plain", href)->Close();
  const std::vector<std::string> listed = TSvAppCache::AppCacheFiles();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_TRUE(base::file_exists(listed[0]));
  c.reset();
  EXPECT_TRUE(TSvAppCache::AppCacheFiles().empty());
  EXPECT_FALSE(base::file_exists(listed[0]));
}

TEST_F(ControllerTest, ExceptionsAreLoggedWithTheFrameworkSection) {
  const auto c = make<AppController>();
  c->ExceptionLogger().SetEnabled(true);
  EXPECT_FALSE(c->DoException(nullptr, ESvException("boom")));
  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.app() + "ErrorLog/")) {
    logs.push_back(entry.path().string());
  }
  ASSERT_EQ(logs.size(), 1u) << "one log file under the application folder";
  const std::string text = base::read_file(logs[0]);
  for (const char* line : {"Exception message  : boom", "Corvane Version   : 14.0.39",
                           "Multi-session      : False", "Session count      : 0"}) {
    SCOPED_TRACE(line);
    EXPECT_NE(text.find(line), std::string::npos);
  }
  EXPECT_NE(text.find("Content Path       : " + c->ContentPath()), std::string::npos);
}

}  // namespace
}  // namespace appsrv::server
