// Owners for OpenSSL's handles: std::unique_ptr with the library's own free function, so that
// every early return and exception gives a handle back exactly once.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace appsrv::transport {

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};
struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct EvpPkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};

using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

}  // namespace appsrv::transport
