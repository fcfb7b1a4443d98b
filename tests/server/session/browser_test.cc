#include "server/session/browser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <typeinfo>

namespace appsrv::server {
namespace {

struct Case {
  const char* user_agent;
  const char* name;
  float version;
  bool supported;
  bool mobile;
};

// clang-format off
const Case kCases[] = {
  {"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)",                              "Microsoft Internet Explorer", 6.0F,  false, false},
  {"Mozilla/5.0 (Windows NT 6.3; Trident/7.0; rv:11.0) like Gecko",                   "Microsoft Internet Explorer", 11.0F, true,  false},
  {"Mozilla/5.0 (Linux; Android 4.4.2; Nexus 5) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/38.0.2125.111 Mobile Safari/537.36",
                                                                                      "Chrome Mobile",               38.0F, true,  true},
  {"Mozilla/5.0 (Windows NT 10.0) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/44.0.2403.155 Safari/537.36 OPR/31.0.1889.174",
                                                                                      "Opera (Edition Next)",        31.0F, true,  false},
  {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36",
                                                                                      "Chrome",                      120.0F, true, false},
  {"Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0",          "Firefox",                     115.0F, true, false},
  {"Mozilla/5.0 (X11; Linux x86_64; rv:2.0) Gecko/20100101 Firefox/3.5",              "Firefox",                     3.5F,  false, false},
  {"Mozilla/5.0 (Android 4.4; Mobile; rv:41.0) Gecko/41.0 Firefox/41.0",              "Firefox Mobile",              41.0F, true,  true},
  {"Mozilla/5.0 (iPhone; CPU iPhone OS 7_0 like Mac OS X) AppleWebKit/537.51.1 (KHTML, like Gecko) Version/7.0 Mobile/11A465 Safari/9537.53",
                                                                                      "Safari Mobile",               7.0F,  true,  true},
  {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_9_3) AppleWebKit/537.75.14 (KHTML, like Gecko) Version/5.1.7 Safari/537.75.14",
                                                                                      "Safari",                      5.1F,  true,  false},
  {"Mozilla/5.0 (Linux; U; Android 4.0.3; ko-kr; LG-L160L Build/IML74K) AppleWebKit/534.30 (KHTML, like Gecko) Version/4.0 Mobile Safari/534.30",
                                                                                      "Android Webkit Browser",      4.0F,  true,  true},
  {"Mozilla/5.0 (Linux; U; Android 2.3; en-us) AppleWebKit/533.1 (KHTML, like Gecko) Mobile Safari/533.1",
                                                                                      "Android Webkit Browser",      0.0F,  false, true},
  {"Opera/9.80 (Android 2.3.3; Linux; Opera Mobi/ADR-1111101157; U; es-ES) Presto/2.9.201 Version/11.50",
                                                                                      "Opera Mobile",                11.5F, true,  true},
  {"Opera/9.80 (Windows NT 6.1; WOW64) Presto/2.12.388 Version/12.16",                "Opera",                       12.16F, true, false},
  {"Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",         "Search Engine",               0.0F,  true,  false},
  {"python-requests user-Agent",                                                      "Search Engine",               0.0F,  true,  false},
  {"Mozilla/5.0 (iPhone; CPU iPhone OS 10_3 like Mac OS X) AppleWebKit/602.1.50 (KHTML, like Gecko) CriOS/56.0.2924.75 Mobile/14E5239e Safari/602.1",
                                                                                      "Chrome Mobile",               56.0F, true,  true},
  {"Mozilla/5.0 (Linux; Android 5.0; SAMSUNG SM-N900T) AppleWebKit/537.36 (KHTML, like Gecko) SamsungBrowser/2.1 Chrome/34.0.1847.76 Mobile Safari/537.36",
                                                                                      "Android Webkit Browser",      0.0F,  false, true},
  {"Mozilla/5.0 (Linux; Android 4.1) AppleWebKit/534.30 Version/0 Mobile Safari/534.30",
                                                                                      "Android Webkit Browser",      4.0F,  true,  true},
  {"Firefox",                                                                         "Firefox",                     3.6F,  true,  false},
  {"Firefox Tablet",                                                                  "Firefox Mobile",              14.0F, true,  true},
  {"Chrome",                                                                          "Chrome",                      12.0F, true,  false},
  {"Chrome Mobile",                                                                   "Chrome Mobile",               18.0F, true,  true},
  {"AppleWebKit OPR/",                                                                "Opera (Edition Next)",        15.0F, true,  false},
  {"Safari AppleWebKit",                                                              "Safari",                      5.0F,  true,  false},
  {"Safari AppleWebKit Mobile iPad",                                                  "Safari Mobile",               4.0F,  true,  true},
  {"Opera Tablet/",                                                                   "Opera Mobile",                11.0F, true,  true},
  {"Opera/ Presto/",                                                                  "Opera",                       12.0F, true,  false},
  {"MSIE",                                                                            "Microsoft Internet Explorer", 0.0F,  false, false},
  {"Mozilla/5.0 (compatible; ask.com)",                                               "Search Engine",               0.0F,  true,  false},
  {"",                                                                                "Unknown browser",             0.0F,  false, false},
  {"Lynx/2.8.9rel.1 libwww-FM/2.14",                                                  "Unknown browser",             0.0F,  false, false},
};
// clang-format on

TEST(BrowserTest, ClassifiesUserAgents) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.user_agent);
    const std::unique_ptr<TBrowser> b = TBrowser::CreateBrowser(c.user_agent);
    EXPECT_EQ(b->mBrowserName, c.name);
    EXPECT_FLOAT_EQ(b->mVersion, c.version);
    EXPECT_EQ(b->mMajorVersion, static_cast<int32_t>(c.version));
    EXPECT_EQ(b->IsSupported(), c.supported);
    EXPECT_EQ(b->mIsMobile, c.mobile);
    EXPECT_EQ(b->mUserAgent, c.user_agent);
  }
}

TEST(BrowserTest, HugeVersionKeepsTheMajorVersionInRange) {
  struct H {
    const char* user_agent;
    int32_t major;
  };
  // clang-format off
  const H kHuge[] = {
    {"Firefox/99999999999999999999.5",                                 INT32_MAX},
    {"Firefox/9999999999999999999999999999999999999999999999999999.0", INT32_MAX},
    {"Firefox/2147483647.0",                                           INT32_MAX},
    {"Firefox/2147483000.0",                                           2147483008},
  };
  // clang-format on
  for (const H& h : kHuge) {
    SCOPED_TRACE(h.user_agent);
    const auto b = TBrowser::CreateBrowser(h.user_agent);
    EXPECT_EQ(b->mBrowserName, "Firefox");
    EXPECT_EQ(b->mMajorVersion, h.major);
    EXPECT_TRUE(b->IsSupported());
  }
}

TEST(BrowserTest, OperaNextIsNotChrome) {
  const auto b = TBrowser::CreateBrowser(
      "Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko) Chrome/44.0 Safari/537.36 OPR/31.0");
  EXPECT_NE(dynamic_cast<TOperaNext*>(b.get()), nullptr);
  EXPECT_EQ(dynamic_cast<TChrome*>(b.get()), nullptr);
}

TEST(BrowserTest, SearchEngineNameIsTheUserAgent) {
  const auto b = TBrowser::CreateBrowser("SomeCrawler/1.0");
  const auto* engine = dynamic_cast<TSearchEngine*>(b.get());
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->GetEngineName(), "SomeCrawler/1.0");
}

TEST(BrowserTest, AllowOlderBrowsersAcceptsOldVersions) {
  auto b = TBrowser::CreateBrowser("Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)");
  EXPECT_FALSE(b->IsSupported());
  b->mAllowOlderBrowsers = true;
  EXPECT_TRUE(b->IsSupported());
  TOther other(99.0F);
  other.mAllowOlderBrowsers = true;
  EXPECT_FALSE(other.IsSupported());
}

TEST(BrowserTest, ParseBrowserVersion) {
  struct V {
    const char* text;
    float want;
  };
  // clang-format off
  const V kVersions[] = {
    {"38.0.2125.111",     38.0F},
    {"11.0)",             11.0F},
    {"5.1.7 Safari/537",  5.1F},
    {"5,1",               5.1F},
    {"7",                 7.0F},
    {"abc",               0.0F},
    {"",                  0.0F},
    {".5",                0.5F},
    {"12.16b",            12.16F},
  };
  // clang-format on
  for (const V& v : kVersions) {
    SCOPED_TRACE(v.text);
    EXPECT_FLOAT_EQ(TBrowser::ParseBrowserVersion(v.text), v.want);
  }
}

class Lynx : public TBrowser {
 public:
  explicit Lynx(float v) : TBrowser(v, 2.0F, "Lynx", false) {}
  static bool Match(std::string_view ua, float& version) {
    if (ua.find("LYNX/") == std::string_view::npos) {
      return false;
    }
    version = ParseBrowserVersion(ua.substr(ua.find("LYNX/") + 5));
    return true;
  }
};

TEST(BrowserTest, RegisterBrowserInsertsBeforeTheCatchAlls) {
  TBrowsers registry;
  const size_t before = registry.classes().size();
  registry.RegisterBrowser(BrowserClassOf<Lynx>("Lynx"), false);
  registry.RegisterBrowser(BrowserClassOf<Lynx>("Lynx"), false);  // present: ignored
  const std::vector<TBrowserClass> classes = registry.classes();
  ASSERT_EQ(classes.size(), before + 1);
  EXPECT_EQ(classes[classes.size() - 3].name, "Lynx");
  EXPECT_EQ(classes[classes.size() - 2].name, "TSearchEngine");
  EXPECT_EQ(classes.back().name, "TOther");
  EXPECT_EQ(classes.front().name, "TFirefoxMobile");

  const auto b = registry.Classify("Lynx/2.8.9rel.1 libwww-FM/2.14");
  EXPECT_EQ(b->mBrowserName, "Lynx");
  EXPECT_FLOAT_EQ(b->mVersion, 2.8F);
  EXPECT_TRUE(b->IsSupported());
}

TEST(BrowserTest, RegisterBrowserOnTopWins) {
  TBrowsers registry;
  struct Everything : TBrowser {
    explicit Everything(float v) : TBrowser(v, 0.0F, "Everything", false) {}
    static bool Match(std::string_view, float& version) {
      version = 1.0F;
      return true;
    }
  };
  registry.RegisterBrowser(BrowserClassOf<Everything>("Everything"), true);
  EXPECT_EQ(registry.classes().front().name, "Everything");
  EXPECT_EQ(registry.Classify("Firefox/100.0")->mBrowserName, "Everything");
  EXPECT_EQ(TBrowser::CreateBrowser("Firefox/100.0")->mBrowserName, "Firefox");
}

}  // namespace
}  // namespace appsrv::server
