#include "server/pipeline/handlers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/exception.h"
#include "server/session/configuration_lock.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

// Counts live instances so tests can see the registry free replaced handlers.
class NamedContent : public TContentBase {
 public:
  explicit NamedContent(std::string name) : name(std::move(name)) { ++alive; }
  ~NamedContent() override { --alive; }
  bool Execute(THttpRequest&, THttpReply&, const std::string&, TSvApplication*,
               base::NameValueList&) override {
    return true;
  }
  std::string name;
  static int alive;
};
int NamedContent::alive = 0;

std::unique_ptr<TContentBase> content(std::string name) {
  return std::make_unique<NamedContent>(std::move(name));
}

std::string name_of(const TContentBase* handler) {
  return handler == nullptr ? "(none)" : static_cast<const NamedContent*>(handler)->name;
}

class HandlersTest : public ::testing::Test {
 protected:
  HandlersTest() { THandlers::Clear(); }
  ~HandlersTest() override {
    THandlers::Clear();
    set_configuration_locked(false);
  }
};

TEST_F(HandlersTest, ApplicationRegistryMatches) {
  THandlers::Add("/appservice/", "", content("service"));
  THandlers::Add("/rest/", "sqlselect", content("select"));
  struct Case {
    const char* path;
    const char* want;
  };
  const Case kCases[] = {
      {"/appservice/CloseSession", "service"},
      {"/appservice/", "service"},
      {"/rest/sqlselect", "select"},
      {"/REST/SqlSelect", "select"},
      {"/rest/other", "(none)"},
      {"/", "(none)"},
      {"", "(none)"},
      {"/$/appservice/", "(none)"},
      {"/appservice/a/b/c", "service"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(name_of(THandlers::FindMatch(c.path)), c.want);
  }
}

TEST_F(HandlersTest, CandidatesAreTriedInOrder) {
  // Each row registers keys from the least to the most preferred; the match must be the last.
  struct Case {
    const char* path;
    std::vector<const char*> keys;  // (path, document) pairs as "path|document"
  };
  const Case kCases[] = {
      {"/files/report.pdf",
       {"|*.pdf", "|report.pdf", "/files/|", "/files/|*.pdf", "/files/|report.pdf"}},
      {"/a/b/c/d", {"/a/|", "/a/b/|", "|d", "/a/b/c/|", "/a/b/c/|d"}},
      {"/a/b/c/", {"/a/|", "/a/b/|", "/a/b/c/|"}},
  };
  for (const Case& c : kCases) {
    for (size_t n = 1; n <= c.keys.size(); ++n) {
      SCOPED_TRACE(std::string(c.path) + " with " + c.keys[n - 1]);
      THandlers::Clear();
      for (size_t i = 0; i < n; ++i) {
        const std::string key = c.keys[i];
        const size_t bar = key.find('|');
        THandlers::Add(key.substr(0, bar), key.substr(bar + 1), content(key));
      }
      EXPECT_EQ(name_of(THandlers::FindMatch(c.path)), c.keys[n - 1]);
    }
  }
}

TEST_F(HandlersTest, ExtensionHandlerIsTheLastResortBeforeAncestors) {
  THandlers::AddForExtension(".pdf", content("pdf"));
  EXPECT_EQ(name_of(THandlers::FindMatch("/files/report.PDF")), "pdf");
  EXPECT_EQ(name_of(THandlers::FindMatch("/files/report.pdfx")), "(none)");
  EXPECT_EQ(THandlers::FindMatch("/files/report.pdf")->mPath, "*.pdf");
}

TEST_F(HandlersTest, RootIsNeverAnAncestor) {
  THandlers::Add("/", "", content("root"));
  EXPECT_EQ(name_of(THandlers::FindMatch("/a/b/c/d")), "(none)");
  EXPECT_EQ(name_of(THandlers::FindMatch("/")), "(none)");
}

TEST_F(HandlersTest, DocumentAloneMatchesTheLastSegmentAnywhere) {
  THandlers::Add("status.json", content("status"));
  EXPECT_EQ(name_of(THandlers::FindMatch("/x/y/Status.json")), "status");
}

TEST_F(HandlersTest, RegistrationRules) {
  struct Case {
    const char* path;
    const char* document;
    const char* key;      // mPath on success
    const char* message;  // or the failure
  };
  const Case kCases[] = {
      {"rest/", "", nullptr, "Path must start with /"},
      {"/rest", "", nullptr, "Path must end with /"},
      {"", "", nullptr, "Path and Document cannot both be empty."},
      {"/", "x", "/x", nullptr},
      {"/Rest/", "SqlSelect", "/Rest/SqlSelect", nullptr},
      {"", "doc", "doc", nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.path) + "|" + c.document);
    if (c.message != nullptr) {
      expect_failure([&] { THandlers::Add(c.path, c.document, content("x")); }, c.message);
    } else {
      TContentBase* added = THandlers::Add(c.path, c.document, content("x"));
      EXPECT_EQ(added->mPath, c.key);
      EXPECT_EQ(THandlers::FindMatch(
                    std::string(c.key).starts_with("/") ? c.key : "/any/" + std::string(c.key)),
                added);
    }
  }
}

TEST_F(HandlersTest, SecondRegistrationReplacesAndFreesTheFirst) {
  const int before = NamedContent::alive;
  THandlers::Add("/rest/", "sqlselect", content("first"));
  THandlers::Add("/REST/", "SQLSELECT", content("second"));
  EXPECT_EQ(NamedContent::alive, before + 1);
  EXPECT_EQ(name_of(THandlers::FindMatch("/rest/sqlselect")), "second");
  THandlers::Clear();
  EXPECT_EQ(NamedContent::alive, before);
}

TEST_F(HandlersTest, LockedConfigurationRefusesRegistration) {
  set_configuration_locked(true);
  expect_failure([] { THandlers::Add("/a/", "", content("late")); },
                 "Handlers.Add is locked. Suggestion: Set in ServerController OnConfig event "
                 "instead.");
  set_configuration_locked(false);
  EXPECT_NE(THandlers::Add("/a/", "", content("now")), nullptr);
}

TEST_F(HandlersTest, StartHandler) {
  EXPECT_EQ(THandlers::GetStartHandler(nullptr), nullptr);
  TContentBase* start = THandlers::AddStartHandler("/start/", "", content("start"));
  EXPECT_TRUE(start->mCanStartSession);
  EXPECT_EQ(THandlers::GetStartHandler(nullptr), start);

  TContentBase* other = THandlers::Add("/other/", "", content("other"));
  auto* session = reinterpret_cast<TSvApplication*>(0x1);
  THandlers::RegisterGetStartHandlerProc([&](TSvApplication* s, TContentBase*& handler) {
    EXPECT_EQ(s, session);
    EXPECT_EQ(handler, start);
    handler = other;
  });
  EXPECT_EQ(THandlers::GetStartHandler(session), other);
}

TEST_F(HandlersTest, ReplacingTheStartHandlerForgetsIt) {
  THandlers::AddStartHandler("/start/", "", content("start"));
  THandlers::Add("/start/", "", content("plain"));
  EXPECT_EQ(THandlers::GetStartHandler(nullptr), nullptr);
}

}  // namespace
}  // namespace appsrv::server
