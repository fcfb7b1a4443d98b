// TLS helpers for tests (transport and whole-program): a self-signed certificate made on the spot, and a loopback TLS client
// whose protocol versions are pinned.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "base/unique_fd.h"
#include "transport/tls/openssl_handles.h"

namespace appsrv::testing {

// How long a test client waits for the server before it gives up.
constexpr int kTlsPatienceMs = 10000;

// An RSA key and a certificate for "localhost" signed by that key, made once per process
// (key generation is slow) and written as PEM files on request.
class TestCertificate {
 public:
  static const TestCertificate& Get() {
    static const TestCertificate instance;
    return instance;
  }

  // Writes "cert.pem", "root.pem" (the certificate again: it is its own root) and "key.pem",
  // the key encrypted with `password` unless that is empty, into `folder` (ends with "/").
  void WriteFiles(const std::string& folder, const std::string& password = {}) const {
    write_pem(folder + "cert.pem", [&](FILE* f) { return PEM_write_X509(f, cert_.get()) == 1; });
    write_pem(folder + "root.pem", [&](FILE* f) { return PEM_write_X509(f, cert_.get()) == 1; });
    write_pem(folder + "key.pem", [&](FILE* f) {
      if (password.empty()) {
        return PEM_write_PrivateKey(f, key_.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
      }
      return PEM_write_PrivateKey(f, key_.get(), EVP_aes_256_cbc(),
                                  reinterpret_cast<const unsigned char*>(password.data()),
                                  static_cast<int>(password.size()), nullptr, nullptr) == 1;
    });
  }

  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

 private:
  TestCertificate() {
    key_.reset(EVP_RSA_gen(2048));
    cert_.reset(X509_new());
    if (key_ == nullptr || cert_ == nullptr) {
      throw std::runtime_error("could not make a test key");
    }
    X509* cert = cert_.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 30);
    X509_set_pubkey(cert, key_.get());
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    if (X509_sign(cert, key_.get(), EVP_sha256()) == 0) {
      throw std::runtime_error("could not sign the test certificate");
    }
  }
  ~TestCertificate() = default;

  template <class Write>
  static void write_pem(const std::string& path, Write write) {
    FILE* f = std::fopen(path.c_str(), "w");
    const bool ok = f != nullptr && write(f);
    if (f != nullptr) {
      std::fclose(f);
    }
    if (!ok) {
      throw std::runtime_error("could not write " + path);
    }
  }

  transport::EvpPkeyPtr key_;
  transport::X509Ptr cert_;
};

// A TLS client over a loopback connection; offers exactly the versions from `min_version` to
// `max_version` (TLS1_VERSION ... TLS1_3_VERSION), old ones included: it checks the server,
// not itself.
class TlsClient {
 public:
  TlsClient(uint16_t port, int min_version = TLS1_2_VERSION, int max_version = TLS1_3_VERSION) {
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_min_proto_version(ctx_.get(), min_version);
    SSL_CTX_set_max_proto_version(ctx_.get(), max_version);
    // Security level 0 lets the client offer TLS 1.0 and 1.1 with their SHA-1 signatures.
    SSL_CTX_set_security_level(ctx_.get(), 0);
    SSL_CTX_set_cipher_list(ctx_.get(), "ALL:@SECLEVEL=0");
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    // A server that never answers must not hang the test.
    timeval tv{kTlsPatienceMs / 1000, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), fd_.get());
    SSL_set_tlsext_host_name(ssl_.get(), "localhost");
  }
  ~TlsClient() = default;
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  bool connected() const { return connected_; }

  // True when the handshake succeeded; otherwise LastError() says why.
  bool Handshake() {
    ERR_clear_error();
    if (SSL_connect(ssl_.get()) == 1) {
      return true;
    }
    last_error_ = ERR_peek_last_error();
    ERR_clear_error();
    return false;
  }
  // The library's last error of a failed handshake (ERR_GET_REASON gives the reason).
  unsigned long LastError() const { return last_error_; }
  // "TLSv1.2", "TLSv1.3" once the handshake is done.
  std::string Version() const { return SSL_get_version(ssl_.get()); }

  bool Send(std::string_view bytes) {
    size_t written = 0;
    return SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written) == 1;
  }
  // Sends `bytes` as the records SSL_write makes of them, but a byte of a record at a time,
  // `pause_ms` apart: a peer that keeps a record incomplete as long as it likes. Stops early
  // when the connection fails; false then.
  bool SendTrickled(std::string_view bytes, int pause_ms) {
    const transport::BioPtr owned_records(BIO_new(BIO_s_mem()));
    BIO* records = owned_records.get();
    BIO* socket_bio = SSL_get_wbio(ssl_.get());
    // One reference each for putting the socket back and for reading the records out.
    BIO_up_ref(socket_bio);
    BIO_up_ref(records);
    SSL_set0_wbio(ssl_.get(), records);
    size_t written = 0;
    bool sent = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written) == 1;
    SSL_set0_wbio(ssl_.get(), socket_bio);
    char* data = nullptr;
    const long size = BIO_get_mem_data(records, &data);
    for (long i = 0; sent && i < size; ++i) {
      sent = ::send(fd_.get(), data + i, 1, MSG_NOSIGNAL) == 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    return sent;
  }
  // Reads until the server closes (close notification or end of stream), or the patience runs
  // out: then `closed` stays false.
  std::string ReadToEnd(bool* closed = nullptr) {
    std::string out;
    char block[16384];
    for (;;) {
      size_t got = 0;
      if (SSL_read_ex(ssl_.get(), block, sizeof(block), &got) == 1) {
        out.append(block, got);
        continue;
      }
      const int error = SSL_get_error(ssl_.get(), 0);
      if (closed != nullptr) {
        *closed = error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SSL ||
                  (error == SSL_ERROR_SYSCALL && errno != EAGAIN && errno != EWOULDBLOCK);
      }
      ERR_clear_error();
      return out;
    }
  }

 private:
  // Declared first, closed last, as the session reads and writes it.
  base::UniqueFd fd_;
  transport::SslCtxPtr ctx_;
  transport::SslPtr ssl_;
  bool connected_ = false;
  unsigned long last_error_ = 0;
};

}  // namespace appsrv::testing
