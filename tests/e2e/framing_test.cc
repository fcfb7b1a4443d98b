// Where one request ends and the next begins, as the program reads raw bytes on a kept-alive
// connection: a request whose body has no certain end is refused with 400 and the connection
// closed, so that nothing of it is ever served as a request of its own; a well-framed one is
// served whatever leads or follows it. Behind HAProxy with the shipped configuration, the
// program serves exactly the requests HAProxy relays, whatever framing a client tries.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "tests/e2e/app_folder.h"
#include "tests/e2e/haproxy_front.h"
#include "tests/support/http_client.h"

namespace appsrv::testing {
namespace {

using transport::testing::LoopbackClient;
using transport::testing::ParseResponses;

// The requests of one case, told apart in the access log by `tag` in their targets.
struct Tagged {
  explicit Tagged(const std::string& tag)
      : ping("POST /$/ping?" + tag + " HTTP/1.1\r\nHost: h\r\n"),
        smuggled("GET /$/ping?" + tag + "-smuggled HTTP/1.1\r\nHost: h\r\n\r\n"),
        next("GET /$/ping?" + tag + "-next HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n") {}
  // The smuggled request as one chunk, the chunked body ending after it.
  std::string smuggled_chunk() const {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", smuggled.size());
    return std::string(size) + "\r\n" + smuggled + "\r\n0\r\n\r\n";
  }
  // The length of an empty chunked body followed by the smuggled request.
  std::string after_last_chunk() const { return std::to_string(5 + smuggled.size()); }

  std::string ping;      // request line and Host; the case adds the rest of the head
  std::string smuggled;  // a whole request
  std::string next;      // a whole request that ends the connection
};

struct FramingCase {
  const char* name;
  std::string (*raw)(const Tagged& t);
};

// Requests whose body has no certain end: one reader could take the smuggled request for the
// body, another for a request of its own.
const FramingCase kAmbiguous[] = {
    {"a length, then chunked (CL.TE)",
     [](const Tagged& t) {
       return t.ping + "Content-Length: " + t.after_last_chunk() +
              "\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + t.smuggled;
     }},
    {"chunked, then a length (TE.CL)",
     [](const Tagged& t) {
       return t.ping + "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n" +
              t.smuggled_chunk();
     }},
    {"a second Transfer-Encoding line and a length",
     [](const Tagged& t) {
       return t.ping +
              "Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\nContent-Length: 4\r\n"
              "\r\n" +
              t.smuggled_chunk();
     }},
    {"a blank before the colon",
     [](const Tagged& t) {
       return t.ping + "Transfer-Encoding : chunked\r\nContent-Length: " + t.after_last_chunk() +
              "\r\n\r\n0\r\n\r\n" + t.smuggled;
     }},
    {"a signed length",
     [](const Tagged& t) {
       return t.ping + "Content-Length: +" + std::to_string(t.smuggled.size()) + "\r\n\r\n" +
              t.smuggled;
     }},
    {"a list of lengths",
     [](const Tagged& t) { return t.ping + "Content-Length: 5, 5\r\n\r\nhello"; }},
    {"two different lengths",
     [](const Tagged& t) {
       return t.ping + "Content-Length: 0\r\nContent-Length: " + std::to_string(t.smuggled.size()) +
              "\r\n\r\n" + t.smuggled;
     }},
    {"chunked before another coding",
     [](const Tagged& t) {
       return t.ping +
              "Transfer-Encoding: chunked, gzip\r\nContent-Length: " + t.after_last_chunk() +
              "\r\n\r\n0\r\n\r\n" + t.smuggled;
     }},
    {"a coding that only contains chunked",
     [](const Tagged& t) {
       return t.ping + "Transfer-Encoding: xchunked\r\nContent-Length: " + t.after_last_chunk() +
              "\r\n\r\n0\r\n\r\n" + t.smuggled;
     }},
    {"chunked twice",
     [](const Tagged& t) {
       return t.ping + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" +
              t.smuggled_chunk();
     }},
    {"chunked beside a length",
     [](const Tagged& t) {
       return t.ping + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n";
     }},
    {"chunked as a folded line",
     [](const Tagged& t) {
       return t.ping +
              "Transfer-Encoding: identity\r\n chunked\r\nContent-Length: " + t.after_last_chunk() +
              "\r\n\r\n0\r\n\r\n" + t.smuggled;
     }},
    {"chunked after a line ending in a bare LF",
     [](const Tagged& t) {
       return t.ping + "Content-Length: " + t.after_last_chunk() +
              "\r\nX-Pad: 1\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + t.smuggled;
     }},
    {"chunked in HTTP/1.0",
     [](const Tagged& t) {
       std::string ping = t.ping;
       ping.replace(ping.find("HTTP/1.1"), 8, "HTTP/1.0");
       return ping + "Connection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n" +
              t.smuggled_chunk();
     }},
    {"chunk data longer than its size",
     [](const Tagged& t) {
       return t.ping + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcXY\r\n0\r\n\r\n" + t.smuggled;
     }},
    {"chunk data followed by the next size line at once",
     [](const Tagged& t) {
       return t.ping + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc0\r\n\r\n" + t.smuggled;
     }},
};

// One request each, with one certain end (some of them unusual): served once, and the request
// in a body never.
const FramingCase kWellFramed[] = {
    {"chunked with a blank before the coding",
     [](const Tagged& t) {
       return t.ping + "Transfer-Encoding:  chunked\r\n\r\n" + t.smuggled_chunk();
     }},
    {"chunked with a trailer",
     [](const Tagged& t) {
       return t.ping + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n";
     }},
    {"a request in the body",
     [](const Tagged& t) {
       return t.ping + "Content-Length: " + std::to_string(t.smuggled.size()) + "\r\n\r\n" +
              t.smuggled;
     }},
    {"empty lines before the request line", [](const Tagged& t) { return "\r\n\r\n" + t.next; }},
    {"a body followed by an extra line end",
     [](const Tagged& t) { return t.ping + "Content-Length: 2\r\n\r\nhi\r\n"; }},
};

// Every byte the program sends on one connection after `raw`, the client's end closed for
// writing once it is out, so that nothing waits for more of a request.
std::string exchange(uint16_t port, const std::string& raw, const char* source = nullptr) {
  LoopbackClient client(port, "127.0.0.1", source);
  client.Send(raw);
  client.ShutdownWrite();
  return client.ReadToClose();
}

class Framing : public ::testing::Test {
 protected:
  void SetUp() override {
    // Keep-alive on, as behind a proxy: only then can a misread body pass for a request.
    write_file(folder_.root() / "port.ini",
               "[PORTS]\nPort=0\n[HTTP]\nKeepAlive=1\n[LIMITS]\nMaxBodyBytes=1000\n");
    // A database, so that the balancer's readiness check lets the program into its pool.
    write_file(folder_.database(), "");
    server_ = std::make_unique<Server>(folder_);
    ASSERT_NE(server_->port(), 0);
  }
  void TearDown() override { EXPECT_EQ(server_->Stop(), 0); }

  // The statuses of every response to `raw`, read until the program closes.
  std::vector<int> StatusesOf(const std::string& raw, bool half_close = false) {
    LoopbackClient client(server_->port());
    client.Send(raw);
    if (half_close) {
      client.ShutdownWrite();
    }
    std::vector<int> statuses;
    for (const ParsedResponse& r : ParseResponses(client.ReadToClose())) {
      statuses.push_back(r.status());
      last_connection_ = r.header("Connection");
    }
    return statuses;
  }

  AppFolder folder_;
  std::unique_ptr<Server> server_;
  std::string last_connection_;
};

TEST_F(Framing, RequestsWhoseBodyHasNoCertainEndAre400AndClose) {
  const Tagged t("direct");
  for (const FramingCase& c : kAmbiguous) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StatusesOf(c.raw(t) + t.next), std::vector<int>{400});
    EXPECT_EQ(last_connection_, "close");
  }
}

TEST_F(Framing, WellFramedRequestsAreServedWhateverLeadsOrFollowsThem) {
  const Tagged t("direct");
  struct Case {
    std::string name;
    std::string raw;
    std::vector<int> statuses;
  };
  const Case kCases[] = {
      {"chunked with a trailer", kWellFramed[1].raw(t) + t.next, {200, 200}},
      {"a request in the body", kWellFramed[2].raw(t) + t.next, {200, 200}},
      {"an empty line before the next request", t.smuggled + "\r\n" + t.next, {200, 200}},
      {"empty lines before the first request", kWellFramed[3].raw(t), {200}},
      {"a body followed by an extra line end", kWellFramed[4].raw(t) + t.next, {200, 200}},
      {"an empty port in Host",
       "GET /$/ping HTTP/1.1\r\nHost: example.com:\r\n\r\n" + t.next,
       {200, 200}},
      // The client waits for the interim reply, which a refusal must not precede.
      {"a body over the cap that waits for 100 Continue",
       t.ping + "Expect: 100-continue\r\nContent-Length: 1001\r\n\r\n",
       {413}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StatusesOf(c.raw), c.statuses);
  }
}

// A client that half-closes once its request is out still reads the reply, and gets the one a
// client keeping its end open gets.
TEST_F(Framing, AClientThatHalfClosesGetsItsReply) {
  const std::string kRequests[] = {
      "POST /$/ping HTTP/1.1\r\nHost: h\r\n\r\n",
      "DELETE /$/ping HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET /$/ping HTTP/1.1\r\nHost: h\r\n\r\n",
      "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nhi",
  };
  for (const std::string& raw : kRequests) {
    SCOPED_TRACE(raw);
    const std::vector<int> open_end =
        StatusesOf(raw.substr(0, raw.find("\r\n") + 2) + "Connection: close\r\n" +
                   raw.substr(raw.find("\r\n") + 2));
    ASSERT_EQ(open_end.size(), 1u);
    EXPECT_EQ(StatusesOf(raw, /*half_close=*/true), open_end);
  }
}

// The replies in `bytes` as Debian's h11 reads them as a client: "" when it read them all,
// else what it said.
std::string h11_complaint(const std::filesystem::path& folder, const std::string& bytes) {
  const std::filesystem::path file = folder / "replies.bin";
  write_file(file, bytes);
  ChildProcess reader(
      {find_program("python3"), std::string(APPSRV_SOURCE_DIR) + "/tests/e2e/h11_read_replies.py",
       file.string()},
      folder.string());
  std::string said;
  while (const std::optional<std::string> line = reader.ReadLine(seconds(30))) {
    said += *line + "\n";
  }
  return reader.Wait(seconds(30)) == 0 ? "" : said;
}

bool h11_installed() {
  const std::string python = find_program("python3");
  if (python.empty()) {
    return false;
  }
  ChildProcess probe({python, "-c", "import h11"}, ".");
  return probe.Wait(seconds(30)) == 0;
}

// Lines of the program's access log whose request names `tag`.
int logged_requests(const AppFolder& folder, const std::string& tag) {
  int n = 0;
  for (const std::string& line :
       base::split(read_file(folder.root() / "appserver-access.log"), '\n')) {
    n += line.find("/$/ping?" + tag + " ") != std::string::npos ||
                 line.find("/$/ping?" + tag + "-") != std::string::npos
             ? 1
             : 0;
  }
  return n;
}

// Every framing case sent through HAProxy and straight at the program, keep-alive on: behind
// HAProxy the program serves just what HAProxy relays; straight at it, the case is refused or
// served once, never twice; and h11 reads every reply the program sends.
TEST_F(Framing, BehindHaproxyTheProgramServesWhatHaproxyRelays) {
  if (const std::string missing = HaproxyFront::Missing(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  if (!h11_installed()) {
    GTEST_SKIP() << "python3-h11 is not installed";
  }
  HaproxyFront proxy(folder_.root(), server_->port());
  ASSERT_NE(proxy.port(), 0);
  std::vector<FramingCase> cases(std::begin(kAmbiguous), std::end(kAmbiguous));
  cases.insert(cases.end(), std::begin(kWellFramed), std::end(kWellFramed));
  int index = 0;
  for (const FramingCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string number = std::to_string(++index);

    const Tagged relayed("relayed" + number);
    const int64_t answered_before = proxy.ServerResponses();
    const std::string through = exchange(proxy.port(), c.raw(relayed));
    // The access log is written a moment later, in the order requests end: once a request
    // sent after the case is in it, so is everything of the case.
    const std::string mark = "mark" + number;
    EXPECT_EQ(ParseResponses(exchange(server_->port(), Tagged(mark).next)).size(), 1u);
    const auto deadline = std::chrono::steady_clock::now() + seconds(30);
    while (logged_requests(folder_, mark) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(logged_requests(folder_, "relayed" + number),
              proxy.ServerResponses() - answered_before)
        << "through HAProxy:\n"
        << through;
    EXPECT_EQ(h11_complaint(folder_.root(), through), "");

    const Tagged direct("direct" + number);
    const std::string replies = exchange(server_->port(), c.raw(direct));
    int served = 0;
    for (const ParsedResponse& r : ParseResponses(replies)) {
      served += r.status() < 400 ? 1 : 0;
    }
    EXPECT_LE(served, 1) << replies;
    EXPECT_EQ(h11_complaint(folder_.root(), replies), "") << replies;
  }
}

}  // namespace
}  // namespace appsrv::testing
