// Where one request ends and the next begins, as the program reads raw bytes on a kept-alive
// connection: a request whose body has no certain end is refused with 400 and the connection
// closed, so that nothing of it is ever served as a request of its own; a well-framed one is
// served whatever leads or follows it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/app_folder.h"
#include "tests/support/http_client.h"

namespace appsrv::testing {
namespace {

using transport::testing::LoopbackClient;
using transport::testing::ParseResponses;

class Framing : public ::testing::Test {
 protected:
  void SetUp() override {
    // Keep-alive on, as behind a proxy: only then can a misread body pass for a request.
    write_file(folder_.root() / "port.ini",
               "[PORTS]\nPort=0\n[HTTP]\nKeepAlive=1\n[LIMITS]\nMaxBodyBytes=1000\n");
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

const std::string kPing = "POST /$/ping HTTP/1.1\r\nHost: h\r\n";
const std::string kNext = "GET /$/ping HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
const std::string kSmuggled = "GET /$/ping HTTP/1.1\r\nHost: h\r\n\r\n";  // 0x21 bytes

TEST_F(Framing, RequestsWhoseBodyHasNoCertainEndAre400AndClose) {
  struct Case {
    std::string name;
    std::string raw;
  };
  const Case kCases[] = {
      {"a second Transfer-Encoding line and a length",
       kPing + "Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\nContent-Length: 4\r\n"
               "\r\n21\r\n" + kSmuggled + "\r\n0\r\n\r\n"},
      {"a blank before the colon",
       kPing + "Transfer-Encoding : chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n"},
      {"a signed length",
       "GET /$/ping HTTP/1.1\r\nHost: h\r\nContent-Length: +33\r\n\r\n" + kSmuggled},
      {"a list of lengths", kPing + "Content-Length: 5, 5\r\n\r\nhello"},
      {"chunked before another coding", kPing + "Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n"},
      {"a coding that only contains chunked",
       kPing + "Transfer-Encoding: xchunkedx\r\n\r\n0\r\n\r\n"},
      {"chunked twice",
       kPing + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
      {"chunked beside a length",
       kPing + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
      {"chunked in HTTP/1.0",
       "POST /$/ping HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
       "0\r\n\r\n"},
      {"chunk data longer than its size",
       kPing + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcXY\r\n0\r\n\r\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StatusesOf(c.raw + kNext), std::vector<int>{400});
    EXPECT_EQ(last_connection_, "close");
  }
}

TEST_F(Framing, WellFramedRequestsAreServedWhateverLeadsOrFollowsThem) {
  struct Case {
    std::string name;
    std::string raw;
    std::vector<int> statuses;
  };
  const Case kCases[] = {
      {"chunked with a trailer",
       kPing + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n" + kNext,
       {200, 200}},
      {"an empty line before the next request", kSmuggled + "\r\n" + kNext, {200, 200}},
      {"empty lines before the first request", "\r\n\r\n" + kNext, {200}},
      {"a body followed by an extra line end",
       kPing + "Content-Length: 2\r\n\r\nhi\r\n" + kNext, {200, 200}},
      {"an empty port in Host", "GET /$/ping HTTP/1.1\r\nHost: example.com:\r\n\r\n" + kNext,
       {200, 200}},
      // The client waits for the interim reply, which a refusal must not precede.
      {"a body over the cap that waits for 100 Continue",
       kPing + "Expect: 100-continue\r\nContent-Length: 1001\r\n\r\n", {413}},
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
    const std::vector<int> open_end = StatusesOf(raw.substr(0, raw.find("\r\n") + 2) +
                                                 "Connection: close\r\n" +
                                                 raw.substr(raw.find("\r\n") + 2));
    ASSERT_EQ(open_end.size(), 1u);
    EXPECT_EQ(StatusesOf(raw, /*half_close=*/true), open_end);
  }
}

}  // namespace
}  // namespace appsrv::testing
