// The program's HTTPS listener, opened by "SSLPort" in port.ini with the certificate files in
// the application folder.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/app_folder.h"
#include "tests/support/free_port.h"
#include "tests/support/http_client.h"
#include "tests/support/tls_test_support.h"
#include "tests/transport/raw_socket_client.h"

namespace appsrv::testing {
namespace {

using transport::testing::RawSocketClient;

constexpr std::string_view kHttpsActiveLine = "HTTPS Server is active on port: ";

// The response without the headers that name the current time (Date, and Expires, which
// counts from it), so that two answers a second apart compare equal.
std::string without_clock_headers(std::string response) {
  for (const std::string name : {"\r\nDate:", "\r\nExpires:"}) {
    const size_t at = response.find(name);
    if (at != std::string::npos) {
      response.erase(at, response.find("\r\n", at + 2) - at);
    }
  }
  return response;
}

std::string head(const std::string& response) { return response.substr(0, response.find("\r\n\r\n")); }

// The program with both listeners, the HTTPS one on a port chosen here.
class HttpsServer : public ::testing::Test {
 protected:
  void SetUp() override {
    TestCertificate::Get().WriteFiles(folder_.root().string() + "/");
    write_file(folder_.root() / "wwwroot" / "big.txt", std::string(200000, 'b'));
    ssl_port_ = free_port();
    folder_.SetPort(0, ssl_port_);
    if (!limits().empty()) {
      write_file(folder_.root() / "port.ini", "[PORTS]\nPort=0\nSSLPort=" +
                                                  std::to_string(ssl_port_) + "\n[LIMITS]\n" +
                                                  limits());
    }
    server_ = std::make_unique<Server>(folder_);
    ASSERT_NE(server_->port(), 0);
    // The start-up report, read to its end by Server, names the HTTPS listener after the HTTP one.
    const std::vector<std::string>& lines = server_->process().Output();
    ASSERT_NE(std::find(lines.begin(), lines.end(),
                        std::string(kHttpsActiveLine) + std::to_string(ssl_port_)),
              lines.end())
        << server_->output();
  }
  void TearDown() override { EXPECT_EQ(server_->Stop(), 0); }
  // Lines for the [LIMITS] section of port.ini; none: the defaults.
  virtual std::string limits() const { return {}; }

  std::string over_https(const std::string& request, int version = TLS1_3_VERSION) {
    TlsClient client(static_cast<uint16_t>(ssl_port_), version, version);
    EXPECT_TRUE(client.Handshake());
    EXPECT_TRUE(client.Send(request));
    return client.ReadToEnd();
  }
  std::string over_http(const std::string& request) {
    RawSocketClient client(server_->port());
    client.send(request);
    return client.read_to_end();
  }

  AppFolder folder_;
  std::unique_ptr<Server> server_;
  int ssl_port_ = 0;
};

TEST_F(HttpsServer, AnswersWithTheSameBytesAsPlainHttp) {
  for (const std::string target : {"/$/ping", "/big.txt"}) {
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    const std::string plain = over_http(request);
    ASSERT_EQ(plain.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << plain.substr(0, 300);
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
      const std::string secure = over_https(request, version);
      EXPECT_TRUE(without_clock_headers(secure) == without_clock_headers(plain))
          << target << " " << version << "\n" << head(secure) << "\n---\n" << head(plain)
          << "\n" << secure.size() << " vs " << plain.size() << " bytes";
    }
  }
}

// The application asks for SSLv3; it gets TLS 1.2 and 1.3, and the log says so.
TEST_F(HttpsServer, ServesTls12And13OnlyAndLogsTheMapping) {
  for (int version : {TLS1_VERSION, TLS1_1_VERSION}) {
    TlsClient client(static_cast<uint16_t>(ssl_port_), version, version);
    EXPECT_FALSE(client.Handshake()) << version;
  }
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    TlsClient client(static_cast<uint16_t>(ssl_port_), version, version);
    EXPECT_TRUE(client.Handshake()) << version;
  }
  const std::string log = ascii_from_utf16le(read_file(folder_.root() / "appserver.log"));
  EXPECT_NE(log.find("SSLv3 requested: serving TLS 1.2 and 1.3\r\n"), std::string::npos) << log;
  // The console prints every log line, this one included.
  const std::vector<std::string>& lines = server_->process().Output();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "SSLv3 requested: serving TLS 1.2 and 1.3"),
            lines.end())
      << server_->output();
}

TEST_F(HttpsServer, PlainHttpOnTheHttpsPortIsClosedWithoutReply) {
  RawSocketClient client(static_cast<uint16_t>(ssl_port_));
  client.send("GET /$/ping HTTP/1.1\r\nHost: localhost\r\n\r\n");
  bool closed = false;
  EXPECT_EQ(client.read_to_end(&closed), "");
  EXPECT_TRUE(closed);
  // The server goes on serving.
  EXPECT_NE(over_https("GET /$/ping HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").find("Pong"),
            std::string::npos);
}

// With deadlines short enough for a test: a request that keeps one TLS record incomplete.
class HttpsServerWithShortDeadlines : public HttpsServer {
 protected:
  std::string limits() const override {
    return "HeaderTimeoutMs=400\nBodyIdleTimeoutMs=400\nBodyRateGraceMs=400\n"
           "BodyMinRateBytesPerSec=500\n";
  }
};

// A record is decrypted only once it is whole: a client that sends its request as one record,
// a byte at a time, must still meet the header's deadline and the body's pause limit, as the
// same bytes on the plain port do. One that sends a record per byte, each within the pause
// limit, meets the header's deadline and the body's minimum rate.
TEST_F(HttpsServerWithShortDeadlines, ARequestTrickledInsideOneRecordIsCutUnserved) {
  const std::string ping = "GET /$/ping HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  const std::string post_head =
      "POST /$/ping HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Length: ";
  struct Case {
    const char* name;
    std::string whole;     // sent at once after the handshake
    std::string trickled;  // then a byte at a time
    int pause_ms;
    bool record_per_byte;  // else one record for all of `trickled`
    bool served;
  };
  const Case cases[] = {
      {"a quick record", "", ping, 0, false, true},
      {"the header", "", ping, 30, false, false},
      {"the body", post_head + "40\r\n\r\n", std::string(40, 'b'), 30, false, false},
      {"the header, a record a byte", "", ping, 30, true, false},
      {"the body, a record a byte", post_head + "200\r\n\r\n", std::string(200, 'b'), 30, true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsClient client(static_cast<uint16_t>(ssl_port_));
    ASSERT_TRUE(client.Handshake());
    if (!c.whole.empty()) {
      ASSERT_TRUE(client.Send(c.whole));
    }
    if (c.record_per_byte) {
      for (size_t i = 0; i < c.trickled.size() && client.Send(c.trickled.substr(i, 1)); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
      }
    } else {
      client.SendTrickled(c.trickled, c.pause_ms);
    }
    bool closed = false;
    const std::string reply = client.ReadToEnd(&closed);
    EXPECT_TRUE(closed);
    if (c.served) {
      EXPECT_NE(reply.find("Pong"), std::string::npos) << reply;
    } else {
      EXPECT_EQ(reply.find("Pong"), std::string::npos) << reply;
      EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 408 ", 0) == 0) << reply;
    }
  }
}

// The application sets no key password: an encrypted key cannot be opened. Either ends the
// program with status 1 and the error on standard error.
TEST(HttpsStart, ABrokenCertificateSetUpFailsTheStartAndLeavesNoPlainListener) {
  struct Case {
    const char* what;
    bool remove_cert;
    std::string key_password;
    std::string error;  // after "Error: "; "<app>" stands for the application folder
  };
  const Case cases[] = {
      {"missing cert.pem", true, "",
       "Could not load certificate. \"<app>/cert.pem\": No such file or directory."},
      {"encrypted key", false, "secret", "Could not load key, check password."},
  };
  for (const Case& c : cases) {
    AppFolder folder;
    TestCertificate::Get().WriteFiles(folder.root().string() + "/", c.key_password);
    if (c.remove_cert) {
      fs::remove(folder.root() / "cert.pem");
    }
    const int http_port = free_port();
    int ssl_port = free_port();
    while (ssl_port == http_port) {
      ssl_port = free_port();
    }
    folder.SetPort(http_port, ssl_port);
    // Standard error joined to the console's output.
    auto process = folder.LaunchAfter(":", {});
    const std::optional<std::string> error = process->WaitForLine("Error: ", seconds(60));
    std::string want = "Error: " + c.error;
    if (const size_t at = want.find("<app>"); at != std::string::npos) {
      want.replace(at, 5, folder.root().string());
    }
    EXPECT_EQ(error, want) << c.what;
    EXPECT_EQ(process->Wait(seconds(60)), 1) << c.what;
    RawSocketClient plain(static_cast<uint16_t>(http_port));
    EXPECT_FALSE(plain.connected()) << c.what;
    const auto& lines = process->Output();
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.starts_with("HTTP Server is active") || l.starts_with("HTTPS Server is active");
    })) << c.what;
  }
}

}  // namespace
}  // namespace appsrv::testing
