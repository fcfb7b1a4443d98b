// The program behind HAProxy with the shipped configuration, which names every client in
// X-Forwarded-For: the program knows the client, not the proxy. Clients on other machines are
// played by connections from other loopback addresses (127.0.0.2, 127.0.0.3), which the
// program does not count as local.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "tests/e2e/app_folder.h"
#include "tests/e2e/haproxy_front.h"
#include "tests/support/http_client.h"

namespace appsrv::testing {
namespace {

using transport::testing::LoopbackClient;
using transport::testing::ParseResponses;

constexpr const char* kAlice = "127.0.0.2";
constexpr const char* kMallory = "127.0.0.3";

class BehindHaproxy : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = HaproxyFront::Missing(); !missing.empty()) {
      GTEST_SKIP() << missing;
    }
    // A database, so that the balancer's readiness check lets the program into its pool.
    write_file(folder_.database(), "");
    server_ = std::make_unique<Server>(folder_);
    ASSERT_NE(server_->port(), 0);
    proxy_ = std::make_unique<HaproxyFront>(folder_.root(), server_->port());
    ASSERT_NE(proxy_->port(), 0);
  }
  void TearDown() override {
    proxy_.reset();
    if (server_) {
      EXPECT_EQ(server_->Stop(), 0);
    }
  }

  // `raw` sent to `port` from `source` and the one response read back.
  static ParsedResponse Send(uint16_t port, const char* source, const std::string& raw) {
    LoopbackClient client(port, "127.0.0.1", source);
    client.Send(raw);
    const std::vector<ParsedResponse> got = client.ReadResponses(1);
    return got.empty() ? ParsedResponse{} : got.front();
  }
  static std::string Call(const std::string& cookie, const std::string& extra_header = "") {
    const std::string body = "Function=Add&Params=" + FormEncode(R"({"A":2,"B":3})");
    return "POST /appservice/ HTTP/1.1\r\nHost: h\r\nUser-Agent: Mozilla/5.0 Firefox/118.0\r\n" +
           (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") + extra_header +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }

  AppFolder folder_;
  std::unique_ptr<Server> server_;
  std::unique_ptr<HaproxyFront> proxy_;
};

// The error page's text with its blanks, which the page writes as "&#32;", back.
std::string page_text(const ParsedResponse& r) { return base::replace_all(r.body, "&#32;", " "); }

bool shows_local_details(const ParsedResponse& r) {
  return page_text(r).find("Application Name") != std::string::npos;
}

TEST_F(BehindHaproxy, ErrorDetailsAreTheLocalOnesOnlyForALocalClient) {
  const std::string failing = "GET /a%5Cb HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  struct Case {
    const char* what;
    bool through_proxy;
    const char* source;
    std::string header;
    bool local;
  };
  const Case kCases[] = {
      {"straight, on this machine", false, nullptr, "", true},
      {"through HAProxy, on this machine", true, nullptr, "", true},
      {"through HAProxy, from elsewhere", true, kAlice, "", false},
      {"through HAProxy, from elsewhere, claiming loopback", true, kAlice,
       "X-Forwarded-For: 127.0.0.1\r\n", false},
      {"straight, on this machine, for someone else", false, nullptr,
       "Forwarded: for=192.0.2.1\r\n", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::string raw = failing;
    raw.insert(raw.find("Connection:"), c.header);
    const ParsedResponse r =
        Send(c.through_proxy ? proxy_->port() : server_->port(), c.source, raw);
    EXPECT_EQ(r.status(), 500) << r.body;
    EXPECT_EQ(shows_local_details(r), c.local) << r.body;
    EXPECT_EQ(r.header("Content-Security-Policy"), "default-src 'none'; style-src 'unsafe-inline'");
    EXPECT_EQ(r.header("X-Content-Type-Options"), "nosniff");
  }
}

// A session cookie replayed from another client through HAProxy is refused, whatever that
// client claims; the session's own client is served on with it.
TEST_F(BehindHaproxy, ACookieReplayedFromAnotherClientIsRefusedAndItsOwnerServed) {
  const ParsedResponse start = Send(proxy_->port(), kAlice, Call(""));
  const std::vector<std::string> cookies = Cookies(start);
  ASSERT_EQ(cookies.size(), 1u) << start.body;
  const std::string cookie = cookies.front();
  const std::string kEnvelope = "Function=Add\r\nParams={\"A\":2,\"B\":3}\r\nResult=";
  ParsedResponse owner = Send(proxy_->port(), kAlice, Call(cookie));
  ASSERT_EQ(owner.status(), 200);
  ASSERT_TRUE(owner.body.starts_with(kEnvelope)) << owner.body;
  // The envelope repeats the caller's text: nothing in it may run.
  EXPECT_EQ(owner.header("Content-Security-Policy"), "default-src 'none'");
  EXPECT_EQ(owner.header("X-Content-Type-Options"), "nosniff");

  const std::string kClaims[] = {"", std::string("X-Forwarded-For: ") + kAlice + "\r\n"};
  for (const std::string& claim : kClaims) {
    SCOPED_TRACE(claim);
    const ParsedResponse replayed = Send(proxy_->port(), kMallory, Call(cookie, claim));
    EXPECT_EQ(replayed.status(), 500);
    EXPECT_NE(page_text(replayed).find("The IP you are using is different than the one that "
                                       "initiated the session."),
              std::string::npos)
        << replayed.body;
    EXPECT_TRUE(Cookies(replayed).empty());

    owner = Send(proxy_->port(), kAlice, Call(cookie));
    EXPECT_EQ(owner.status(), 200);
    EXPECT_TRUE(owner.body.starts_with(kEnvelope)) << owner.body;
  }
}

}  // namespace
}  // namespace appsrv::testing
