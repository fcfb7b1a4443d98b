#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "tests/server/test_support.h"
#include "tests/support/tls_test_support.h"
#include "tests/transport/raw_socket_client.h"
#include "transport/http/http_server.h"
#include "transport/tls/ssl_context.h"
#include "transport/tls/ssl_exceptions.h"
#include "transport/tls/ssl_io_handler.h"
#include "transport/tls/ssl_options.h"

namespace appsrv::transport {
namespace {

using testing::RawSocketClient;
using ::appsrv::testing::TestCertificate;
using ::appsrv::testing::TlsClient;

constexpr TInSSLVersions bit(TInSSLVersion v) { return SSLVersionBit(v); }
constexpr TInSSLVersions kTLSv1 = bit(TInSSLVersion::sslvTLSv1);
constexpr TInSSLVersions kTLSv1_1 = bit(TInSSLVersion::sslvTLSv1_1);
constexpr TInSSLVersions kTLSv1_2 = bit(TInSSLVersion::sslvTLSv1_2);
constexpr TInSSLVersions kSSLv3 = bit(TInSSLVersion::sslvSSLv3);
constexpr TInSSLVersions kSSLv23 = bit(TInSSLVersion::sslvSSLv23);

TEST(TInSSLOptionsTest, MethodAndVersionSetStayConsistent) {
  struct Case {
    TInSSLVersions set;
    TInSSLVersion method;
    TInSSLVersions kept;
  };
  const Case cases[] = {
      {kSSLv3, TInSSLVersion::sslvSSLv3, kSSLv3},
      {kTLSv1_2, TInSSLVersion::sslvTLSv1_2, kTLSv1_2},
      {kTLSv1 | kTLSv1_1 | kTLSv1_2, TInSSLVersion::sslvSSLv23, kTLSv1 | kTLSv1_1 | kTLSv1_2},
      {kSSLv23 | kTLSv1_2 | kTLSv1, TInSSLVersion::sslvSSLv23, kTLSv1_2 | kTLSv1},
      {kSSLv23, TInSSLVersion::sslvSSLv23, kAllSSLVersions},
  };
  for (const Case& c : cases) {
    TInSSLOptions options;
    options.SetSSLVersions(c.set);
    EXPECT_EQ(options.Method(), c.method) << int(c.set);
    EXPECT_EQ(options.SSLVersions(), c.kept) << int(c.set);
  }
  TInSSLOptions options;
  options.SetMethod(TInSSLVersion::sslvSSLv23);
  EXPECT_EQ(options.SSLVersions(), 61);
  options.SetMethod(TInSSLVersion::sslvTLSv1_1);
  EXPECT_EQ(options.SSLVersions(), kTLSv1_1);
}

TEST(TInSSLOptionsTest, TheServedVersionsNoteNamesWhatWasAskedFor) {
  EXPECT_EQ(ServedVersionsNote(kSSLv3), "SSLv3 requested: serving TLS 1.2 and 1.3");
  EXPECT_EQ(ServedVersionsNote(kTLSv1 | kTLSv1_1 | kTLSv1_2),
            "TLSv1, TLSv1.1, TLSv1.2 requested: serving TLS 1.2 and 1.3");
}

// The default list must be one the library takes, and must leave out 3DES, RC4 and every
// suite without forward secrecy or with export strength.
TEST(TInSSLOptionsTest, TheDefaultCipherListHasOnlySoundSuites) {
  const SslCtxPtr owned_ctx(SSL_CTX_new(TLS_server_method()));
  SSL_CTX* ctx = owned_ctx.get();
  ASSERT_EQ(SSL_CTX_set_cipher_list(ctx, kDefaultCipherList), 1);
  ASSERT_EQ(SSL_CTX_set_cipher_list(ctx, kFallbackCipherList), 1);
  for (const char* list : {kDefaultCipherList, kFallbackCipherList}) {
    SSL_CTX_set_cipher_list(ctx, list);
    STACK_OF(SSL_CIPHER)* ciphers = SSL_CTX_get_ciphers(ctx);
    ASSERT_GT(sk_SSL_CIPHER_num(ciphers), 0);
    for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
      const std::string name = SSL_CIPHER_get_name(sk_SSL_CIPHER_value(ciphers, i));
      EXPECT_EQ(name.find("DES"), std::string::npos) << list << ": " << name;
      EXPECT_EQ(name.find("RC4"), std::string::npos) << list << ": " << name;
      EXPECT_EQ(name.find("EXP"), std::string::npos) << list << ": " << name;
      EXPECT_EQ(name.find("NULL"), std::string::npos) << list << ": " << name;
    }
  }
}

// A folder with the test certificate's files.
class CertificateFolder {
 public:
  explicit CertificateFolder(const std::string& password = {}) {
    TestCertificate::Get().WriteFiles(folder_.app(), password);
  }
  std::string path(const std::string& name) const { return folder_.app() + name; }
  TInSSLOptions options() const {
    TInSSLOptions o;
    o.fsCertFile = path("cert.pem");
    o.fsKeyFile = path("key.pem");
    o.fsRootCertFile = path("root.pem");
    o.fCipherList = kDefaultCipherList;
    o.fVerifyDepth = 2;
    return o;
  }

 private:
  server::testing::TempFolder folder_;
};

// What a context offers a client, by default and when the options name no list: in TLS 1.2
// only AEAD suites with an ECDHE key exchange, never a CBC one (LUCKY13); TLS 1.3 suites are
// AEAD by design.
TEST(TInSSLContextTest, OffersOnlyAeadSuitesWithForwardSecrecy) {
  CertificateFolder folder;
  for (const std::string& list : {std::string(kDefaultCipherList), std::string()}) {
    SCOPED_TRACE("cipher list '" + list + "'");
    TInSSLOptions options = folder.options();
    options.fCipherList = list;
    const TInSSLContext context(options, {});
    SSL* ssl = SSL_new(context.Handle());
    ASSERT_NE(ssl, nullptr);
    STACK_OF(SSL_CIPHER)* ciphers = SSL_get_ciphers(ssl);
    ASSERT_GT(sk_SSL_CIPHER_num(ciphers), 0);
    int tls12_gcm = 0;
    int tls12_chacha = 0;
    for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
      const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
      const std::string name = SSL_CIPHER_get_name(cipher);
      SCOPED_TRACE(name);
      EXPECT_EQ(SSL_CIPHER_is_aead(cipher), 1);
      if (std::string_view(SSL_CIPHER_get_version(cipher)) == "TLSv1.3") {
        continue;
      }
      EXPECT_EQ(SSL_CIPHER_get_kx_nid(cipher), NID_kx_ecdhe);
      tls12_gcm += name.find("GCM") != std::string::npos ? 1 : 0;
      tls12_chacha += name.find("CHACHA20-POLY1305") != std::string::npos ? 1 : 0;
    }
    EXPECT_GT(tls12_gcm, 0);
    EXPECT_GT(tls12_chacha, 0);
    SSL_free(ssl);
  }
}

TEST(TInSSLContextTest, EachFailingStepRaisesItsMessage) {
  CertificateFolder plain;
  CertificateFolder locked("s3cret");
  base::write_file(plain.path("garbage.pem"), "not a PEM file");
  struct Case {
    const char* what;
    std::function<void(TInSSLOptions&)> change;
    std::string password;
    std::string message;
  };
  // A file that cannot be read is named, with the system's reason.
  const std::string missing = " \"" + plain.path("none.pem") + "\": No such file or directory.";
  const Case cases[] = {
      {"missing certificate", [&](TInSSLOptions& o) { o.fsCertFile = plain.path("none.pem"); },
       "", "Could not load certificate." + missing},
      {"missing root", [&](TInSSLOptions& o) { o.fsRootCertFile = plain.path("none.pem"); }, "",
       "Could not load root certificate." + missing},
      {"missing key", [&](TInSSLOptions& o) { o.fsKeyFile = plain.path("none.pem"); }, "",
       "Could not load key, check password." + missing},
      {"certificate not PEM", [&](TInSSLOptions& o) { o.fsCertFile = plain.path("garbage.pem"); },
       "", "Could not load certificate."},
      {"wrong password",
       [&](TInSSLOptions& o) { o = locked.options(); }, "wrong",
       "Could not load key, check password."},
      {"no password",
       [&](TInSSLOptions& o) { o = locked.options(); }, "",
       "Could not load key, check password."},
      {"bad DH file", [&](TInSSLOptions& o) { o.fsDHParamsFile = plain.path("garbage.pem"); },
       "", "Could not load DH Parameters."},
      {"bad cipher list", [&](TInSSLOptions& o) { o.fCipherList = "NO-SUCH-CIPHER"; }, "",
       "SetCipher failed."},
  };
  for (const Case& c : cases) {
    TInSSLOptions options = plain.options();
    c.change(options);
    const std::string password = c.password;
    try {
      TInSSLContext context(options, [password] { return password; });
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const EInOpenSSLError& e) {
      EXPECT_EQ(e.what(), c.message) << c.what << " (" << e.Detail() << ")";
    }
  }
  EXPECT_NO_THROW(TInSSLContext(locked.options(), [] { return std::string("s3cret"); }));
}

// Collects failure messages from connection threads; the test waits for them with a bound.
class Failures {
 public:
  void add(std::string message) {
    std::scoped_lock lock(mu_);
    messages_.push_back(std::move(message));
    changed_.notify_all();
  }
  // The first failure, waiting for it.
  std::string first() {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, std::chrono::milliseconds(::appsrv::testing::kTlsPatienceMs),
                      [&] { return !messages_.empty(); });
    return messages_.empty() ? "" : messages_.front();
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> messages_;  // guarded by mu_
};

// An HTTP server on 127.0.0.1 whose every reply is the request's path after "Hello ".
void serve_hello(TInCustomHTTPServer& server, Failures& failures) {
  TInSocketHandle& binding = server.Bindings().Add();
  binding.FIP = "127.0.0.1";
  binding.FPort = 0;
  server.OnCommandGet = [](TInContext&, TInHTTPRequestInfo& request,
                           TInHTTPResponseInfo& response) {
    response.FContentType = "text/plain";
    response.FContentText = "Hello " + request.FDocument;
    if (request.FDocument == "/big") {
      response.FContentText.assign(300000, 'x');
    }
  };
  server.OnException = [&failures](TInContext&, const std::exception& e) {
    const auto* tls = dynamic_cast<const EInOpenSSLError*>(&e);
    failures.add(std::string(e.what()) + (tls != nullptr ? " | " + tls->Detail() : ""));
  };
}

class TlsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serve_hello(server_, failures_);
    serve_hello(plain_, plain_failures_);
  }
  void TearDown() override {
    server_.SetActive(false);
    plain_.SetActive(false);
  }

  void start(TInSSLVersions versions = kTLSv1_2, int timeout_ms = 0,
             const std::string& cipher_list = kDefaultCipherList) {
    auto tls = std::make_unique<TInServerIOHandlerSSLOpenSSL>();
    tls->SSLOptions() = files_.options();
    tls->SSLOptions().fCipherList = cipher_list;
    tls->SSLOptions().SetSSLVersions(versions);
    tls->SetDefaultTimeout(timeout_ms);
    server_.SetIOHandler(std::move(tls));
    server_.SetActive(true);
  }
  uint16_t port() { return server_.Bindings()[0].FPort; }

  CertificateFolder files_;
  Failures failures_;
  Failures plain_failures_;
  TInCustomHTTPServer server_;
  TInCustomHTTPServer plain_;
};

std::string without_date(std::string response) {
  const size_t at = response.find("\r\nDate: ");
  if (at != std::string::npos) {
    response.erase(at, response.find("\r\n", at + 2) - at);
  }
  return response;
}

TEST_F(TlsServerTest, AnHttpsRequestGetsTheSameReplyAsOverPlainHttp) {
  start();
  plain_.SetActive(true);
  for (const std::string path : {"/index.html", "/big"}) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    RawSocketClient plain(plain_.Bindings()[0].FPort);
    plain.send(request);
    const std::string expected = plain.read_to_end();
    ASSERT_NE(expected.find("200 OK"), std::string::npos) << expected;

    TlsClient client(port());
    ASSERT_TRUE(client.Handshake());
    ASSERT_TRUE(client.Send(request));
    bool closed = false;
    const std::string reply = client.ReadToEnd(&closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(without_date(reply), without_date(expected)) << path;
  }
}

TEST_F(TlsServerTest, KeepAliveServesSeveralRequestsOverOneSession) {
  server_.SetKeepAlive(true);
  start();
  TlsClient client(port());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send("GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n"
                          "Connection: close\r\n\r\n"));
  const std::string replies = client.ReadToEnd();
  EXPECT_NE(replies.find("Hello /a"), std::string::npos) << replies;
  EXPECT_NE(replies.find("Hello /b"), std::string::npos) << replies;
}

TEST_F(TlsServerTest, PlainHttpOnTheHttpsPortIsClosedWithoutReply) {
  start();
  RawSocketClient client(port());
  client.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  bool closed = false;
  EXPECT_EQ(client.read_to_end(&closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(failures_.first().rfind("Error accepting connection with SSL.", 0), 0u);
}

// Whatever the controller asks for, TLS 1.0 and 1.1 are refused and TLS 1.2 and 1.3 served,
// also with a configured cipher list that would let the library offer the old versions.
TEST_F(TlsServerTest, EveryVersionSetServesExactlyTls12And13) {
  struct Set {
    TInSSLVersions versions;
    const char* cipher_list;
  };
  const Set sets[] = {{kSSLv3, kDefaultCipherList},
                      {kTLSv1 | kTLSv1_1 | kTLSv1_2, kDefaultCipherList},
                      {kTLSv1_2, kDefaultCipherList},
                      {kSSLv3 | kTLSv1, "ALL:@SECLEVEL=0"}};
  struct Probe {
    int version;
    bool served;
    const char* name;
  };
  const Probe probes[] = {{TLS1_VERSION, false, "TLSv1"},
                          {TLS1_1_VERSION, false, "TLSv1.1"},
                          {TLS1_2_VERSION, true, "TLSv1.2"},
                          {TLS1_3_VERSION, true, "TLSv1.3"}};
  for (const Set& set : sets) {
    start(set.versions, 0, set.cipher_list);
    for (const Probe& probe : probes) {
      TlsClient client(port(), probe.version, probe.version);
      ASSERT_TRUE(client.connected());
      const bool served = client.Handshake();
      EXPECT_EQ(served, probe.served) << set.cipher_list << " " << int(set.versions) << " "
                                      << probe.name;
      if (served) {
        EXPECT_EQ(client.Version(), probe.name);
      } else {
        // Refused by the server's alert, not by the client keeping the version to itself.
        EXPECT_EQ(ERR_GET_REASON(client.LastError()), SSL_R_TLSV1_ALERT_PROTOCOL_VERSION)
            << int(set.versions) << " " << probe.name;
      }
    }
    server_.SetActive(false);
  }
}

TEST_F(TlsServerTest, AnIdleClientAfterTheHandshakeIsClosedAfterTheTimeout) {
  start(kTLSv1_2, 1000);
  TlsClient client(port());
  ASSERT_TRUE(client.Handshake());
  bool closed = false;
  EXPECT_EQ(client.ReadToEnd(&closed), "");
  EXPECT_TRUE(closed);
  EXPECT_NE(failures_.first().find("10060"), std::string::npos);
}

TEST_F(TlsServerTest, AClientThatSendsNothingFailsTheHandshakeAfterTheTimeout) {
  start(kTLSv1_2, 1000);
  RawSocketClient client(port());
  bool closed = false;
  EXPECT_EQ(client.read_to_end(&closed), "");
  EXPECT_TRUE(closed);
  const std::string failure = failures_.first();
  EXPECT_EQ(failure.rfind("Error accepting connection with SSL.", 0), 0u) << failure;
  EXPECT_NE(failure.find("10060"), std::string::npos) << failure;
}

// The library hands over nothing of a record before all of it has come, so a wait that ends
// only with a whole record would let a peer that sends one a byte at a time hold the
// connection as long as it likes. The header's deadline and the body's pause limit hold inside
// a record as they hold on a plain socket.
TEST_F(TlsServerTest, ARecordTrickledPastItsDeadlineIsNeverServed) {
  server_.Limits().header_timeout_ms = 300;
  server_.Limits().body_idle_timeout_ms = 300;
  std::atomic<int> served{0};
  server_.OnCommandGet = [&served, hello = server_.OnCommandGet](
                             TInContext& context, TInHTTPRequestInfo& request,
                             TInHTTPResponseInfo& response) {
    ++served;
    hello(context, request, response);
  };
  start(kTLSv1_2);
  const std::string get = "GET /slow HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  struct Case {
    const char* name;
    std::string whole;     // sent at once after the handshake
    std::string trickled;  // then one record, a byte at a time
    int pause_ms;
    bool served;
  };
  const Case cases[] = {
      {"a quick record", "", get, 0, true},
      {"the header", "", get, 25, false},
      {"the body",
       "POST /slow HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 40\r\n\r\n",
       std::string(40, 'b'), 25, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    served = 0;
    TlsClient client(port());
    ASSERT_TRUE(client.Handshake());
    if (!c.whole.empty()) {
      ASSERT_TRUE(client.Send(c.whole));
    }
    client.SendTrickled(c.trickled, c.pause_ms);
    bool closed = false;
    const std::string reply = client.ReadToEnd(&closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(served.load(), c.served ? 1 : 0) << reply;
    if (c.served) {
      EXPECT_NE(reply.find("Hello /slow"), std::string::npos) << reply;
    } else {
      EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 408 ", 0) == 0) << reply;
    }
  }
}

TEST_F(TlsServerTest, APortTheQueryCallsPlainIsServedWithoutTls) {
  server_.OnQuerySSLPort = [](TInContext&, uint16_t) { return false; };
  start();
  RawSocketClient client(port());
  client.send("GET /p HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_NE(client.read_to_end().find("Hello /p"), std::string::npos);
}

TEST_F(TlsServerTest, AFailingContextLeavesTheListenerInactive) {
  auto tls = std::make_unique<TInServerIOHandlerSSLOpenSSL>();
  tls->SSLOptions() = files_.options();
  tls->SSLOptions().fsCertFile = files_.path("missing.pem");
  server_.SetIOHandler(std::move(tls));
  EXPECT_THROW(server_.SetActive(true), EInOSSLLoadingCertError);
  EXPECT_FALSE(server_.Active());
  EXPECT_FALSE(server_.Bindings()[0].HandleAllocated());
}

}  // namespace
}  // namespace appsrv::transport
