#include "transport/bridge/server_bridge.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "base/files.h"
#include "base/text.h"
#include "server/exchange/file_stream.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/pipeline/app_cache.h"
#include "tests/server/inflate_util.h"
#include "tests/server/pipeline_fixture.h"
#include "tests/transport/http_test_client.h"
#include "transport/bridge/bound_ip_list.h"
#include "transport/bridge/bridge_payload.h"

namespace appsrv::transport {
namespace {

using server::THttpReply;
using server::THttpRequest;
using testing::LoopbackClient;
using testing::ParsedResponse;

// A TSaServerArdo on a free loopback port in front of the real pipeline; paths under "/echo/"
// answer with what the pipeline received, or with the reply a test asks for.
class BridgeTest : public server::testing::PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    Configure();
    controller_->OnExecuteRequest = [this](const std::string& path, THttpRequest& request,
                                           bool& handled, THttpReply& reply) {
      if (base::starts_with(path, "/echo/")) {
        handled = true;
        Echo(path, request, reply);
      }
    };
    host_ = std::make_unique<TSaServerArdo>(*controller_);
    port_ = controller_->Port();
  }
  void TearDown() override {
    host_.reset();
    // Bodies, uploads and spilled packets are gone once their requests have ended.
    EXPECT_EQ(server::testing::file_names(controller_->CacheDir()), std::vector<std::string>{});
    PipelineTest::TearDown();
  }
  // Changes the controller's settings before the host starts.
  virtual void Configure() {}
  // Replaces the controller by one of class T.
  template <class T>
  void UseController() {
    server::FreeServerController();
    server::SetServerControllerClass<T>();
    controller_ = &server::InitServerController(folder_.environment(clock_));
  }

  void Echo(const std::string& path, THttpRequest& request, THttpReply& reply) {
    const std::string n = request.QueryFields().value("n");
    if (path == "/echo/fields") {
      std::string text = "host=" + request.mHost + "\nport=" + std::to_string(request.mServerPort);
      text += "\nmethod=" + std::to_string(static_cast<int>(request.mHttpMethod));
      text += "\nquery=" + request.mQuery;
      text += "\nquery_fields=" + base::join(request.mQueryFields.lines(), "|");
      text += "\ncookies=" + base::join(request.mCookieFields.lines(), "|");
      text += "\nhas_content=" + std::to_string(request.mHasContent);
      text += "\nremote=" + request.mRemoteAddr;
      text += "\nauthorization=" + request.mAuthorization;
      text += "\nhttps=" + request.mHttpsHeader;
      for (size_t i = 0; i < request.mFiles.Count(); ++i) {
        const server::THttpFile& f = request.mFiles[i];
        text += "\nfile=" + f.mFileName + "|" + f.mFieldName + "|" + f.mContentType + "|" +
                std::to_string(f.mFileSize) + "|" + base::read_file(f.mTempPathName);
        upload_paths_.push_back(f.mTempPathName);
        // In the folder TearDown finds empty once the requests have ended.
        EXPECT_TRUE(base::starts_with(f.mTempPathName, controller_->CacheDir()));
      }
      reply.WriteString(text);
    } else if (path == "/echo/headers") {
      reply.WriteString(base::join(request.mRawHeaders.lines(), "|"));
    } else if (path == "/echo/reply") {
      reply.mCookies.AddCookie("kept", "v1", "/app", 0, true, false);
      reply.mCookies.RemoveCookie("gone", "/");
      reply.AddHeader("X-Extra", "yes");
      reply.SetCode(202);
      reply.mCodeText = "Taken";
      reply.WriteString("done");
    } else if (path == "/echo/session") {
      reply.mCookies.AddCookie(controller_->SessionCookieName(), "id_1", "/", 0, true, false);
      reply.mCookies.AddCookie("other", "v", "/", 0, false, false);
      reply.WriteString("ok");
    } else if (path == "/echo/missing") {
      reply.SetCode(404);
    } else if (path == "/echo/text") {
      std::string text;
      for (int i = 0; static_cast<int>(text.size()) < std::stoi(n); ++i) {
        text += "line " + std::to_string(i) + "\n";
      }
      text.resize(static_cast<size_t>(std::stoi(n)));
      reply.WriteString(text);
    } else if (path == "/echo/cachefile") {
      // A one-time cache file: its own trailer names the content type.
      const std::string file = server::TSvAppCache::NewTempFileName();
      server::TCacheStream cache(std::make_unique<server::WriteFileStream>(file), file, "",
                                 "text/plain; charset=UTF-8", server::TCacheType::ctOneTime);
      cache.Write("cached!", 7);
      cache.Close();
      reply.SendCacheFile(file);
    } else if (path == "/echo/nocompress") {
      reply.AddHeader("no-compression", "");
      reply.mHeaders.lines().back() = "no-compression";
      reply.WriteString(std::string(3000, 'z'));
    }
  }

  // Sends `raw` on a new connection and reads until the server closes it.
  std::vector<ParsedResponse> Exchange(const std::string& raw, std::vector<size_t> head_only = {}) {
    LoopbackClient client(port_);
    client.Send(raw);
    std::string rest;
    std::vector<ParsedResponse> r = testing::ParseResponses(client.ReadToClose(), &rest, head_only);
    EXPECT_EQ(rest, "");
    return r;
  }
  ParsedResponse One(const std::string& raw) {
    std::vector<ParsedResponse> r = Exchange(raw);
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? ParsedResponse{} : r[0];
  }
  static std::string Get(const std::string& target, const std::string& headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: example.org\r\n" + headers + "\r\n";
  }
  static std::string Post(const std::string& target, const std::string& content_type,
                          const std::string& body, const std::string& headers = "") {
    return "POST " + target + " HTTP/1.1\r\nHost: example.org\r\nContent-Type: " + content_type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body;
  }

  std::unique_ptr<TSaServerArdo> host_;
  int port_ = 0;
  std::vector<std::string> upload_paths_;  // written by the connection thread, read after it
};

TEST_F(BridgeTest, PortZeroIsReplacedByTheBoundPort) {
  EXPECT_GT(port_, 0);
  EXPECT_TRUE(host_->HTTP().Active());
  EXPECT_FALSE(host_->HTTPS().Active());
  EXPECT_EQ(controller_->SSLOptions().Port, 0);
  ASSERT_EQ(host_->HTTP().Bindings().Count(), 1u);
  EXPECT_EQ(host_->HTTP().Bindings()[0].FIP, "0.0.0.0");
}

TEST_F(BridgeTest, PingAnswersPongWithConnectionTypeLengthAndDateInThatOrder) {
  const ParsedResponse r = One(Get("/$/ping"));
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  ASSERT_GE(r.headers.size(), 4u);
  EXPECT_EQ(r.headers[0], "Connection: close");
  EXPECT_EQ(r.headers[1], "Content-Type: text/html; charset=UTF-8");
  EXPECT_EQ(r.headers[2], "Content-Length: 4");
  EXPECT_TRUE(base::starts_with(r.headers[3], "Date: ")) << r.headers[3];
  EXPECT_EQ(r.body, "Pong");
}

TEST_F(BridgeTest, HostHeaderGivesHostAndPort) {
  struct Case {
    std::string host_header;
    std::string status_line;
    std::string host_and_port;
  };
  const Case kCases[] = {
      {"Host: example.org:8888", "HTTP/1.1 200 OK", "host=example.org\nport=8888"},
      {"Host: example.org", "HTTP/1.1 200 OK", "host=example.org\nport=" + std::to_string(port_)},
      {"Host: example.org:", "HTTP/1.1 200 OK", "host=example.org\nport=" + std::to_string(port_)},
      {"Host: example.org:http", "HTTP/1.1 400 'http' is not a valid integer value", ""},
      {"Host: [::1]:8888", "HTTP/1.1 400 ':1]:8888' is not a valid integer value", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.host_header);
    const ParsedResponse r = One("GET /echo/fields HTTP/1.1\r\n" + c.host_header + "\r\n\r\n");
    EXPECT_EQ(r.status_line, c.status_line);
    EXPECT_EQ(r.body.substr(0, c.host_and_port.size()), c.host_and_port);
    if (r.status() == 400) {
      EXPECT_EQ(r.header("Content-Length"), "0");
      EXPECT_EQ(r.body, "");
    }
  }
}

// Whether a request is secure is the listener's fact: the client's own HTTPS header is no
// evidence either way.
TEST_F(BridgeTest, TheHttpsFieldComesFromTheListener) {
  struct Case {
    bool tls;
    std::string client_header;
    std::string want;
  };
  const Case kCases[] = {
      {false, "", "\nhttps=off\n"},
      {false, "HTTPS: on\r\n", "\nhttps=off\n"},
      {false, "https: ON\r\nHTTPS: on\r\n", "\nhttps=off\n"},
      {true, "", "\nhttps=on\n"},
      {true, "HTTPS: off\r\n", "\nhttps=on\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.tls) + " " + c.client_header);
    host_->HTTP().SetServesTLS(c.tls);
    const ParsedResponse r = One(Get("/echo/fields", c.client_header));
    EXPECT_NE((r.body + "\n").find(c.want), std::string::npos) << r.body;
  }
}

TEST_F(BridgeTest, MalformedRequestsOverRawSockets) {
  struct Case {
    std::string raw;
    std::string status_line;  // "" for no reply at all
  };
  const Case kCases[] = {
      {"GET /$/ping HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET /$/ping HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET\r\n\r\n", ""},
      {"POST /echo/fields HTTP/1.1\r\nHost: h\r\n\r\nbody", "HTTP/1.1 411 Length Required"},
      {"POST /echo/fields HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc",
       "HTTP/1.1 400 Bad Request"},
      {"POST /echo/fields HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n-1\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"GET /$/ping HTTP/1.1\r\nHost: h\r\nX-Big: " + std::string(30000, 'a') + "\r\nX-Big2: " +
           std::string(30000, 'b') + "\r\nX-Big3: " + std::string(10000, 'c') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.raw.substr(0, 60));
    const std::vector<ParsedResponse> r = Exchange(c.raw);
    if (c.status_line.empty()) {
      EXPECT_TRUE(r.empty());
    } else {
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0].status_line, c.status_line);
      EXPECT_EQ(r[0].header("Connection"), "close");
    }
  }
}

TEST_F(BridgeTest, QueryFormAndCookiesReachThePipelineDecoded) {
  struct Case {
    std::string raw;
    std::string fields;  // the query_fields line
  };
  const Case kCases[] = {
      {Get("/echo/fields?a=1&&b=x+y%20z"), "query_fields=a=1||b=x y z"},
      {Get("/echo/fields?v=%u00FC%u20AC"), "query_fields=v=\xC3\xBC\xE2\x82\xAC"},
      {Post("/echo/fields?q=1", "application/x-www-form-urlencoded",
            "Function=Add&name=J%C3%BCrgen"),
       "query_fields=Function=Add|name=J\xC3\xBCrgen|q=1"},
      {Post("/echo/fields", "application/x-www-form-urlencoded; charset=iso-8859-1",
            "name=J%C3%BCrgen"),
       "query_fields=name=J\xC3\x83\xC2\xBCrgen"},
      {Post("/echo/fields", "application/x-www-form-urlencoded; charset=windows-1252", "e=%80"),
       "query_fields=e=\xE2\x82\xAC"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.raw);
    const ParsedResponse r = One(c.raw);
    EXPECT_EQ(r.status(), 200);
    EXPECT_NE(r.body.find("\n" + c.fields + "\n"), std::string::npos) << r.body;
  }
  const ParsedResponse cookies = One(Get("/echo/fields", "Cookie: a=1; b=\"two\";;c=3\r\n"));
  EXPECT_NE(cookies.body.find("\ncookies=a=1|b=two|c=3\n"), std::string::npos) << cookies.body;
}

TEST_F(BridgeTest, RequestFieldsOfThePacket) {
  const ParsedResponse post =
      One(Post("/echo/fields", "text/plain", "abc", "Authorization: Basic Ym9iOnM=\r\n"));
  EXPECT_NE(post.body.find("\nmethod=3\n"), std::string::npos) << post.body;
  EXPECT_NE(post.body.find("\nhas_content=1\n"), std::string::npos);
  EXPECT_NE(post.body.find("\nremote=127.0.0.1\n"), std::string::npos);
  EXPECT_NE(post.body.find("\nauthorization=Basic Ym9iOnM="), std::string::npos);
  const ParsedResponse chunked =
      One("POST /echo/fields HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: "
          "chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
  EXPECT_NE(chunked.body.find("\nhas_content=0\n"), std::string::npos) << chunked.body;
  const ParsedResponse put =
      One("POST /echo/fields HTTP/1.1\r\nHost: h\r\n"
          "X-HTTP-Method-Override: put\r\nContent-Length: 0\r\n\r\n");
  EXPECT_NE(put.body.find("\nmethod=2\n"), std::string::npos) << put.body;
  // Raw header lines travel as received.
  const ParsedResponse headers =
      One(Get("/echo/headers", "X-Tab: a\tb\r\nHTTP_X_FORWARDED_FOR:10.9.8.7\r\n"));
  EXPECT_EQ(headers.body, "Host: example.org|X-Tab: a\tb|HTTP_X_FORWARDED_FOR:10.9.8.7");
}

// The packet borrows the request's header lines and parameters; the request has them back
// afterwards, also when the packet cannot be written.
TEST(BridgePayloadTest, TheRequestKeepsItsLinesAfterItsPacketIsWritten) {
  TInHTTPRequestInfo request;
  request.FRawHeaders.lines() = {"Host: h:81", "Accept-Encoding: gzip"};
  request.FParams = {"a=1", "b=2"};
  std::vector<char> buffer(server::kExchangeBufferSize);
  WriteRequestPacket(request, 80, false, {}, buffer.data(), server::kExchangeBufferSize);
  const server::THttpRequest packet(buffer.data(), server::kExchangeBufferSize);
  EXPECT_EQ(packet.mRawHeaders.lines(), request.FRawHeaders.lines());
  EXPECT_EQ(packet.mQueryFields.lines(), request.FParams);
  EXPECT_EQ(packet.mServerPort, 81);

  std::vector<char> small(16);
  EXPECT_THROW(WriteRequestPacket(request, 80, false, {}, small.data(), 16), base::Exception);
  EXPECT_EQ(request.FRawHeaders.lines(),
            (std::vector<std::string>{"Host: h:81", "Accept-Encoding: gzip"}));
  EXPECT_EQ(request.FParams, (std::vector<std::string>{"a=1", "b=2"}));
}

TEST_F(BridgeTest, ReplyMapping) {
  const ParsedResponse r = One(Get("/echo/reply"));
  EXPECT_EQ(r.status_line, "HTTP/1.1 202 Taken");
  EXPECT_EQ(r.body, "done");
  EXPECT_EQ(r.header("X-Extra"), "yes");
  EXPECT_EQ(r.header("Cache-Control"), "no-cache");
  ASSERT_EQ(r.count("Set-Cookie"), 2);
  std::vector<std::string> cookies;
  for (const std::string& h : r.headers) {
    if (base::starts_with(h, "Set-Cookie: ")) {
      cookies.push_back(h.substr(12));
    }
  }
  EXPECT_EQ(cookies[0], "kept=v1; Path=/app; HttpOnly");
  EXPECT_TRUE(base::starts_with(cookies[1], "gone=; Path=/; Expires=")) << cookies[1];
  EXPECT_NE(cookies[1].find("-Dec-1899 "), std::string::npos) << cookies[1];
  EXPECT_EQ(cookies[1].find("Max-Age"), std::string::npos);

  const ParsedResponse cached = One(Get("/echo/cachefile"));
  EXPECT_EQ(cached.status(), 200);
  EXPECT_EQ(cached.header("Content-Type"), "text/plain; charset=UTF-8");
  EXPECT_EQ(cached.body, "cached!");

  const ParsedResponse missing = One(Get("/echo/missing"));
  EXPECT_EQ(missing.status_line, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(missing.header("Content-Length"), "0");
  EXPECT_EQ(missing.header("Connection"), "close");
}

TEST_F(BridgeTest, LargeRepliesAndRequestsTravelThroughFiles) {
  const ParsedResponse big = One(Get("/echo/text?n=100000"));
  EXPECT_EQ(big.header("Content-Length"), "100000");
  ASSERT_EQ(big.body.size(), 100000u);
  EXPECT_EQ(big.body.substr(0, 14), "line 0\nline 1\n");
  // A form field larger than the exchange buffer makes the request packet spill.
  const std::string value(50000, 'v');
  const ParsedResponse post =
      One(Post("/echo/fields", "application/x-www-form-urlencoded", "big=" + value));
  EXPECT_NE(post.body.find("query_fields=big=" + value + "\n"), std::string::npos);
}

TEST_F(BridgeTest, CompressedRepliesDecompress) {
  struct Case {
    std::string accept;
    std::string encoding;
  };
  const Case kCases[] = {
      {"gzip, deflate", "gzip"},
      {"deflate", "deflate"},
      {"identity", "(none)"},
  };
  const ParsedResponse plain = One(Get("/echo/text?n=2000"));
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.accept);
    const ParsedResponse r = One(Get("/echo/text?n=2000", "Accept-Encoding: " + c.accept + "\r\n"));
    EXPECT_EQ(r.header("Content-Encoding"), c.encoding);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    if (c.encoding == "(none)") {
      EXPECT_EQ(r.body, plain.body);
    } else {
      EXPECT_EQ(r.header("Vary"), "Accept-Encoding");
      EXPECT_LT(r.body.size(), plain.body.size());
      EXPECT_EQ(server::testing::inflate_all(r.body), plain.body);
    }
  }
  const ParsedResponse refused = One(Get("/echo/nocompress", "Accept-Encoding: gzip\r\n"));
  EXPECT_EQ(refused.header("Content-Encoding"), "(none)");
  EXPECT_EQ(refused.body, std::string(3000, 'z'));
  for (const std::string& h : refused.headers) {
    EXPECT_NE(h, "no-compression");
  }
}

TEST_F(BridgeTest, UploadsReachThePipelineAsFilesThatAreGoneAfterwards) {
  const std::string content = std::string(40000, 'x') + "\r\n--not-the-end\r\nend";
  const std::string multipart =
      "--BOUNDARY\r\n"
      "Content-Disposition: form-data; name=\"upload\"; filename=\"C:\\dir\\report.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\n" +
      content + "\r\n--BOUNDARY--\r\n";
  struct Case {
    std::string raw;
    std::string file;  // name|field|type|size
    std::string bytes;
  };
  const Case kCases[] = {
      {Post("/echo/fields?SvFileUploader=true", "multipart/form-data; boundary=BOUNDARY",
            multipart),
       "report.txt|upload|text/plain|" + std::to_string(content.size()), content},
      {Post("/echo/fields?SvFileUploader=true", "multipart/form-data; boundary=\"BOUNDARY\"",
            multipart),
       "report.txt|upload|text/plain|" + std::to_string(content.size()), content},
      // Without its closing delimiter the whole body is the file.
      {Post("/echo/fields?SvFileUploader=true", "multipart/form-data; boundary=OTHER", multipart),
       "report.txt|upload|text/plain|" + std::to_string(multipart.size()), multipart},
      {Post("/echo/fields?SvFileUploader=TRUE", "application/octet-stream", "raw bytes",
            "X-File-Name: r%C3%A9sum%C3%A9.bin\r\nX-SvFieldName: doc\r\n"),
       "r\xC3\xA9sum\xC3\xA9.bin|doc|application/octet-stream|9", "raw bytes"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.file);
    upload_paths_.clear();
    const ParsedResponse r = One(c.raw);
    EXPECT_NE(r.body.find("\nfile=" + c.file + "|" + c.bytes), std::string::npos)
        << r.body.substr(0, 400);
    ASSERT_EQ(upload_paths_.size(), 1u);
    EXPECT_FALSE(base::file_exists(upload_paths_[0]));
  }
  // Without the parameter a multipart body is not taken apart.
  const ParsedResponse plain =
      One(Post("/echo/fields", "multipart/form-data; boundary=BOUNDARY", multipart));
  EXPECT_EQ(plain.body.find("\nfile="), std::string::npos);
}

TEST_F(BridgeTest, SessionCookieAttributes) {
  const auto cookies = [this] {
    std::vector<std::string> lines;
    for (const std::string& h : One(Get("/echo/session")).headers) {
      if (base::starts_with(h, "Set-Cookie: ")) {
        lines.push_back(h.substr(12));
      }
    }
    return lines;
  };
  const std::string name = controller_->SessionCookieName();
  struct Case {
    bool tls;
    bool same_site;
    bool secure_over_tls;
    std::string session_cookie;
  };
  const Case kCases[] = {
      {false, true, true, name + "=id_1; Path=/; HttpOnly; SameSite=Lax"},
      {true, true, true, name + "=id_1; Path=/; Secure; HttpOnly; SameSite=Lax"},
      {true, false, false, name + "=id_1; Path=/; HttpOnly"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.session_cookie);
    host_->HTTP().SetServesTLS(c.tls);
    controller_->CookieOptions().SameSiteLax = c.same_site;
    controller_->CookieOptions().SecureOverTLS = c.secure_over_tls;
    // Other cookies are the application's own business.
    EXPECT_EQ(cookies(), (std::vector<std::string>{c.session_cookie, "other=v; Path=/"}));
  }
}

TEST_F(BridgeTest, OversizedPartHeadersAreRefused) {
  const auto upload = [](const std::string& part_header) {
    const std::string body =
        "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n" + part_header +
        "\r\nfile\r\n--B--\r\n";
    return Post("/echo/fields?SvFileUploader=true", "multipart/form-data; boundary=B", body);
  };
  std::string many_lines;
  for (int i = 0; i < 100; ++i) {
    many_lines += "X-" + std::to_string(i) + ": 1\r\n";
  }
  std::string many_bytes;
  for (int i = 0; i < 5; ++i) {
    many_bytes += "X-" + std::to_string(i) + ": " + std::string(7000, 'b') + "\r\n";
  }
  struct Case {
    std::string name;
    std::string raw;
    int status;
  };
  const Case kCases[] = {
      {"a plain part", upload(""), 200},
      {"101 header lines", upload(many_lines), 400},
      {"over 32 KiB of header", upload(many_bytes), 400},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    upload_paths_.clear();
    const ParsedResponse r = One(c.raw);
    EXPECT_EQ(r.status(), c.status);
    if (c.status == 400) {
      EXPECT_EQ(r.status_line, "HTTP/1.1 400 Multipart part header too large.");
      EXPECT_TRUE(upload_paths_.empty());
    }
  }
}

// A body the temporary folder cannot hold (the file size limit stands in for a full disk):
// that request fails, nothing of it stays behind, and it succeeds once there is room again.
TEST_F(BridgeTest, BodyThatCannotBeStoredFailsAloneAndLeavesNoFile) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &saved), 0);
  rlimit unlimited{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  const std::string raw = Post("/echo/fields?SvFileUploader=true", "application/octet-stream",
                               std::string(200000, 'd'), "X-File-Name: big.bin\r\n");
  rlimit small = unlimited;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const ParsedResponse full = One(raw);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
  ::sigaction(SIGXFSZ, &saved, nullptr);
  EXPECT_EQ(full.status(), 500);
  EXPECT_EQ(full.header("Connection"), "close");
  EXPECT_EQ(server::testing::file_names(controller_->CacheDir()), std::vector<std::string>{});
  const ParsedResponse again = One(raw);
  EXPECT_EQ(again.status(), 200);
  EXPECT_NE(again.body.find("\nfile=big.bin|"), std::string::npos);
}

// The caps the controller sets reach every connection.
class CappedBridgeTest : public BridgeTest {
 protected:
  void Configure() override {
    controller_->Limits.MaxBodyBytes = 1000;
    controller_->Limits.MaxFormBytes = 100;
  }
};

TEST_F(CappedBridgeTest, BodiesOverTheControllersCapsAre413) {
  struct Case {
    std::string content_type;
    size_t size;
    int status;
  };
  const Case kCases[] = {
      {"text/plain", 1000, 200},
      {"text/plain", 1001, 413},
      {"application/x-www-form-urlencoded", 100, 200},
      {"application/x-www-form-urlencoded", 101, 413},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.content_type + " " + std::to_string(c.size));
    EXPECT_EQ(
        One(Post("/echo/fields", c.content_type, "a=" + std::string(c.size - 2, 'x'))).status(),
        c.status);
  }
}

TEST_F(BridgeTest, ExpectContinueAndHead) {
  LoopbackClient client(port_);
  client.Send(
      "POST /echo/fields HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\n");
  const std::vector<ParsedResponse> interim = client.ReadResponses(1);
  ASSERT_EQ(interim.size(), 1u);
  EXPECT_EQ(interim[0].status_line, "HTTP/1.1 100 Continue");
  client.Send("a=1");
  const std::vector<ParsedResponse> r = client.ReadResponses(2);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_NE(r[1].body.find("\nquery_fields=a=1\n"), std::string::npos);

  const std::vector<ParsedResponse> head =
      Exchange("HEAD /$/ping HTTP/1.1\r\nHost: h\r\n\r\n", {0});
  ASSERT_EQ(head.size(), 1u);
  EXPECT_EQ(head[0].header("Content-Length"), "4");
  EXPECT_EQ(head[0].body, "");
}

TEST_F(BridgeTest, MissingHookIsA400) {
  server::SetRequestHook(nullptr);
  const ParsedResponse r = One(Get("/$/ping"));
  EXPECT_EQ(r.status_line, "HTTP/1.1 400 HTTP hook has not been set.");
  server::SetRequestHook(&server::ExecuteRequest);
}

class KeepAliveBridgeTest : public BridgeTest {
 protected:
  void Configure() override { controller_->SetHttpKeepAlive(true); }
};

TEST_F(KeepAliveBridgeTest, OneConnectionServesManyRequestsUntilA404) {
  LoopbackClient client(port_);
  client.Send(Get("/$/ping") + "HEAD /$/ping HTTP/1.1\r\nHost: h\r\n\r\n" +
              Get("/echo/fields?x=1") + Get("/echo/missing") + Get("/$/ping"));
  const std::vector<ParsedResponse> r = client.ReadResponses(5, {1});
  ASSERT_EQ(r.size(), 4u);  // the 404 closes the connection
  EXPECT_EQ(r[0].header("Connection"), "keep-alive");
  EXPECT_EQ(r[0].body, "Pong");
  EXPECT_EQ(r[1].body, "");
  EXPECT_NE(r[2].body.find("query_fields=x=1"), std::string::npos);
  EXPECT_EQ(r[3].status(), 404);
  EXPECT_EQ(r[3].header("Connection"), "close");
}

// Requests on one connection share nothing: a request that carries a form body, cookies,
// credentials, a query and headers of its own, one whose packet spilled into a file, then bare
// ones, each answered with what the pipeline received.
TEST_F(KeepAliveBridgeTest, NothingOfARequestReachesTheNextOnTheSameConnection) {
  const std::string big(50000, 'v');
  LoopbackClient client(port_);
  client.Send(Post("/echo/fields?q=1", "application/x-www-form-urlencoded", "name=first",
                   "Cookie: a=1; b=2\r\nAuthorization: Basic Ym9iOnM=\r\nX-First: yes\r\n") +
              Get("/echo/fields") + Get("/echo/headers") +
              Post("/echo/fields", "application/x-www-form-urlencoded", "big=" + big) +
              Get("/echo/fields?after=big"));
  const std::vector<ParsedResponse> r = client.ReadResponses(5);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_NE(r[0].body.find("\nquery_fields=name=first|q=1\n"), std::string::npos) << r[0].body;
  EXPECT_NE(r[0].body.find("\ncookies=a=1|b=2\n"), std::string::npos) << r[0].body;
  EXPECT_NE(r[0].body.find("\nhas_content=1\n"), std::string::npos) << r[0].body;
  EXPECT_NE(r[0].body.find("\nauthorization=Basic Ym9iOnM="), std::string::npos) << r[0].body;

  const std::string bare =
      "host=example.org\nport=" + std::to_string(port_) +
      "\nmethod=1\nquery=\nquery_fields=\ncookies=\nhas_content=0\nremote=127.0.0.1"
      "\nauthorization=\nhttps=off";
  EXPECT_EQ(r[1].body, bare);
  EXPECT_EQ(r[2].body, "Host: example.org");
  EXPECT_NE(r[3].body.find("\nquery_fields=big=" + big + "\n"), std::string::npos);
  EXPECT_EQ(r[4].body, base::replace_all(bare, "query=\nquery_fields=",
                                         "query=after=big\nquery_fields=after=big"));
  for (const ParsedResponse& response : r) {
    EXPECT_EQ(response.count("Set-Cookie"), 0);
  }
}

// Listens on two loopback addresses.
class TwoAddressController : public server::testing::MyAppController {
 public:
  using MyAppController::MyAppController;

 protected:
  void LoadDesignValues() override {
    MyAppController::LoadDesignValues();
    SetBoundIP("127.0.0.1, \"127.0.0.2\"");
  }
};

class BoundIPBridgeTest : public BridgeTest {
 protected:
  void Configure() override { UseController<TwoAddressController>(); }
};

TEST_F(BoundIPBridgeTest, EachAddressIsABindingOnTheSamePort) {
  ASSERT_EQ(controller_->BoundIP(), "127.0.0.1, \"127.0.0.2\"");
  ASSERT_EQ(host_->HTTP().Bindings().Count(), 2u);
  EXPECT_EQ(host_->HTTP().Bindings()[0].FIP, "127.0.0.1");
  EXPECT_EQ(host_->HTTP().Bindings()[1].FIP, "127.0.0.2");
  EXPECT_EQ(host_->HTTP().Bindings()[1].FPort, port_);
  for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
    SCOPED_TRACE(address);
    LoopbackClient client(port_, address);
    client.Send(Get("/$/ping"));
    EXPECT_EQ(testing::ParseResponses(client.ReadToClose())[0].body, "Pong");
  }
  // A listener bound to chosen addresses is not reachable on any other.
  const int other = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  ::inet_pton(AF_INET, "127.0.0.3", &addr.sin_addr);
  EXPECT_NE(::connect(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(other);
  // The port is taken on those addresses: a second host cannot start, and leaves nothing open.
  try {
    TSaServerArdo second(*controller_);
    ADD_FAILURE() << "the second host bound the same port";
  } catch (const std::exception& e) {
    // The first address that failed, its port and the system's reason.
    EXPECT_EQ(std::string(e.what()), "Could not bind socket to 127.0.0.1:" +
                                         std::to_string(port_) + ": Address already in use.");
  }
}

TEST(BoundIP, Splitting) {
  struct Case {
    std::string_view text;
    std::vector<std::string> entries;
  };
  const Case kCases[] = {
      {"10.0.0.1", {"10.0.0.1"}},
      {" 10.0.0.1 , 10.0.0.2 ", {"10.0.0.1", "10.0.0.2"}},
      {"10.0.0.1 10.0.0.2\t10.0.0.3", {"10.0.0.1", "10.0.0.2", "10.0.0.3"}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a", ""}},
      {"\"x, \"\"y\"\"\",z", {"x, \"y\"", "z"}},
      {"", {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SplitBoundIP(c.text), c.entries);
  }
}

}  // namespace
}  // namespace appsrv::transport
