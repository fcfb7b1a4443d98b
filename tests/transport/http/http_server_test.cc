#include "transport/http/http_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "base/async_line_log.h"
#include "base/exception.h"
#include "base/metrics.h"
#include "server/exchange/memory_stream.h"
#include "server/exchange/stream_helper.h"
#include "tests/transport/access_log_parse.h"
#include "tests/transport/http_test_client.h"
#include "tests/transport/scripted_channel.h"
#include "transport/http/http_exceptions.h"
#include "transport/net/memory_channel.h"

namespace appsrv::transport {
namespace {

using testing::ParsedResponse;
using testing::ParseResponses;

// An HTTP server whose command step describes the request it received, driven over an
// in-memory channel whose input arrives in exactly the pieces a test chooses.
class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() {
    const auto echo = [this](TInContext&, TInHTTPRequestInfo& req, TInHTTPResponseInfo& resp) {
      ++commands_;
      std::string text = req.FCommand + " " + req.FDocument;
      text += "\nparams=" + base::join(req.FParams, "|");
      text += "\ncookies=";
      for (const RequestCookie& c : req.FCookies) {
        text += "[" + c.name + "|" + c.value + "]";
      }
      text += "\nbody=";
      if (req.FPostStream) {
        text += server::TStreamHelper(*req.FPostStream).GetAsString();
      } else {
        text += "(none)";
      }
      if (req.FAuthExists) {
        text += "\nuser=" + req.FAuthUsername + ":" + req.FAuthPassword;
      }
      if (req.FDocument == "/missing") {
        resp.SetResponseNo(404);
      }
      if (req.FDocument == "/fail") {
        throw base::Exception("command failed");
      }
      resp.SetContentType("text/plain; charset=UTF-8");
      resp.FContentText = text;
    };
    server_.OnCommandGet = echo;
    server_.OnCommandOther = echo;
    server_.OnException = [this](TInContext&, const std::exception& e) { failure_ = e.what(); };
  }

  // Serves a connection whose client sends the pieces, then waits for the server to end it;
  // returns what the server wrote.
  // With `gap_ms` above 0 the pieces go out that far apart while the server runs. With
  // `end_sending` the client half-closes after the pieces, as `shutdown(SHUT_WR)` does.
  // The time the client waits in passes on the test clock, so the server's deadlines are met
  // or missed exactly, and without waiting for them.
  std::string Serve(const std::vector<std::string>& pieces, int gap_ms = 0,
                    bool end_sending = false) {
    std::string out;
    IOHandlerSettings settings;
    settings.clock = &clock_;
    server_.ServeConnection(
        std::make_unique<TInIOHandler>(
            std::make_unique<testing::ScriptedChannel>(clock_, pieces, gap_ms, end_sending,
                                                       testing::LoopbackClient::kSafetyTimeoutMs,
                                                       out),
            settings),
        ConnectionEndpoints{"127.0.0.1", 8080, "10.0.0.7", 50000});
    return out;
  }
  std::string Serve(const std::string& raw) { return Serve(std::vector<std::string>{raw}); }

  // The responses to `raw` sent whole, with the Date lines dropped so that runs compare.
  std::vector<ParsedResponse> Responses(const std::string& raw,
                                        std::vector<size_t> head_only = {}) {
    std::string rest;
    std::vector<ParsedResponse> responses = ParseResponses(Serve(raw), &rest, head_only);
    EXPECT_EQ(rest, "");
    return responses;
  }

  testing::ManualClock clock_;
  TInCustomHTTPServer server_;
  int commands_ = 0;
  std::string failure_;
};

// The access log holds what the client sent, byte for byte: a byte from 0x80 up is written as
// its own \xHH, not as the escapes of the U+FFFD that the decoded request line holds.
TEST_F(HttpServerTest, TheAccessLogKeepsTheBytesTheClientSent) {
  const std::string path = ::testing::TempDir() + "access_bytes_" + std::to_string(::getpid());
  std::filesystem::remove(path);
  struct Case {
    std::string request_line;
    std::string headers;
    std::string request;
    std::string referer;
    std::string user_agent;
  };
  const Case kCases[] = {
      {"GET /caf\xC3\xA9 HTTP/1.1", "Referer: http://x/\xE2\x82\xAC\r\nUser-Agent: ua\xFF\r\n",
       "GET /caf\\xC3\\xA9 HTTP/1.1", "http://x/\\xE2\\x82\\xAC", "ua\\xFF"},
      // Only a header line is not ASCII: the request line and the other header are as sent.
      {"GET /plain HTTP/1.1", "X-Other: \x80\r\nUser-Agent:  agent \r\n", "GET /plain HTTP/1.1",
       "-", "agent"},
      {"GET /\xC0\xAF HTTP/1.1", "", "GET /\\xC0\\xAF HTTP/1.1", "-", "-"},
  };
  {
    base::AsyncLineLog log({.path = path});
    server_.SetAccessLog(&log, {});
    for (const Case& c : kCases) {
      Serve(c.request_line + "\r\nHost: h\r\nConnection: close\r\n" + c.headers + "\r\n");
    }
    log.Flush();
    server_.SetAccessLog(nullptr, {});
  }
  std::ifstream in(path, std::ios::binary);
  std::string line;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.request);
    ASSERT_TRUE(std::getline(in, line));
    const std::optional<testing::ParsedAccessLine> p = testing::ParseAccessLine(line);
    ASSERT_TRUE(p) << line;
    EXPECT_EQ(p->request, c.request);
    EXPECT_EQ(p->referer, c.referer);
    EXPECT_EQ(p->user_agent, c.user_agent);
  }
  std::filesystem::remove(path);
}

TEST_F(HttpServerTest, RepliesOfTheServerItself) {
  struct Case {
    std::string raw;
    std::string status_line;
  };
  const Case kCases[] = {
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\nHost:\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST /p HTTP/1.1\r\nHost: h\r\n\r\nabc", "HTTP/1.1 411 Length Required"},
      {"POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\n\r\nabc",
       "HTTP/1.1 400 Bad Request"},
      {"POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
       "HTTP/1.1 400 Bad Request"},
      {"POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n\r\nabc\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
  };
  server_.SetKeepAlive(true);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.raw);
    commands_ = 0;
    const std::vector<ParsedResponse> r =
        Responses(c.raw + "GET /next HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(r.size(), 1u);  // the connection closes: /next is never served
    EXPECT_EQ(r[0].status_line, c.status_line);
    EXPECT_EQ(r[0].header("Connection"), "close");
    EXPECT_EQ(r[0].header("Content-Length"), "0");
    EXPECT_EQ(commands_, 0);
  }
}

// Requests whose body has no certain end. Whatever a proxy in front made of them, the server
// answers 400 and closes, so that no part of them is ever served as a request of its own.
const std::string kFramingFaults[] = {
    // Two Transfer-Encoding lines: the second one counts, and a length beside it.
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n"
    "Content-Length: 4\r\n\r\n"
    "23\r\nGET /smuggled HTTP/1.1\r\nHost: h\r\n\r\n\r\n0\r\n\r\n",
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding : chunked\r\nContent-Length: 5\r\n\r\n"
    "0\r\n\r\n",
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding\t: chunked\r\n\r\n0\r\n\r\n",
    "GET /p HTTP/1.1\r\nHost: h\r\nNo colon here\r\n\r\n",
    "GET /p HTTP/1.1\r\nHost: h\r\nContent-Length: +37\r\n\r\n"
    "GET /smuggled HTTP/1.1\r\nHost: h\r\n\r\n",
    "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 5, 5\r\n\r\nhello",
    "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nContent-Length: 05\r\n\r\nhello",
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n",
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: xchunkedx\r\n\r\n0\r\n\r\n",
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"
    "\r\n0\r\n\r\n",
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
    "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
    "0\r\n\r\n",
    "POST /p HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
    // The chunk's data runs on past its size.
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc0\r\n\r\n",
    "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcdef\r\n0\r\n\r\n",
};

TEST_F(HttpServerTest, FramingFaultsAre400AndClose) {
  server_.SetKeepAlive(true);
  for (const std::string& raw : kFramingFaults) {
    SCOPED_TRACE(raw);
    commands_ = 0;
    const std::vector<ParsedResponse> r = Responses(raw + "GET /next HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status_line, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(r[0].header("Connection"), "close");
    EXPECT_EQ(commands_, 0);
  }
}

// Up to four empty lines before a request line are skipped, on a new connection or between
// pipelined requests; a fifth ends the connection without a reply.
TEST_F(HttpServerTest, EmptyLinesBeforeARequestLine) {
  const std::string last = "GET /2 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  struct Case {
    std::string raw;
    int served;
  };
  const Case kCases[] = {
      {"GET /1 HTTP/1.1\r\nHost: h\r\n\r\n\r\n" + last, 2},
      {"GET /1 HTTP/1.1\r\nHost: h\r\n\r\n\n\r\n\n\r\n" + last, 2},
      {"POST /1 HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nhi\r\n" + last, 2},
      {"\r\n" + last, 1},
      {"\r\n\r\n\r\n\r\n" + last, 1},
      {"\r\n\r\n\r\n\r\n\r\n" + last, 0},
      {"GET /1 HTTP/1.1\r\nHost: h\r\n\r\n\r\n\r\n\r\n\r\n\r\n" + last, 1},
  };
  server_.SetKeepAlive(true);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.raw);
    commands_ = 0;
    const std::vector<ParsedResponse> r = ParseResponses(Serve(c.raw));
    EXPECT_EQ(commands_, c.served);
    ASSERT_EQ(r.size(), static_cast<size_t>(c.served));
    for (const ParsedResponse& response : r) {
      EXPECT_EQ(response.status(), 200);
    }
  }
}

// A client that half-closes after its request has said all it will, and reads on: the end of
// its input must not cost it the reply.
TEST_F(HttpServerTest, AClientThatHalfClosesGetsItsReply) {
  struct Case {
    std::string raw;
    std::vector<std::string> bodies;
  };
  const Case kCases[] = {
      {"POST /p HTTP/1.1\r\nHost: h\r\n\r\n", {"POST /p\nparams=\ncookies=\nbody=(none)"}},
      {"DELETE /d HTTP/1.1\r\nHost: h\r\n\r\n", {"DELETE /d\nparams=\ncookies=\nbody=(none)"}},
      {"GET /g HTTP/1.1\r\nHost: h\r\n\r\n", {"GET /g\nparams=\ncookies=\nbody=(none)"}},
      {"POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nhi",
       {"POST /p\nparams=\ncookies=\nbody=hi"}},
      {"GET /1 HTTP/1.1\r\nHost: h\r\n\r\nPOST /2 HTTP/1.1\r\nHost: h\r\n\r\n",
       {"GET /1\nparams=\ncookies=\nbody=(none)", "POST /2\nparams=\ncookies=\nbody=(none)"}},
  };
  for (const bool keep_alive : {false, true}) {
    server_.SetKeepAlive(keep_alive);
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.raw + (keep_alive ? "(keep-alive)" : ""));
      const std::vector<ParsedResponse> r =
          ParseResponses(Serve({c.raw}, /*gap_ms=*/0, /*end_sending=*/true));
      std::vector<std::string> bodies;
      for (const ParsedResponse& response : r) {
        EXPECT_EQ(response.status(), 200);
        bodies.push_back(response.body);
      }
      // Without keep-alive only the first request of a connection is served.
      const size_t want = keep_alive ? c.bodies.size() : 1;
      EXPECT_EQ(bodies, std::vector<std::string>(c.bodies.begin(), c.bodies.begin() + want));
    }
  }
}

TEST_F(HttpServerTest, UnparsableRequestsCloseWithoutReply) {
  struct Case {
    std::string raw;
    std::string failure;
  };
  const Case kCases[] = {
      {"GET\r\n\r\n", "Error in parsing command."},
      {"GET / HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer abc\r\n\r\n",
       "Unsupported authorization scheme."},
      {"GET / HTTP/1.1\r\nHost: h\r\nX: " + std::string(32769, 'a') + "\r\n\r\n",
       "Max line length exceeded."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.failure);
    failure_.clear();
    EXPECT_EQ(Serve(c.raw), "");
    EXPECT_EQ(failure_, c.failure);
    EXPECT_EQ(commands_, 0);
  }
}

TEST_F(HttpServerTest, HeaderLinesAreCountedAndTheirSizeIsBounded) {
  server_.SetMaximumHeaderLineCount(3);
  std::string four = "GET / HTTP/1.1\r\nHost: h\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n";
  EXPECT_EQ(ParseResponses(Serve(four)).size(), 1u);  // the limit plus one line pass
  failure_.clear();
  std::string five = "GET / HTTP/1.1\r\nHost: h\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n";
  EXPECT_EQ(Serve(five), "");
  EXPECT_EQ(failure_, "Maximum number of line allowed exceeded");

  server_.SetMaximumHeaderLineCount(1024);
  server_.Limits().max_header_bytes = 1000;
  const std::string line = "X-Filler: " + std::string(88, 'x') + "\r\n";  // 100 bytes
  std::string fits = "GET / HTTP/1.1\r\n";                                // 16 bytes
  std::string fills = fits;
  for (int i = 0; i < 9; ++i) {
    fills += line;
  }
  fills += "Host: h\r\n";  // 16 + 900 + 9 + 2 (empty line) = 927
  std::vector<ParsedResponse> ok = ParseResponses(Serve(fills + "\r\n"));
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0].status(), 200);
  std::vector<ParsedResponse> big = ParseResponses(Serve(fills + line + "\r\n"));
  ASSERT_EQ(big.size(), 1u);
  EXPECT_EQ(big[0].status_line, "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_EQ(big[0].header("Connection"), "close");
  // One line longer than what is left of the limit, though short of the line limit.
  std::vector<ParsedResponse> long_line =
      ParseResponses(Serve("GET / HTTP/1.1\r\nX: " + std::string(2000, 'y') + "\r\n\r\n"));
  ASSERT_EQ(long_line.size(), 1u);
  EXPECT_EQ(long_line[0].status(), 431);
}

TEST_F(HttpServerTest, RequestsAsTheCommandSeesThem) {
  struct Case {
    std::string raw;
    std::string echo;
  };
  const Case kCases[] = {
      {"GET / HTTP/1.0\r\n\r\n", "GET /\nparams=\ncookies=\nbody=(none)"},
      {"GET /a%20b/c?a=1&&b=x+y%20z HTTP/1.1\r\nHost: h\r\n\r\n",
       "GET /a b/c\nparams=a=1||b=x y z\ncookies=\nbody=(none)"},
      {"POST /f?q=1 HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 20\r\n\r\nname=J%C3%BCrgen&n=2",
       "POST /f\nparams=name=J\xC3\xBCrgen|n=2|q=1\ncookies=\nbody=(none)"},
      {"POST /f HTTP/1.1\r\nHost: h\r\n"
       "Content-Type: application/x-www-form-urlencoded; charset=iso-8859-1\r\n"
       "Content-Length: 16\r\n\r\nname=J%C3%BCrgen",
       "POST /f\nparams=name=J\xC3\x83\xC2\xBCrgen\ncookies=\nbody=(none)"},
      {"GET /u?v=%u00FC%u20AC HTTP/1.1\r\nHost: h\r\n\r\n",
       "GET /u\nparams=v=\xC3\xBC\xE2\x82\xAC\ncookies=\nbody=(none)"},
      {"GET / HTTP/1.1\r\nHost: h\r\nCookie: a=1; b=\"two\";;c=3\r\nCookie: d=4\r\n\r\n",
       "GET /\nparams=\ncookies=[a|1][b|two][c|3][d|4]\nbody=(none)"},
      {"POST /o HTTP/1.1\r\nHost: h\r\nX-HTTP-Method-Override: put\r\nContent-Length: 2\r\n\r\nhi",
       "PUT /o\nparams=\ncookies=\nbody=hi"},
      {"POST /e HTTP/1.1\r\nHost: h\r\n\r\n", "POST /e\nparams=\ncookies=\nbody=(none)"},
      {"POST /c HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5;ext=1\r\nhello\r\n6 ; a=\"b\"\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n",
       "POST /c\nparams=\ncookies=\nbody=hello world"},
      {"GET / HTTP/1.1\r\nHost: h\r\nAuthorization: basic Ym9iOnNlOmNyZXQ=\r\n\r\n",
       "GET /\nparams=\ncookies=\nbody=(none)\nuser=bob:se:cret"},
      {"GET http://other.example/abs HTTP/1.1\r\n\r\n", "GET /abs\nparams=\ncookies=\nbody=(none)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.raw);
    const std::vector<ParsedResponse> r = Responses(c.raw);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r[0].body, c.echo);
  }
}

TEST_F(HttpServerTest, EveryResponseSaysCloseWhenKeepAliveIsOff) {
  const std::vector<ParsedResponse> r =
      Responses("GET /1 HTTP/1.1\r\nHost: h\r\n\r\nGET /2 HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header("Connection"), "close");
  EXPECT_EQ(r[0].header("Content-Type"), "text/plain; charset=UTF-8");
  EXPECT_EQ(r[0].header("Content-Length"), std::to_string(r[0].body.size()));
  EXPECT_NE(r[0].header("Date"), "(none)");
}

TEST_F(HttpServerTest, KeepAliveDecisions) {
  struct Case {
    std::string first;
    size_t served;  // of the first request and a second one after it
  };
  const Case kCases[] = {
      {"GET /1 HTTP/1.1\r\nHost: h\r\n\r\n", 2},
      {"GET /1 HTTP/1.1\r\nHost: h\r\nConnection: Close\r\n\r\n", 1},
      {"GET /1 HTTP/1.0\r\n\r\n", 1},
      {"GET /1 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 2},
      {"GET /missing HTTP/1.1\r\nHost: h\r\n\r\n", 1},
      {"POST /s HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
       "3\r\nabc\r\n0\r\n\r\n",
       1},
  };
  server_.SetKeepAlive(true);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.first);
    const std::vector<ParsedResponse> r =
        Responses(c.first + "GET /2 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(r.size(), c.served);
    EXPECT_EQ(r[0].header("Connection"), c.served == 2 ? "keep-alive" : "close");
  }
}

// RFC 9112 6.3 would let the coding win over the length; a proxy in front may have taken the
// length instead, so the request is refused rather than read either way.
TEST_F(HttpServerTest, SmuggledChunkedBodyIsRefused) {
  server_.SetKeepAlive(true);
  const std::vector<ParsedResponse> r = Responses(
      "POST /s HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n"
      "\r\n3\r\nabc\r\n0\r\n\r\nGET /smuggled HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].status_line, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(r[0].header("Connection"), "close");
  EXPECT_EQ(commands_, 0);
}

TEST_F(HttpServerTest, HeadCarriesTheLengthButNoBody) {
  const std::vector<ParsedResponse> g = Responses("GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
  server_.SetKeepAlive(true);
  const std::vector<ParsedResponse> r = Responses(
      "HEAD /x HTTP/1.1\r\nHost: h\r\n\r\nGET /x HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n",
      {0});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].body, "");
  const std::string expected_length =
      std::to_string(std::string("HEAD /x\nparams=\ncookies=\nbody=(none)").size());
  EXPECT_EQ(r[0].header("Content-Length"), expected_length);
  EXPECT_EQ(r[1].body, g[0].body);  // the next response is read from the right place
}

TEST_F(HttpServerTest, ExpectContinueBeforeTheBody) {
  const std::string head =
      "POST /up HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n";
  const std::vector<ParsedResponse> r =
      ParseResponses(Serve(std::vector<std::string>{head, "data"}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].status_line, "HTTP/1.1 100 Continue");
  EXPECT_TRUE(r[0].headers.empty());
  EXPECT_EQ(r[1].status(), 200);
  EXPECT_EQ(r[1].body, "POST /up\nparams=\ncookies=\nbody=data");
  // The interim reply names the server's protocol, never the text the client sent.
  const std::vector<ParsedResponse> odd = ParseResponses(Serve(std::vector<std::string>{
      "POST /up XYZ/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n", "data"}));
  ASSERT_FALSE(odd.empty());
  EXPECT_EQ(odd[0].status_line, "HTTP/1.1 100 Continue");
  // When the body came with the header, nobody is waiting for the interim reply.
  const std::vector<ParsedResponse> whole = Responses(head + "data");
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].status(), 200);

  server_.SetKeepAlive(true);
  commands_ = 0;
  const std::vector<ParsedResponse> refused = ParseResponses(Serve(std::vector<std::string>{
      "PUT /p HTTP/1.1\r\nHost: h\r\nExpect: something-else\r\nContent-Length: 4\r\n\r\n",
      "data"}));
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].status_line, "HTTP/1.1 417 Expectation Failed");
  EXPECT_EQ(refused[0].header("Connection"), "close");
  EXPECT_EQ(commands_, 0);
}

// A client that asked to be told before sending its body hears "100 Continue" only when the
// header leaves nothing that could refuse the request; else it gets the refusal alone.
TEST_F(HttpServerTest, NoContinueForARequestThatIsRefused) {
  server_.Limits().max_body_bytes = 10;
  server_.Limits().max_form_bytes = 5;
  const std::string head = "POST /up HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n";
  struct Case {
    std::vector<std::string> pieces;
    std::vector<int> statuses;
  };
  const Case kCases[] = {
      {{head + "Content-Length: 11\r\n\r\n"}, {413}},
      {{head + "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 6\r\n\r\n"},
       {413}},
      {{head + "Content-Length: +4\r\n\r\n"}, {400}},
      {{head + "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"}, {400}},
      {{head + "Transfer-Encoding: chunked, gzip\r\n\r\n"}, {400}},
      {{head + "\r\n"}, {200}},
      {{head + "Content-Length: 4\r\n\r\n", "data"}, {100, 200}},
      {{head + "Transfer-Encoding: chunked\r\n\r\n", "4\r\ndata\r\n0\r\n\r\n"}, {100, 200}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.pieces[0]);
    const std::vector<ParsedResponse> r = ParseResponses(Serve(c.pieces));
    std::vector<int> statuses;
    for (const ParsedResponse& response : r) {
      statuses.push_back(response.status());
    }
    EXPECT_EQ(statuses, c.statuses);
  }
}

// The header announces the body's length before the body is read: what the body became
// meanwhile must not shift where the client takes the next response to start.
TEST_F(HttpServerTest, ABodyNeverExceedsTheLengthItsHeaderAnnounced) {
  server_.OnCommandGet = [this](TInContext& context, TInHTTPRequestInfo& req,
                                TInHTTPResponseInfo& resp) {
    ++commands_;
    if (req.FDocument == "/text") {
      resp.FContentText = "abc";
      WriteHeader(context.IOHandler(), resp);
      resp.FContentText = "abcdef";
      return;
    }
    auto body = std::make_unique<server::TSvMemoryStream>();
    body->WriteBuffer("abc", 3);
    server::Stream& stream = *body;
    resp.FContentStream = std::move(body);
    WriteHeader(context.IOHandler(), resp);
    if (req.FDocument == "/grows") {
      stream.WriteBuffer("def", 3);
    } else if (req.FDocument == "/shrinks") {
      stream.SetSize(1);
    }
  };
  server_.SetKeepAlive(true);
  const std::string next = "GET /next HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  for (const std::string document : {"/grows", "/text"}) {
    SCOPED_TRACE(document);
    commands_ = 0;
    const std::vector<ParsedResponse> r =
        Responses("GET " + document + " HTTP/1.1\r\nHost: h\r\n\r\n" + next);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].body, "abc");
    EXPECT_EQ(r[1].body, "abc");
    EXPECT_EQ(commands_, 2);
  }
  // Too short for its header: the connection ends, the only way left to say so.
  commands_ = 0;
  failure_.clear();
  std::string rest;
  const std::vector<ParsedResponse> shrunk = ParseResponses(
      Serve("GET /shrinks HTTP/1.1\r\nHost: h\r\n\r\n" + next), &rest);
  EXPECT_TRUE(shrunk.empty());
  EXPECT_TRUE(base::starts_with(rest, "HTTP/1.1 200 OK\r\n")) << rest;
  EXPECT_TRUE(base::ends_with(rest, "\r\n\r\n")) << rest;
  EXPECT_EQ(commands_, 1);
  EXPECT_EQ(failure_, "No data to read.");
}

TEST_F(HttpServerTest, FailingCommandIsAnswered500WithItsMessage) {
  const std::vector<ParsedResponse> r = Responses("GET /fail HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].status_line, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(r[0].body, "command failed");
  // The message is written as text/html: nothing in it may run.
  EXPECT_EQ(r[0].header("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(r[0].header("Content-Security-Policy"), "default-src 'none'");
}

TEST_F(HttpServerTest, BodiesOverTheLimitsAre413) {
  server_.Limits().max_body_bytes = 10;
  server_.Limits().max_form_bytes = 5;
  struct Case {
    std::string raw;
    int status;
  };
  const Case kCases[] = {
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n0123456789", 200},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 11\r\n\r\n0123456789A", 413},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 6\r\n\r\na=1234",
       413},
      {"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "6\r\n012345\r\n5\r\n6789A\r\n0\r\n\r\n",
       413},
  };
  base::Counter& refused =
      base::metrics().requests_refused[static_cast<size_t>(base::RequestRefusal::kBodyTooLarge)];
  const uint64_t refused_before = refused.value();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.raw);
    const std::vector<ParsedResponse> r = Responses(c.raw);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status(), c.status);
  }
  EXPECT_EQ(refused.value() - refused_before, 3u);  // each refusal counted under its cause
}

TEST_F(HttpServerTest, ControlCharactersAndFoldedLinesAre400AndClose) {
  using namespace std::string_literals;
  const std::string kCases[] = {
      "GET /a\0b HTTP/1.1\r\nHost: h\r\n\r\n"s,
      "GET / HTTP/1.1\r\nHost: h\r\nX: a\0b\r\n\r\n"s,
      "GET / HTTP/1.1\r\nHost: h\r\nX: a\rb\r\n\r\n",
      "GET /\x01 HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: h\r\nX: a\x1b\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: h\r\nX: a\x7f\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: h\r\nX: a\r\n b\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: h\r\nX: a\r\n\tb\r\n\r\n",
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nT: \0\r\n\r\n"s,
  };
  server_.SetKeepAlive(true);
  for (const std::string& raw : kCases) {
    SCOPED_TRACE(raw);
    commands_ = 0;
    const std::vector<ParsedResponse> r = Responses(raw + "GET /next HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status(), 400);
    EXPECT_EQ(r[0].header("Connection"), "close");
    EXPECT_EQ(commands_, 0);
  }
  // A TAB is a blank like any other.
  const std::vector<ParsedResponse> tab = Responses("GET / HTTP/1.1\r\nHost: h\r\nX: a\tb\r\n\r\n");
  ASSERT_EQ(tab.size(), 1u);
  EXPECT_EQ(tab[0].status(), 200);
  // With folded lines allowed, the continuation is a raw line of its own.
  server_.Limits().refuse_folded_lines = false;
  const std::vector<ParsedResponse> folded =
      Responses("GET / HTTP/1.1\r\nHost: h\r\nX: a\r\n b\r\nConnection: close\r\n\r\n");
  ASSERT_EQ(folded.size(), 1u);
  EXPECT_EQ(folded[0].status(), 200);
}

// Peers that take too long: each case trickles its pieces `gap_ms` apart against short limits.
TEST_F(HttpServerTest, SlowPeersAreClosedAtTheirDeadlines) {
  HttpLimits& limits = server_.Limits();
  limits.header_timeout_ms = 300;
  limits.body_idle_timeout_ms = 200;
  limits.idle_timeout_ms = 200;
  server_.SetKeepAlive(true);
  struct Case {
    std::string name;
    std::vector<std::string> pieces;
    int gap_ms;
    std::vector<int> statuses;  // of the responses before the server closed
  };
  std::vector<std::string> slowloris = {"GET / HTTP/1.1\r\n"};
  // Every line comes well within any per-read limit; the whole block does not.
  for (int i = 0; i < 12; ++i) {
    slowloris.push_back("X-" + std::to_string(i) + ": 1\r\n");
  }
  const std::string head = "POST / HTTP/1.1\r\nHost: h\r\n";
  const Case kCases[] = {
      {"slow headers", slowloris, 60, {408}},
      {"stalled body", {head + "Content-Length: 10\r\n\r\nabc", "defghij"}, 600, {408}},
      {"stalled chunk",
       {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nab", "cde\r\n0\r\n\r\n"},
       600,
       {408}},
      {"silent connection", {""}, 600, {}},
      {"idle after a request", {"GET / HTTP/1.1\r\nHost: h\r\n\r\n"}, 600, {200}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    commands_ = 0;
    const std::vector<ParsedResponse> r = ParseResponses(Serve(c.pieces, c.gap_ms));
    std::vector<int> statuses;
    for (const ParsedResponse& response : r) {
      statuses.push_back(response.status());
    }
    EXPECT_EQ(statuses, c.statuses);
    if (!r.empty() && r.back().status() == 408) {
      EXPECT_EQ(r.back().header("Connection"), "close");
      EXPECT_EQ(commands_, 0);
    }
  }
}

// Header bytes that keep coming at the minimum rate earn time beyond the first bound, never
// beyond the cap; a trickle below the rate earns none.
TEST_F(HttpServerTest, HeaderBytesAtTheMinimumRateEarnTimeUpToTheCap) {
  HttpLimits& limits = server_.Limits();
  limits.header_timeout_ms = 300;
  limits.header_max_timeout_ms = 1000;
  limits.header_min_rate_bytes_per_sec = 100;
  struct Case {
    std::string name;
    int lines;  // header lines after the request line, one every 100 ms
    int line_bytes;
    int status;
  };
  const Case kCases[] = {
      {"steady, past the first bound", 7, 120, 200},
      {"steady, past the cap", 15, 120, 408},
      {"below the rate", 8, 8, 408},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    commands_ = 0;
    std::vector<std::string> pieces = {"GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n"};
    for (int i = 0; i < c.lines; ++i) {
      std::string line = "X-" + std::to_string(i) + ": ";
      line.append(static_cast<size_t>(c.line_bytes) - line.size() - 2, 'v');
      pieces.push_back(line + "\r\n");
    }
    pieces.push_back("\r\n");
    const std::vector<ParsedResponse> r = ParseResponses(Serve(pieces, 100));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status(), c.status);
    EXPECT_EQ(commands_, c.status == 200 ? 1 : 0);
  }
}

// Answers every GET with `bytes` of 'x' (whole MiB) from memory and starts the server;
// `ended` turns true once a connection ends.
void serve_large_replies(TInCustomHTTPServer& server, int64_t bytes, std::atomic<bool>& ended) {
  server.OnCommandGet = [bytes](TInContext&, TInHTTPRequestInfo&, TInHTTPResponseInfo& resp) {
    auto body = std::make_unique<server::TSvMemoryStream>();
    // Made room for at once: growing a block by steps copies it again and again, which under
    // the sanitizers took longer than the deadlines under test.
    body->SetCapacity(bytes);
    const std::string block(size_t{1} << 20, 'x');
    for (int64_t i = 0; i < bytes >> 20; ++i) {
      body->WriteBuffer(block.data(), static_cast<int64_t>(block.size()));
    }
    resp.FContentStream = std::move(body);
  };
  server.OnDisconnect = [&ended](TInContext&) { ended = true; };
  server.SetActive(true);
}

// A client that keeps taking a reply, but slower than the minimum rate, never pauses long
// enough for the stall time-out: the reply's deadline ends the connection.
TEST(HttpServerSend, AReplyTakenBelowTheMinimumRateEndsAtItsDeadline) {
  TInCustomHTTPServer server;
  server.Bindings().Add().FIP = "127.0.0.1";
  server.Limits().send_stall_timeout_ms = 5000;
  server.Limits().send_timeout_ms = 300;
  server.Limits().send_min_rate_bytes_per_sec = 16 << 20;
  constexpr int64_t kReplyBytes = int64_t{32} << 20;
  std::atomic<bool> ended{false};
  serve_large_replies(server, kReplyBytes, ended);
  testing::LoopbackClient client(server.Bindings()[0].FPort);
  client.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  // About 400 KB/s, 4 KB at a time.
  const auto give_up = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(testing::LoopbackClient::kSafetyTimeoutMs);
  int64_t received = 0;
  char block[4096];
  while (!ended && std::chrono::steady_clock::now() < give_up) {
    const ssize_t n = ::recv(client.fd(), block, sizeof block, MSG_DONTWAIT);
    received += n > 0 ? n : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(ended);
  EXPECT_LT(received, kReplyBytes);
  server.SetActive(false);
}

// A peer that stops taking a reply: the send gives up after its time-out and the connection
// ends, rather than holding its thread for good.
TEST(HttpServerSend, AStalledSendEndsTheConnection) {
  TInCustomHTTPServer server;
  server.Bindings().Add().FIP = "127.0.0.1";
  server.Limits().send_stall_timeout_ms = 200;
  std::atomic<bool> ended{false};
  serve_large_replies(server, int64_t{32} << 20, ended);
  testing::LoopbackClient client(server.Bindings()[0].FPort);
  client.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  const auto give_up = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(testing::LoopbackClient::kSafetyTimeoutMs);
  while (!ended && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(ended);
  server.SetActive(false);
}

// The last reply of a connection arrives whole and is followed by the end of the stream, never
// by a reset, whatever the client sent beyond its request: closing a socket with unread bytes
// resets the connection, and the reset drops what the system has not sent yet.
class HttpServerClose : public ::testing::Test {
 protected:
  static constexpr size_t kBigBody = size_t{8} << 20;
  static constexpr size_t kOverLimitBody = 512 * 1024;

  void SetUp() override {
    server_.Bindings().Add().FIP = "127.0.0.1";
    server_.Limits().max_body_bytes = 1024;
    server_.OnCommandGet = [](TInContext&, TInHTTPRequestInfo& req, TInHTTPResponseInfo& resp) {
      if (req.FDocument != "/big") {
        resp.FContentText = "pong";
        return;
      }
      auto body = std::make_unique<server::TSvMemoryStream>();
      body->SetCapacity(static_cast<int64_t>(kBigBody));  // as in serve_large_replies
      const std::string block(size_t{1} << 20, 'x');
      for (size_t i = 0; i < kBigBody / block.size(); ++i) {
        body->WriteBuffer(block.data(), static_cast<int64_t>(block.size()));
      }
      resp.FContentStream = std::move(body);
    };
    server_.OnDisconnect = [this](TInContext&) { ended_ = true; };
    server_.SetActive(true);
  }
  void TearDown() override { server_.SetActive(false); }

  // Waits, within the client's safety time-out, until the server has ended the connection.
  bool WaitForTheEnd() {
    const auto give_up = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(testing::LoopbackClient::kSafetyTimeoutMs);
    while (!ended_ && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ended_;
  }

  TInCustomHTTPServer server_;
  std::atomic<bool> ended_{false};
};

TEST_F(HttpServerClose, TheLastReplyArrivesWholeAndThenTheEndOfTheStream) {
  const std::string small = "GET /small HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  const std::string big = "GET /big HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  const std::string next = "GET /small HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string over_limit =
      "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(kOverLimitBody) +
      "\r\n\r\n" + std::string(kOverLimitBody, 'b');
  struct Case {
    const char* what;
    std::string request;
    std::string once_the_reply_comes;  // sent after the reply's first bytes arrived
    int status;
    size_t body_bytes;
  };
  const Case kCases[] = {
      {"small reply", small, "", 200, 4},
      {"big reply", big, "", 200, kBigBody},
      {"small reply, the next request sent with it", small + next, "", 200, 4},
      {"big reply, the next request sent with it", big + next, "", 200, kBigBody},
      {"small reply, the next request sent while it arrives", small, next, 200, 4},
      {"big reply, the next request sent while it arrives", big, next, 200, kBigBody},
      {"a body over the limit, sent whole", over_limit, "", 413, std::string::npos},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    testing::LoopbackClient client(server_.Bindings()[0].FPort);
    client.Send(c.request);
    std::string received;
    if (!c.once_the_reply_comes.empty()) {
      client.ReadSomeInto(received);
      client.Send(c.once_the_reply_comes);
    }
    bool orderly = false;
    received += client.ReadToClose(&orderly);
    std::string rest;
    const std::vector<ParsedResponse> replies = ParseResponses(received, &rest);
    ASSERT_EQ(replies.size(), 1u) << received.size() << " bytes: " << received.substr(0, 200);
    EXPECT_EQ(replies[0].status(), c.status);
    EXPECT_EQ(replies[0].header("Connection"), "close");
    if (c.body_bytes != std::string::npos) {
      EXPECT_EQ(replies[0].body.size(), c.body_bytes);
    }
    EXPECT_EQ(rest, "");
    EXPECT_TRUE(orderly) << "the connection was reset";
  }
}

// A client that sent more than its request and then neither reads nor closes holds the
// connection no longer than the linger time.
TEST_F(HttpServerClose, TheServerStopsWaitingForTheClientToClose) {
  server_.SetActive(false);
  server_.Limits().close_linger_ms = 50;
  server_.SetActive(true);
  testing::LoopbackClient client(server_.Bindings()[0].FPort);
  client.Send("GET /small HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\nGET /next HTTP/1.1\r\n");
  EXPECT_TRUE(WaitForTheEnd());
  bool orderly = false;
  const std::vector<ParsedResponse> replies = ParseResponses(client.ReadToClose(&orderly));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body, "pong");
  EXPECT_TRUE(orderly);
}

TEST(WriteHeader, HeaderGoesOutOnce) {
  auto channels = make_memory_channel_pair();
  TInIOHandler io(std::move(channels.second));
  TInHTTPResponseInfo response;
  response.SetCloseConnection(true);
  WriteHeader(io, response);
  EXPECT_THROW(WriteHeader(io, response), EInHTTPHeaderAlreadyWritten);
  char buf[512];
  const IoResult r = channels.first->Receive(buf, sizeof buf);
  ASSERT_GT(r.bytes, 0);
  EXPECT_EQ(std::string(buf, 17), "HTTP/1.1 200 OK\r\n");
}

// Each framing fault, split in two at every byte and sent byte by byte, is refused as when sent
// whole: never a response more.
TEST_F(HttpServerTest, FramingFaultsSplitAtEveryByte) {
  server_.SetKeepAlive(true);
  const std::string next = "GET /next HTTP/1.1\r\nHost: h\r\n\r\n";
  for (const std::string& fault : kFramingFaults) {
    const std::string raw = fault + next;
    const auto statuses = [](const std::string& out) {
      std::string text;
      for (const ParsedResponse& r : ParseResponses(out)) {
        text += r.status_line + " " + r.header("Connection") + "\n";
      }
      return text;
    };
    const std::string want = "HTTP/1.1 400 Bad Request close\n";
    for (size_t at = 1; at < raw.size(); ++at) {
      SCOPED_TRACE(::testing::Message() << "split at " << at << " of " << raw);
      ASSERT_EQ(statuses(Serve({raw.substr(0, at), raw.substr(at)})), want);
    }
    std::vector<std::string> bytes;
    for (char c : raw) {
      bytes.emplace_back(1, c);
    }
    SCOPED_TRACE(raw);
    EXPECT_EQ(statuses(Serve(bytes)), want);
  }
}

// Every request below, split in two at every byte, gets the same answer as when sent whole.
TEST_F(HttpServerTest, SplitAtEveryByte) {
  const std::string kRequests[] = {
      "POST /c?x=1 HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
      "5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n",
      "POST /f HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: 11\r\nCookie: a=1\r\nConnection: close\r\n\r\nname=J%C3%BC",
      "GET /1 HTTP/1.0\r\nConnection: keep-alive\r\n\r\nGET /2?q HTTP/1.1\r\nHost: h\n"
      "X-Folded: a\r\n b\r\nConnection: close\r\n\r\n",
  };
  server_.SetKeepAlive(true);
  server_.Limits().refuse_folded_lines = false;
  const auto without_dates = [](const std::vector<ParsedResponse>& responses) {
    std::string text;
    for (const ParsedResponse& r : responses) {
      text += r.status_line + "\n";
      for (const std::string& h : r.headers) {
        text += base::istarts_with(h, "Date:") ? "" : h + "\n";
      }
      text += r.body + "\n";
    }
    return text;
  };
  for (const std::string& raw : kRequests) {
    const std::string whole = without_dates(ParseResponses(Serve(raw)));
    ASSERT_NE(whole.find("200 OK"), std::string::npos) << whole;
    for (size_t at = 1; at < raw.size(); ++at) {
      SCOPED_TRACE(::testing::Message() << "split at " << at << " of " << raw);
      EXPECT_EQ(without_dates(ParseResponses(Serve({raw.substr(0, at), raw.substr(at)}))), whole);
    }
    std::vector<std::string> bytes;
    for (char c : raw) {
      bytes.emplace_back(1, c);
    }
    EXPECT_EQ(without_dates(ParseResponses(Serve(bytes))), whole);
  }
}

}  // namespace
}  // namespace appsrv::transport
