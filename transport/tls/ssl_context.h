// TInSSLContext: the one TLS server context of a listener, shared read-only by its connections.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "transport/tls/openssl_handles.h"
#include "transport/tls/ssl_options.h"

namespace appsrv::transport {

class TInSSLContext {
 public:
  // Supplies the private key's password when the key file is encrypted.
  using PasswordSource = std::function<std::string()>;

  // Builds the server context from the options; raises the failing step's error
  // ("Could not load certificate.", "Could not load key, check password.", ...).
  TInSSLContext(const TInSSLOptions& options, PasswordSource password);
  ~TInSSLContext();
  TInSSLContext(const TInSSLContext&) = delete;
  TInSSLContext& operator=(const TInSSLContext&) = delete;

  // The library's context; safe to hand to many connections at once.
  SSL_CTX* Handle() const { return context_.get(); }
  const TInSSLOptions& Options() const { return options_; }

 private:
  void load_files();

  TInSSLOptions options_;
  PasswordSource password_;  // asked only while the key file loads, during construction
  SslCtxPtr context_;
  // Names the sessions this context caches.
  uint32_t session_id_context_ = 0;
};

}  // namespace appsrv::transport
