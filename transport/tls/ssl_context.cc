#include "transport/tls/ssl_context.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/exception.h"
#include "base/unique_fd.h"
#include "transport/tls/ssl_exceptions.h"

namespace appsrv::transport {
namespace {

int password_callback(char* buffer, int size, int /*rwflag*/, void* user) {
  const auto* source = static_cast<const TInSSLContext::PasswordSource*>(user);
  if (source == nullptr || !*source || size <= 0) {
    return 0;
  }
  const std::string password = (*source)();
  const int n = static_cast<int>(std::min<size_t>(password.size(), static_cast<size_t>(size)));
  std::memcpy(buffer, password.data(), static_cast<size_t>(n));
  return n;
}

// Each context gets its own name for the sessions it caches.
uint32_t next_session_id_context() {
  static std::atomic<uint32_t> counter{0};
  return ++counter;
}

}  // namespace

std::string TakeOpenSSLErrors() {
  std::string text;
  char line[256];
  while (const unsigned long code = ERR_get_error()) {
    ERR_error_string_n(code, line, sizeof(line));
    text += text.empty() ? "" : "; ";
    text += line;
  }
  return text;
}

TInSSLContext::TInSSLContext(const TInSSLOptions& options, PasswordSource password)
    : options_(options), password_(std::move(password)) {
  ERR_clear_error();
  if (OPENSSL_init_ssl(0, nullptr) != 1) {
    throw EInOSSLCouldNotLoadSSLLibrary(TakeOpenSSLErrors());
  }
  context_.reset(SSL_CTX_new(TLS_server_method()));
  if (context_ == nullptr) {
    throw EInOSSLCreatingContextError(TakeOpenSSLErrors());
  }
  // TLS 1.2 is the oldest version without known breaks; 1.3 is always on offer.
  if (SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(context_.get(), 0) != 1) {
    throw EInOSSLCreatingContextError(TakeOpenSSLErrors());
  }
  SSL_CTX_set_mode(context_.get(), SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_default_passwd_cb(context_.get(), &password_callback);
  SSL_CTX_set_default_passwd_cb_userdata(context_.get(), &password_);
  load_files();
  // The key was the only thing that needed the password.
  SSL_CTX_set_default_passwd_cb_userdata(context_.get(), nullptr);
  // Renegotiation is off: a client could otherwise make the server redo the costly part of
  // a handshake at will. A peer that drops the connection without a close notification
  // reads as closed, as a plain socket would.
  SSL_CTX_set_options(context_.get(), SSL_OP_ALL | SSL_OP_NO_COMPRESSION |
                                          SSL_OP_CIPHER_SERVER_PREFERENCE |
                                          SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION |
                                          SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (!options_.fsDHParamsFile.empty()) {
    const BioPtr file(BIO_new_file(options_.fsDHParamsFile.c_str(), "r"));
    EvpPkeyPtr dh(file != nullptr ? PEM_read_bio_Parameters(file.get(), nullptr) : nullptr);
    if (dh == nullptr || SSL_CTX_set0_tmp_dh_pkey(context_.get(), dh.get()) != 1) {
      throw EInOSSLLoadingDHParamsError(TakeOpenSSLErrors());
    }
    (void)dh.release();  // the context owns the parameters now
  } else {
    // Without a parameter file the library picks parameters that match the key's strength,
    // so that DHE suites in a configured cipher list stay usable.
    SSL_CTX_set_dh_auto(context_.get(), 1);
  }
  const std::string& ciphers =
      options_.fCipherList.empty() ? std::string(kFallbackCipherList) : options_.fCipherList;
  if (SSL_CTX_set_cipher_list(context_.get(), ciphers.c_str()) != 1) {
    throw EInOSSLSettingCipherError(TakeOpenSSLErrors());
  }
  int verify = SSL_VERIFY_NONE;
  if ((options_.fVerifyMode & sslvrfPeer) != 0) verify |= SSL_VERIFY_PEER;
  if ((options_.fVerifyMode & sslvrfFailIfNoPeerCert) != 0) {
    verify |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
  }
  if ((options_.fVerifyMode & sslvrfClientOnce) != 0) verify |= SSL_VERIFY_CLIENT_ONCE;
  SSL_CTX_set_verify(context_.get(), verify, nullptr);
  SSL_CTX_set_verify_depth(context_.get(), options_.fVerifyDepth);
  session_id_context_ = next_session_id_context();
  SSL_CTX_set_session_id_context(context_.get(),
                                 reinterpret_cast<const unsigned char*>(&session_id_context_),
                                 sizeof(session_id_context_));
  if (!options_.fsRootCertFile.empty()) {
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options_.fsRootCertFile.c_str())) {
      SSL_CTX_set_client_CA_list(context_.get(), names);
    }
  }
  SSL_CTX_clear_options(context_.get(), SSL_OP_LEGACY_SERVER_CONNECT |
                                            SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION);
  ERR_clear_error();
}

TInSSLContext::~TInSSLContext() = default;

namespace {

// Throws `Failure` for a file the process cannot read, naming it with the system's reason:
// the library's own words for a missing file ("system library") tell an operator nothing.
template <typename Failure>
void require_readable(const std::string& path) {
  const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    const int err = errno;
    throw Failure(TakeOpenSSLErrors(), "\"" + path + "\": " + base::errno_text(err) + ".");
  }
}

}  // namespace

void TInSSLContext::load_files() {
  if (!options_.fsRootCertFile.empty() || !options_.fVerifyDirs.empty()) {
    const char* file = options_.fsRootCertFile.empty() ? nullptr : options_.fsRootCertFile.c_str();
    const char* dirs = options_.fVerifyDirs.empty() ? nullptr : options_.fVerifyDirs.c_str();
    if (SSL_CTX_load_verify_locations(context_.get(), file, dirs) != 1) {
      if (file != nullptr) {
        require_readable<EInOSSLLoadingRootCertError>(options_.fsRootCertFile);
      }
      throw EInOSSLLoadingRootCertError(TakeOpenSSLErrors());
    }
  }
  if (SSL_CTX_use_certificate_chain_file(context_.get(), options_.fsCertFile.c_str()) != 1) {
    require_readable<EInOSSLLoadingCertError>(options_.fsCertFile);
    throw EInOSSLLoadingCertError(TakeOpenSSLErrors());
  }
  if (SSL_CTX_use_PrivateKey_file(context_.get(), options_.fsKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context_.get()) != 1) {
    require_readable<EInOSSLLoadingKeyError>(options_.fsKeyFile);
    throw EInOSSLLoadingKeyError(TakeOpenSSLErrors());
  }
}

}  // namespace appsrv::transport
