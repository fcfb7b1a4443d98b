#include "host/standalone_server.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/exception.h"
#include "server/pipeline/request_hook.h"
#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/host/host_test_support.h"

namespace appsrv::host {
namespace {

using testing::ProcessController;

TEST(StartURL, ComposedFromTheControllerValues) {
  struct Case {
    bool ssl;
    const char* bound_ip;
    int32_t port;
    int32_t ssl_port;
    const char* params;
    const char* want;
  };
  const Case cases[] = {
      {false, "", 8888, 0, "", "http://127.0.0.1:8888/$/start"},
      {false, "", 80, 0, "", "http://127.0.0.1/$/start"},
      {true, "", 8888, 443, "", "https://127.0.0.1/$/start"},
      {true, "", 8888, 8443, "", "https://127.0.0.1:8443/$/start"},
      {false, "10.1.2.3,10.1.2.4", 8888, 0, "", "http://10.1.2.3:8888/$/start"},
      {false, "::1", 8888, 0, "", "http://::1:8888/$/start"},
      {false, "", 8888, 0, "a=b c&d=%", "http://127.0.0.1:8888/$/start?a=b c&d=%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(ComposeStartURL(c.ssl, c.bound_ip, c.port, c.ssl_port, c.params), c.want);
  }
}

// A transport host that opens nothing: it reports the flags it was given and, like the real
// one, writes the port it "bound" back into the controller.
struct FakeHostState {
  bool http_active = true;
  bool https_active = false;
  int32_t bound_port = 0;  // written into the controller's Port when not 0
  bool fail = false;
  int32_t bits_per_sec = -1;
  bool use_intercept = false;
};

class FakeHost : public TransportHost {
 public:
  explicit FakeHost(FakeHostState& state) : state_(state) {
    if (state_.fail) {
      throw base::Exception("Could not bind socket. Address and port are already in use.");
    }
    if (state_.bound_port != 0) {
      server::ServerController()->SetPort(state_.bound_port);
    }
  }
  bool HttpActive() const override { return state_.http_active; }
  bool HttpsActive() const override { return state_.https_active; }
  void SetBitsPerSec(int32_t v) override { state_.bits_per_sec = v; }
  void SetUseServerIntercept(bool v) override { state_.use_intercept = v; }

 private:
  FakeHostState& state_;
};

HttpHostClass fake_class(FakeHostState& state) {
  return [&state] { return std::make_unique<FakeHost>(state); };
}

std::vector<std::string> start_lines(
    const std::string& port_ini, FakeHostState host,
    server::NonSslRequest non_ssl = server::NonSslRequest::nsAccept) {
  ProcessController controller(port_ini);
  controller->SSLOptions().NonSSLRequest = non_ssl;
  TSvStandAloneServer srv;
  std::vector<std::string> lines;
  srv.OnDebugLog = [&](const std::string& line) { lines.push_back(line); };
  srv.Start(fake_class(host));
  return lines;
}

TEST(StandAloneServer, StartLogsTheListenersState) {
  const std::string rule = "---------------------";
  struct Case {
    const char* name;
    const char* port_ini;
    FakeHostState host;
    server::NonSslRequest non_ssl;
    std::vector<std::string> want;
  };
  using server::NonSslRequest;
  const Case cases[] = {
      {"system port",
       "[PORTS]\nPort=0\n",
       {.bound_port = 43210},
       NonSslRequest::nsAccept,
       {"Warning: Port has been assigned by system.", "HTTP Server is active on port: 43210", "",
        rule, ""}},
      {"http only",
       "[PORTS]\nPort=8888\n",
       {},
       NonSslRequest::nsAccept,
       {"HTTP Server is active on port: 8888", "", rule, ""}},
      {"http inactive",
       "[PORTS]\nPort=8888\n",
       {.http_active = false},
       NonSslRequest::nsAccept,
       {"HTTP Server failed to open port: 8888", "  See application log file for details.", "",
        rule, ""}},
      {"https only, plain blocked",
       "[PORTS]\nPort=8888\nSSLPort=8443\n",
       {.http_active = false, .https_active = true},
       NonSslRequest::nsBlock,
       {"HTTP Server is inactive (NonSSLRequest = nsBlock)", "HTTPS Server is active on port: 8443",
        "", rule, ""}},
      {"both",
       "[PORTS]\nPort=8888\nSSLPort=8443\n",
       {.https_active = true},
       NonSslRequest::nsBlock,
       {"HTTP Server is active on port: 8888", "HTTPS Server is active on port: 8443", "", rule,
        ""}},
      {"https failed",
       "[PORTS]\nPort=8888\nSSLPort=8443\n",
       {},
       NonSslRequest::nsAccept,
       {"HTTP Server is active on port: 8888", "HTTP Server failed to open port: 8443",
        "  See application log file for details.", "", rule, ""}},
      {"both inactive without block",
       "[PORTS]\nPort=8888\nSSLPort=8443\n",
       {.http_active = false, .https_active = true},
       NonSslRequest::nsAccept,
       {"HTTP Server failed to open port: 8888", "  See application log file for details.",
        "HTTPS Server is active on port: 8443", "", rule, ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(start_lines(c.port_ini, c.host, c.non_ssl), c.want);
  }
}

TEST(StandAloneServer, StartFailures) {
  ProcessController controller("[PORTS]\nPort=8888\n");
  {
    TSvStandAloneServer srv;
    std::vector<std::string> lines;
    srv.OnDebugLog = [&](const std::string& line) { lines.push_back(line); };
    try {
      srv.Start(HttpHostClass());
      ADD_FAILURE() << "no failure";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "HttpClass is nil.");
    }
    FakeHostState failing{.fail = true};
    try {
      srv.Start(fake_class(failing));
      ADD_FAILURE() << "no failure";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(srv.Started());
  }
}

// A speed set before Start is kept and reaches the host the moment Start creates it.
TEST(StandAloneServer, ConnectionSpeedReachesTheHostWhenStartCreatesIt) {
  ProcessController controller("[PORTS]\nPort=8888\n");
  FakeHostState host;
  TSvStandAloneServer srv;
  srv.SetConnectionSpeed(64000);
  EXPECT_EQ(host.bits_per_sec, -1);
  srv.Start(fake_class(host));
  EXPECT_TRUE(host.use_intercept);
  EXPECT_EQ(host.bits_per_sec, 64000);
  EXPECT_EQ(srv.ConnectionSpeed(), 64000);
  srv.SetConnectionSpeed(128000);
  EXPECT_EQ(host.bits_per_sec, 128000);
}

TEST(StandAloneServer, ConstructionSetsTheHooks) {
  ProcessController controller;
  server::SetRequestHook(nullptr);
  {
    TSvStandAloneServer srv;
    EXPECT_EQ(server::RequestHook(), &server::ExecuteRequest);
    EXPECT_EQ(SentBytesHook(), &srv);
  }
  EXPECT_EQ(SentBytesHook(), nullptr);
}

TEST(StandAloneServer, CountsSentBytes) {
  ProcessController controller;
  TSvStandAloneServer srv;
  std::vector<int32_t> updates;
  std::vector<int32_t> detailed;
  srv.OnUpdateTotalBytes = [&](int32_t v) { updates.push_back(v); };
  srv.OnDebugLogBytes = [&](int32_t v) { detailed.push_back(v); };
  srv.LogBytes(100);
  srv.LogBytes(-5);
  srv.SetDebugLog(true);
  srv.LogBytes(INT32_MAX);
  srv.LogBytes(INT32_MAX);
  srv.LogBytes(1);
  EXPECT_EQ(srv.TotalBytes(), 100ULL + 2ULL * INT32_MAX + 1);
  // The event carries the low 32 bits of the total.
  EXPECT_EQ(updates, (std::vector<int32_t>{100, 100, -2147483549, 98, 99}));
  EXPECT_EQ(detailed, (std::vector<int32_t>{INT32_MAX, INT32_MAX, 1}));
  srv.ResetTotalBytes();
  EXPECT_EQ(srv.TotalBytes(), 0U);
}

TEST(StandAloneServer, SessionEventsAndClearSessions) {
  ProcessController controller("[PORTS]\nPort=8888\n");
  FakeHostState host;
  TSvStandAloneServer srv;
  int created = 0;
  int closed = 0;
  srv.OnNewSession = [&] { ++created; };
  srv.OnCloseSession = [&] { ++closed; };
  srv.Start(fake_class(host));

  base::NameValueList params;
  server::SessionRequestInfo info;
  info.client_ip = "127.0.0.1";
  info.user_agent = "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0";
  info.path = "/";
  info.params = &params;
  info.content_fields = &params;
  for (int i = 0; i < 3; ++i) {
    server::TSvApplication* s = controller->Sessions().CreateSession(info, "", "");
    controller->Sessions().Release(*s);
  }
  EXPECT_EQ(srv.ActiveSessions(), 3);
  EXPECT_EQ(created, 3);
  srv.LogBytes(10);
  srv.ClearSessions();
  EXPECT_EQ(controller->Sessions().GetCount(), 0);
  EXPECT_EQ(srv.ActiveSessions(), 0);
  EXPECT_EQ(closed, 3);
  EXPECT_EQ(srv.TotalBytes(), 0U);
}

}  // namespace
}  // namespace appsrv::host
