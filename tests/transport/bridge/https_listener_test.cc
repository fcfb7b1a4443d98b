// The transport host's HTTPS listener, as the controller's SSL options configure it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/pipeline/controller_start.h"
#include "server/pipeline/request_hook.h"
#include "server/session/server_controller.h"
#include "tests/server/test_support.h"
#include "tests/support/free_port.h"
#include "tests/support/tls_test_support.h"
#include "tests/transport/http_test_client.h"
#include "transport/bridge/server_bridge.h"
#include "transport/tls/ssl_exceptions.h"

namespace appsrv::transport {
namespace {

using server::NonSslRequest;
using server::SslVersion;
using server::TSvServerControllerBase;
using testing::LoopbackClient;
using ::appsrv::testing::TestCertificate;
using ::appsrv::testing::TlsClient;

// Whether something listens on the loopback port.
bool accepts_connections(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  ::close(fd);
  return connected;
}

uint16_t free_port() { return static_cast<uint16_t>(::appsrv::testing::free_port()); }

class HttpsListenerTest : public ::testing::Test {
 protected:
  // A controller over the folder with the given SSL options, its HTTP port chosen by the system.
  void configure(std::function<void(server::TSvSSLOptions&)> ssl) {
    struct Configured : TSvServerControllerBase {
      Configured(server::ControllerEnvironment e, std::function<void(server::TSvSSLOptions&)> f)
          : TSvServerControllerBase(std::move(e)) {
        OnConfig = [f](TSvServerControllerBase& c) {
          c.SetPort(0);
          c.SetBoundIP("127.0.0.1");
          f(c.SSLOptions());
        };
      }
    };
    controller_ = TSvServerControllerBase::Create<Configured>(folder_.environment(), ssl);
  }
  std::unique_ptr<TSaServerArdo> start() {
    return std::make_unique<TSaServerArdo>(
        *controller_, [this](std::string_view line) { log_.emplace_back(line); });
  }
  // The SSL port given to the controller.
  std::function<void(server::TSvSSLOptions&)> https_on(NonSslRequest non_ssl) {
    return [this, non_ssl](server::TSvSSLOptions& ssl) {
      ssl.Port = ssl_port_;
      ssl.NonSSLRequest = non_ssl;
      ssl.SSLVersion = SslVersion::SSLv3;
    };
  }

  server::testing::TempFolder folder_;
  std::unique_ptr<TSvServerControllerBase> controller_;
  std::vector<std::string> log_;
  uint16_t ssl_port_ = free_port();
};

TEST_F(HttpsListenerTest, BothListenersServeTheSameReplyAndTheVersionNoteIsLogged) {
  TestCertificate::Get().WriteFiles(folder_.app());
  configure(https_on(NonSslRequest::nsAccept));
  auto host = start();
  EXPECT_TRUE(host->HTTP().Active());
  EXPECT_TRUE(host->HTTPS().Active());
  EXPECT_EQ(controller_->SSLOptions().Port, ssl_port_);
  EXPECT_EQ(log_, std::vector<std::string>{"SSLv3 requested: serving TLS 1.2 and 1.3"});

  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  LoopbackClient plain(controller_->Port());
  plain.Send(request);
  std::string expected = plain.ReadToClose();
  TlsClient tls(ssl_port_);
  ASSERT_TRUE(tls.Handshake());
  ASSERT_TRUE(tls.Send(request));
  std::string reply = tls.ReadToEnd();
  // No request hook is set here: both answer with the bridge's own 400.
  ASSERT_EQ(expected.rfind("HTTP/1.1 400 HTTP hook has not been set.", 0), 0u) << expected;
  for (std::string* r : {&expected, &reply}) {
    const size_t date = r->find("\r\nDate: ");
    ASSERT_NE(date, std::string::npos);
    r->erase(date, r->find("\r\n", date + 2) - date);
  }
  EXPECT_EQ(reply, expected);
}

TEST_F(HttpsListenerTest, BlockingPlainRequestsLeavesOnlyHttps) {
  TestCertificate::Get().WriteFiles(folder_.app());
  configure(https_on(NonSslRequest::nsBlock));
  auto host = start();
  EXPECT_FALSE(host->HTTP().Active());
  EXPECT_TRUE(host->HTTPS().Active());
  TlsClient tls(ssl_port_);
  EXPECT_TRUE(tls.Handshake());
}

TEST_F(HttpsListenerTest, NoSslPortLeavesHttpsOff) {
  configure([](server::TSvSSLOptions& ssl) { ssl.Port = -5; });
  auto host = start();
  EXPECT_TRUE(host->HTTP().Active());
  EXPECT_FALSE(host->HTTPS().Active());
  EXPECT_EQ(controller_->SSLOptions().Port, 0);
  EXPECT_TRUE(log_.empty());
}

// A host that cannot open HTTPS fails as a whole: the plain listener it opened first is
// closed again before the failure reaches the caller.
TEST_F(HttpsListenerTest, AFailingTlsSetUpFailsTheHostAndClosesThePlainListener) {
  struct Case {
    const char* what;
    std::string key_password;
    std::string configured_password;
    bool remove_cert;
    std::string message;
  };
  const Case cases[] = {
      {"missing cert.pem", "", "", true,
       "Could not load certificate. \"" + folder_.app() + "cert.pem\": No such file or directory."},
      {"wrong key password", "right", "wrong", false, "Could not load key, check password."},
  };
  for (const Case& c : cases) {
    TestCertificate::Get().WriteFiles(folder_.app(), c.key_password);
    if (c.remove_cert) {
      ASSERT_EQ(::unlink((folder_.app() + "cert.pem").c_str()), 0);
    }
    configure([&](server::TSvSSLOptions& ssl) {
      https_on(NonSslRequest::nsAccept)(ssl);
      ssl.CertificatePassword = c.configured_password;
    });
    try {
      start();
      ADD_FAILURE() << c.what << ": the host started";
    } catch (const EInOpenSSLError& e) {
      EXPECT_EQ(e.what(), c.message) << c.what;
    }
    const int32_t http_port = controller_->Port();
    ASSERT_GT(http_port, 0) << c.what;
    EXPECT_FALSE(accepts_connections(static_cast<uint16_t>(http_port))) << c.what;
  }
  // The right password opens both.
  TestCertificate::Get().WriteFiles(folder_.app(), "right");
  configure([&](server::TSvSSLOptions& ssl) {
    https_on(NonSslRequest::nsAccept)(ssl);
    ssl.CertificatePassword = "right";
  });
  auto host = start();
  EXPECT_TRUE(host->HTTPS().Active());
}

// The process-wide controller of the redirect test: plain requests go to HTTPS.
class RedirectingController : public TSvServerControllerBase {
 public:
  using TSvServerControllerBase::TSvServerControllerBase;
  static inline uint16_t ssl_port = 0;

 protected:
  void LoadDesignValues() override {
    SetPort(0);
    SetBoundIP("127.0.0.1");
    SSLOptions().Port = ssl_port;
    SSLOptions().NonSSLRequest = NonSslRequest::nsRedirect;
  }
};

TEST(HttpsRedirectTest, APlainRequestIsRedirectedToTheHttpsUrlAndServedThere) {
  server::testing::TempFolder folder;
  TestCertificate::Get().WriteFiles(folder.app());
  RedirectingController::ssl_port = free_port();
  server::SetServerControllerClass<RedirectingController>();
  TSvServerControllerBase& controller = server::InitServerController(folder.environment());
  server::SetRequestHook(&server::ExecuteRequest);
  {
    TSaServerArdo host(controller, [](std::string_view) {});
    const std::string ssl_port = std::to_string(RedirectingController::ssl_port);

    LoopbackClient plain(controller.Port());
    plain.Send("GET /$/ping?a=1 HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    const std::string redirect = plain.ReadToClose();
    EXPECT_EQ(redirect.rfind("HTTP/1.1 302 ", 0), 0u) << redirect;
    EXPECT_NE(redirect.find("\r\nLocation: https://localhost:" + ssl_port + "/?a=1\r\n"),
              std::string::npos)
        << redirect;

    TlsClient tls(RedirectingController::ssl_port);
    ASSERT_TRUE(tls.Handshake());
    tls.Send("GET /$/ping HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    const std::string pong = tls.ReadToEnd();
    EXPECT_EQ(pong.rfind("HTTP/1.1 200 OK", 0), 0u) << pong;
    EXPECT_EQ(pong.substr(pong.size() - 4), "Pong");
  }
  server::SetRequestHook(nullptr);
  server::FreeServerController();
}

}  // namespace
}  // namespace appsrv::transport
