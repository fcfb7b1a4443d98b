#include "server/session/session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/session/session_log.h"
#include "tests/server/session_fixture.h"

namespace appsrv::server {
namespace {

using testing::kFirefox;
using testing::SessionFixture;

constexpr std::string_view kAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789~-";

TEST(SessionIdTest, EncodesSixBitsAtATime) {
  const uint8_t zeros[16] = {};
  EXPECT_EQ(EncodeSessionID(zeros), "aaaaaaaaaaaaaaaaaaaaaa");
  uint8_t ones[16];
  std::memset(ones, 0xFF, sizeof ones);
  // 21 full groups of 63, then the last two bits left-aligned: 110000 = 48.
  EXPECT_EQ(EncodeSessionID(ones), "---------------------W");
  const uint8_t first[16] = {0x04, 0x10, 0x41};  // 000001 000001 000001 000001
  EXPECT_EQ(EncodeSessionID(first).substr(0, 5), "bbbba");
}

TEST(SessionIdTest, RandomIdentifiersNeverContainAnUnderscore) {
  std::set<std::string> seen;
  for (int i = 0; i < 10000; ++i) {
    const std::string id = MakeSessionID();
    ASSERT_EQ(id.size(), 22u);
    ASSERT_EQ(id.find('_'), std::string::npos) << id;
    ASSERT_EQ(id.find_first_not_of(kAlphabet), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 10000u);
}

TEST(TrackIdTest, Base36BothWays) {
  struct Case {
    uint32_t value;
    const char* text;
  };
  // clang-format off
  const Case kCases[] = {
    {0,          "0"},
    {1,          "1"},
    {35,         "z"},
    {36,         "10"},
    {4294967295, "1z141z3"},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TrackIDToText(c.value), c.text);
    EXPECT_EQ(TrackIDFromText(c.text), c.value);
  }
  EXPECT_EQ(TrackIDFromText("1Z"), 71);
  EXPECT_EQ(TrackIDFromText("!"), -1);
  EXPECT_EQ(TrackIDFromText("1!"), 35);
  EXPECT_EQ(TrackIDFromText(""), 0);
}

TEST(CurrentSessionTest, SetReturnsThePrevious) {
  auto* a = reinterpret_cast<TSvApplication*>(0x10);
  EXPECT_EQ(SetCurrentSession(a), nullptr);
  {
    CurrentSessionScope scope(nullptr);
    EXPECT_EQ(CurrentSession(), nullptr);
  }
  EXPECT_EQ(CurrentSession(), a);
  std::thread([] { EXPECT_EQ(CurrentSession(), nullptr); }).join();
  EXPECT_EQ(SetCurrentSession(nullptr), a);
}

class SessionTest : public SessionFixture {};

TEST_F(SessionTest, UrlBasesAndCacheFolder) {
  struct Case {
    bool multiple;
    const char* url_base;
    const char* script_name;
    const char* app;          // mAppUrlBase
    const char* session_int;  // mSessionInternalUrlBase, "#" standing for the identifier
    const char* session;      // mSessionUrlBase
  };
  // clang-format off
  const Case kCases[] = {
    {false, "",     "",    "/",     "/$/",        "/"},
    {false, "",     "/x",  "/x/",   "/x/$/",      "/x/"},
    {false, "app",  "/x",  "/app/", "/app/$/",    "/app/"},
    {true,  "",     "/x",  "/x/",   "/x/#/$/",    "/x/#/"},
  };
  // clang-format on
  for (const Case& k : kCases) {
    SCOPED_TRACE(std::string(k.url_base) + " " + k.script_name);
    rebuild([&](TSvServerControllerBase& c) {
      c.SetURLBase(k.url_base);
      c.SetAllowMultipleSessionsPerUser(k.multiple);
    });
    SessionAttachRequest r = request("");
    const_cast<SessionRequestInfo*>(r.request)->script_name = k.script_name;
    const SessionAttachResult got = sessions().Attach(r);
    TSvApplication& s = *got.session;
    const std::string id = s.AppID();
    auto with_id = [&](std::string t) { return base::replace_all(t, "#", id); };
    EXPECT_EQ(s.mAppUrlBase, k.app);
    EXPECT_EQ(s.mInternalUrlBase, std::string(k.app) + "$/");
    EXPECT_EQ(s.mSessionInternalUrlBase, with_id(k.session_int));
    EXPECT_EQ(s.mSessionUrlBase, with_id(k.session));
    EXPECT_EQ(s.mUserCacheUrlBase, std::string(k.app) + "$/MySvApp/" + id + "/");
    EXPECT_EQ(s.FTaggedSessionName, id);
    EXPECT_EQ(s.FIP, "10.0.0.1");
    EXPECT_EQ(s.mUserCacheDir, controller_->CacheDir() + "user/" + id + "/");
    struct stat st {};
    ASSERT_EQ(stat(s.mUserCacheDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const std::string dir = s.mUserCacheDir;
    s.Terminate();
    sessions().Release(s);
    EXPECT_FALSE(base::directory_exists(dir));
  }
}

TEST_F(SessionTest, RunParametersAreFilteredStartParameters) {
  params_.add("a", "1");
  params_.add("SV_width", "800");
  params_.add("b", "<script>x</script>");
  params_.add("c", "3");
  const SessionAttachResult r = sessions().Attach(request(""));
  EXPECT_EQ(r.session->FRunParams.Raw(), "?a=1&c=3");
  sessions().Release(*r.session);
  SetCurrentSession(nullptr);
}

TEST_F(SessionTest, TerminatePages) {
  const SessionAttachResult r = sessions().Attach(request(""));
  TSvApplication& s = *r.session;
  s.Terminate("");
  EXPECT_TRUE(s.mTerminated);
  EXPECT_EQ(*s.mRenderOverride,
            "<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n</head><body>This session has been "
            "terminated</body></html>");
  s.Terminate("Bye");
  EXPECT_EQ(*s.mRenderOverride,
            "<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n</head><body>Bye</body></html>");
  s.TerminateAndRedirect("next.html");
  EXPECT_EQ(*s.mRenderOverride, RedirectPageHtml("/next.html"));
  s.TerminateAndRedirect("http://example.com/\"+alert(1)+\"");
  EXPECT_NE(s.mRenderOverride->find("replace(\"http://example.com/\\\"+alert(1)+\\\"\")"),
            std::string::npos);
  sessions().Release(s);
  EXPECT_EQ(sessions().GetCount(), 0);
}

TEST_F(SessionTest, RedirectOnTerminationJoinsRelativeUrls) {
  rebuild([](TSvServerControllerBase& c) { c.SetAllowMultipleSessionsPerUser(true); });
  struct Case {
    const char* url;
    const char* want;  // "#" stands for the session identifier
  };
  // clang-format off
  const Case kCases[] = {
      {"next",                 "/#/next"},
      {"$/",                   "/#/$/"},
      {"style.css",            "/style.css"},
      {"img/logo.png",         "/img/logo.png"},
      {"/abs/page",            "/abs/page"},
      {"https://example.com/", "https://example.com/"},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.url);
    const SessionAttachResult r = sessions().Attach(request(""));
    TSvApplication& s = *r.session;
    s.TerminateAndRedirect(c.url);
    EXPECT_EQ(*s.mRenderOverride, RedirectPageHtml(base::replace_all(c.want, "#", s.AppID())));
    sessions().Release(s);
  }
  EXPECT_EQ(sessions().GetCount(), 0);
}

TEST_F(SessionTest, AttachesPipelineRequestsAndSendsTheReplacementReply) {
  RequestPacketFields f;
  f.user_agent = kFirefox;
  f.referer = "http://example.com/from";
  f.script_name = "/app";
  f.path_info = "/appservice/";
  f.remote_addr = "10.0.0.9";
  f.method = "POST";
  f.content_fields = {"Function=Add", "SV_x=1"};
  std::vector<char> in(kExchangeBufferSize);
  write_request_packet(f, in.data(), kExchangeBufferSize);
  THttpRequest http_request(in.data(), kExchangeBufferSize);
  std::vector<char> out(kExchangeBufferSize);
  THttpReply reply(out.data(), kExchangeBufferSize);

  const SessionRequestInfo info = MakeSessionRequestInfo(http_request, reply, "10.0.0.9");
  SessionAttachRequest r;
  r.request = &info;
  const SessionAttachResult got = sessions().Attach(r);
  TSvApplication& s = *got.session;
  EXPECT_EQ(s.FRequest, &http_request);
  EXPECT_EQ(s.FResponse, &reply);
  EXPECT_EQ(s.FIP, "10.0.0.9");
  EXPECT_EQ(s.FReferringURL, "http://example.com/from");
  EXPECT_EQ(s.mAppUrlBase, "/app/");
  EXPECT_EQ(s.FRunParams.Raw(), "?Function=Add");

  EXPECT_FALSE(s.SendRenderOverride(reply));
  s.Terminate("Bye");
  EXPECT_TRUE(s.SendRenderOverride(reply));
  reply.Commit();
  EXPECT_EQ(read_reply_packet(out.data(), kExchangeBufferSize).body_text(), *s.mRenderOverride);
  sessions().Release(s);  // terminated: destroyed
  EXPECT_EQ(sessions().GetCount(), 0);
}

TEST_F(SessionTest, RedirectPage) {
  EXPECT_EQ(RedirectPageHtml("/app/$/"),
            "<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n"
            "<script>window.location.replace(\"/app/$/\");</script>\r\n\r\n</head></html>");
}

TEST_F(SessionTest, AccessMarksAreWholeSecondsFromCreation) {
  const SessionAttachResult r = sessions().Attach(request(""));
  TSvApplication& s = *r.session;
  EXPECT_EQ(s.mLastAccess, 0);
  clock_.advance_seconds(90.7);
  s.MarkAccess();
  EXPECT_EQ(s.mLastAccess, 90);
  EXPECT_NEAR(s.GetLastAccess(), s.mCreationTime + 90 / 86400.0, 1e-9);
  sessions().Release(s);
  SetCurrentSession(nullptr);
}

// Reads the primitive encodings back.
class Reader {
 public:
  explicit Reader(std::string bytes) : bytes_(std::move(bytes)) {}
  int32_t integer() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes_.at(pos_++))) << (8 * i);
    }
    return static_cast<int32_t>(v);
  }
  uint8_t byte() { return static_cast<uint8_t>(bytes_.at(pos_++)); }
  double real() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
      v |= static_cast<uint64_t>(static_cast<uint8_t>(bytes_.at(pos_++))) << (8 * i);
    }
    double d = 0;
    std::memcpy(&d, &v, sizeof d);
    return d;
  }
  std::string text() {
    const int32_t n = integer();
    std::string s = bytes_.substr(pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return s;
  }
  bool done() const { return pos_ == bytes_.size(); }

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

TEST_F(SessionTest, EventLogRecordsCreationRequestAndDestruction) {
  rebuild([](TSvServerControllerBase& c) { c.SetLogSessionEvents(true); });
  params_.add("Function", "Add");
  const SessionAttachResult r = sessions().Attach(request(""));
  const std::string id = r.session->AppID();
  r.session->LogSessionEvent(TSessionEvent::seRequest);
  sessions().Release(*r.session);
  EXPECT_TRUE(sessions().Terminate(id));

  const std::string path = SessionLogPath(*controller_);
  EXPECT_EQ(path, folder_.app() + "appserver_session.log");
  Reader in(base::read_file(path));
  EXPECT_EQ(in.integer(), 20040827);
  EXPECT_EQ(in.integer(), 2);
  EXPECT_EQ(in.byte(), 0);  // AllowMultipleSessionsPerUser
  EXPECT_EQ(in.integer(), 10);

  EXPECT_EQ(in.byte(), 0);  // seCreate
  EXPECT_DOUBLE_EQ(in.real(), clock_.now());
  EXPECT_EQ(in.text(), id);
  EXPECT_EQ(in.text(), "Firefox");
  EXPECT_EQ(in.text(), kFirefox);
  EXPECT_EQ(in.text(), "10.0.0.1");
  EXPECT_EQ(in.text(), "/appservice/");
  EXPECT_EQ(in.integer(), 1);
  EXPECT_EQ(in.text(), "Function=Add");

  EXPECT_EQ(in.byte(), 2);  // seRequest
  in.real();
  EXPECT_EQ(in.text(), id);
  EXPECT_EQ(in.text(), "10.0.0.1");
  EXPECT_EQ(in.text(), "/appservice/");
  EXPECT_EQ(in.integer(), 1);
  EXPECT_EQ(in.text(), "Function=Add");

  EXPECT_EQ(in.byte(), 1);  // seDestroy, outside any request
  in.real();
  EXPECT_EQ(in.text(), id);
  EXPECT_EQ(in.text(), "");
  EXPECT_EQ(in.text(), "");
  EXPECT_EQ(in.integer(), 0);
  EXPECT_TRUE(in.done());
  SetCurrentSession(nullptr);
}

// The event log names the client the session was given (the pipeline's one client address),
// not the connection's peer, which behind a proxy is the proxy.
TEST_F(SessionTest, EventLogRecordsTheClientAddressOfTheRequest) {
  rebuild([](TSvServerControllerBase& c) { c.SetLogSessionEvents(true); });
  RequestPacketFields f;
  f.user_agent = kFirefox;
  f.path_info = "/appservice/";
  f.remote_addr = "10.0.0.9";
  f.forwarded_for = "192.0.2.1";
  f.method = "GET";
  std::vector<char> in_buffer(kExchangeBufferSize);
  write_request_packet(f, in_buffer.data(), kExchangeBufferSize);
  THttpRequest http_request(in_buffer.data(), kExchangeBufferSize);
  std::vector<char> out(kExchangeBufferSize);
  THttpReply reply(out.data(), kExchangeBufferSize);
  const SessionRequestInfo info = MakeSessionRequestInfo(http_request, reply, "192.0.2.1");
  SessionAttachRequest r;
  r.request = &info;
  const SessionAttachResult got = sessions().Attach(r);
  const std::string id = got.session->AppID();
  EXPECT_EQ(got.session->FIP, "192.0.2.1");
  sessions().Release(*got.session);
  SetCurrentSession(nullptr);

  Reader in(base::read_file(SessionLogPath(*controller_)));
  in.integer();
  in.integer();
  in.byte();
  in.integer();
  EXPECT_EQ(in.byte(), 0);  // seCreate
  in.real();
  EXPECT_EQ(in.text(), id);
  in.text();
  in.text();
  EXPECT_EQ(in.text(), "192.0.2.1");
  EXPECT_EQ(in.text(), "/appservice/");
}

// An event the log cannot take is reported rather than dropped in silence: one line, however
// many events fail within the minute, and the sessions go on.
TEST_F(SessionTest, EventLogWriteFailuresAreNotedOnce) {
  rebuild([](TSvServerControllerBase& c) { c.SetLogSessionEvents(true); });
  // Every write to the log file fails with ENOSPC.
  ASSERT_EQ(::symlink("/dev/full", SessionLogPath(*controller_).c_str()), 0);
  ::testing::internal::CaptureStderr();
  const std::string id = new_session();
  EXPECT_TRUE(sessions().Terminate(id));
  const std::string noted = ::testing::internal::GetCapturedStderr();
  const std::string line = "Cannot write the session event log \"" +
                           SessionLogPath(*controller_) + "\": " + base::errno_text(ENOSPC);
  EXPECT_NE(noted.find(line), std::string::npos) << noted;
  EXPECT_EQ(noted.find(line), noted.rfind(line)) << noted;
}

TEST_F(SessionTest, EventLogFailuresAreIgnored) {
  rebuild([](TSvServerControllerBase& c) { c.SetLogSessionEvents(true); });
  base::force_directories(SessionLogPath(*controller_), 0700);  // a folder where the file goes
  const std::string id = new_session();
  EXPECT_TRUE(sessions().Terminate(id));
}

}  // namespace
}  // namespace appsrv::server
