// One client's share of what all clients share: new sessions per minute and database requests
// at once, counted per client address. Two loopback addresses stand for two clients: the one
// over its share is answered 503 with Retry-After, the other is served as before, and so are
// the first one's existing sessions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "base/parse_int.h"
#include "tests/e2e/app_calls.h"
#include "tests/e2e/app_folder.h"

namespace appsrv::testing {
namespace {

constexpr char kFlooder[] = "127.0.0.1";
constexpr char kNeighbour[] = "127.0.0.2";
constexpr char kAdd[] = R"({"A":2,"B":3,"Info":"x"})";
constexpr char kAddResult[] = R"({"Result":5,"Info":"x"})";

// The value of counter `name` on the program's metrics page, or -1.
int64_t metric(uint16_t port, const std::string& name) {
  const ParsedResponse page = Get(port, "/$/metrics");
  std::smatch m;
  if (!std::regex_search(page.body, m, std::regex("\n" + name + " ([0-9]+)\n"))) {
    return -1;
  }
  return base::parse_int<int64_t>(m[1].str()).value_or(-1);
}

// A Retry-After of whole seconds, at least one.
void expect_retry_after(const ParsedResponse& r) {
  const std::optional<int> seconds = base::parse_int<int>(r.header("Retry-After"));
  ASSERT_TRUE(seconds) << r.header("Retry-After");
  EXPECT_GE(*seconds, 1);
}

class ClientLimits : public ::testing::Test {
 protected:
  void Start(const std::string& limits) {
    create_named_rows(folder_.database(), 50);
    // No trusted proxy: the client is the connection's peer whatever headers say.
    write_file(folder_.root() / "port.ini",
               "[PORTS]\nPort=0\n[SECURITY]\nTrustedProxies=\n[LIMITS]\n" + limits);
    server_ = std::make_unique<Server>(folder_);
    ASSERT_NE(server_->port(), 0) << server_->output();
  }
  void TearDown() override {
    if (server_ && server_->process().Running()) {
      EXPECT_EQ(server_->Stop(), 0) << server_->output();
    }
  }
  uint16_t port() const { return server_->port(); }

  AppFolder folder_;
  std::unique_ptr<Server> server_;
};

TEST_F(ClientLimits, ASessionFloodIsRefusedForItsAddressAlone) {
  ASSERT_NO_FATAL_FAILURE(Start("NewSessionsPerClientPerMinute=6\nNewSessionBurstPerClient=3\n"));
  Client kept(port(), kFlooder);
  ASSERT_EQ(kept.Call("Add", kAdd).status(), 200);
  ASSERT_FALSE(kept.cookie().empty());

  // Requests without a cookie, each of which would start a session, until one is refused. At
  // one session every ten seconds a slow machine earns a few more than the burst, never many.
  ParsedResponse refused;
  int started = 0;
  for (int i = 0; i < 50 && refused.status_line.empty(); ++i) {
    ParsedResponse r = Get(port(), "/appservice/", "", kFlooder);
    if (r.status() == 503) {
      refused = std::move(r);
    } else {
      ASSERT_EQ(r.status(), 200) << r.body;
      ASSERT_EQ(Cookies(r).size(), 1u);
      ++started;
    }
  }
  ASSERT_FALSE(refused.status_line.empty()) << started << " sessions started, none refused";
  EXPECT_LT(started, 10);
  EXPECT_NE(refused.body.find("too many new sessions from your address"), std::string::npos)
      << refused.body;
  EXPECT_TRUE(Cookies(refused).empty());
  expect_retry_after(refused);

  // The flooder's existing session goes on; a neighbour starts one and is served on it.
  EXPECT_EQ(kept.Call("Add", kAdd).body, envelope("Add", kAdd, kAddResult));
  Client neighbour(port(), kNeighbour);
  EXPECT_EQ(neighbour.Call("Add", kAdd).status(), 200);
  EXPECT_FALSE(neighbour.cookie().empty());
  EXPECT_EQ(neighbour.Call("Add", kAdd).body, envelope("Add", kAdd, kAddResult));
  EXPECT_GE(metric(port(), "appsrv_client_sessions_refused_total"), 1);
}

TEST_F(ClientLimits, AClientBeyondItsDatabaseShareIsRefusedWhileOthersRead) {
  ASSERT_NO_FATAL_FAILURE(Start("MaxDatabaseRequestsPerClient=1\nReadTimeoutMs=6000\n"));
  const std::string quick = "/rest/sqlselect?tblNames=T&fldNames=Name&orderBy=ID&rp=2";
  // Counting an endless series runs until the read deadline stops it.
  const std::string endless =
      "/rest/sqlselect?rp=1&tblNames=" +
      FormEncode(
          "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i FROM n)");
  Client slow(port(), kFlooder);
  Client second(port(), kFlooder);
  Client neighbour(port(), kNeighbour);
  for (Client* c : {&slow, &second, &neighbour}) {
    ASSERT_EQ(c->Call("Add", kAdd).status(), 200);
  }

  // The second request of the same address is refused while the slow one holds the database;
  // before that it is served. Either may come first: a slow read refused because the second
  // held the place is sent again.
  ParsedResponse slow_reply;
  ParsedResponse refused;
  ParsedResponse other;
  ParsedResponse save;
  bool slow_was_running = false;
  for (int attempt = 0; attempt < 5 && refused.status_line.empty(); ++attempt) {
    std::atomic<bool> slow_done{false};
    std::thread reader([&] {
      slow_reply = slow.Get(endless);
      slow_done = true;
    });
    while (!slow_done && refused.status_line.empty()) {
      ParsedResponse r = second.Get(quick);
      if (r.status() == 503) {
        refused = std::move(r);
      } else {
        EXPECT_EQ(r.status(), 200) << r.body;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    if (!refused.status_line.empty()) {
      other = neighbour.Get(quick);
      // A save, which answers its own failures in its result, is refused the same way.
      save =
          second.Call("SaveData", R"({"TableName":"T","KeyFields":"ID","Changes":"<rs:data/>"})");
      slow_was_running = !slow_done;
    }
    reader.join();
  }

  ASSERT_FALSE(refused.status_line.empty()) << "never refused; the slow read: " << slow_reply.body;
  EXPECT_NE(refused.body.find("too many database requests from your address"), std::string::npos)
      << refused.body;
  expect_retry_after(refused);
  EXPECT_EQ(save.status(), 503) << save.body;
  EXPECT_EQ(other.status(), 200) << other.body;
  EXPECT_NE(other.body.find(R"("rows":[["name 1"],["name 2"]])"), std::string::npos) << other.body;
  EXPECT_TRUE(slow_was_running) << "the neighbour's read was not answered within the slow read";
  EXPECT_EQ(slow_reply.status(), 500);
  // Stopped at the read deadline (the error page writes blanks as "&#32;").
  EXPECT_NE(slow_reply.body.find("longer&#32;than&#32;6000&#32;ms"), std::string::npos)
      << slow_reply.body;
  // The place came back with the slow read's end.
  EXPECT_EQ(second.Get(quick).status(), 200);
  EXPECT_GE(metric(port(), "appsrv_client_db_requests_refused_total"), 1);
}

}  // namespace
}  // namespace appsrv::testing
