// The failures of TLS set-up, handshakes and TLS reads and writes.
#pragma once

#include <string>

#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {

// A failed TLS step. The message is the step's own text; `Detail()` holds what the library
// said about it (may be empty), for logs.
class EInOpenSSLError : public EInException {
 public:
  explicit EInOpenSSLError(const std::string& message, std::string detail = {})
      : EInException(message), detail_(std::move(detail)) {}
  const std::string& Detail() const { return detail_; }

 private:
  std::string detail_;
};

// A TLS read or write that failed inside the library; `ErrorCode()` is SSL_get_error's result.
class EInOpenSSLAPISSLError : public EInOpenSSLError {
 public:
  EInOpenSSLAPISSLError(int error_code, std::string detail)
      : EInOpenSSLError("SSL error " + std::to_string(error_code) +
                            (detail.empty() ? "" : ": " + detail),
                        detail),
        error_code_(error_code) {}
  int ErrorCode() const { return error_code_; }

 private:
  int error_code_;
};

// The second constructor adds what the message alone does not say, such as the file that
// could not be read and why: Text + " " + `about`.
#define APPSRV_SSL_EXCEPTION(Name, Text)                                            \
  class Name : public EInOpenSSLError {                                             \
   public:                                                                          \
    explicit Name(std::string detail = {}) : EInOpenSSLError(Text, std::move(detail)) {} \
    Name(std::string detail, const std::string& about)                              \
        : EInOpenSSLError(std::string(Text) + " " + about, std::move(detail)) {}     \
  }

APPSRV_SSL_EXCEPTION(EInOSSLCouldNotLoadSSLLibrary, "Could not load SSL library.");
APPSRV_SSL_EXCEPTION(EInOSSLCreatingContextError, "Error creating SSL context.");
APPSRV_SSL_EXCEPTION(EInOSSLLoadingRootCertError, "Could not load root certificate.");
APPSRV_SSL_EXCEPTION(EInOSSLLoadingCertError, "Could not load certificate.");
APPSRV_SSL_EXCEPTION(EInOSSLLoadingKeyError, "Could not load key, check password.");
APPSRV_SSL_EXCEPTION(EInOSSLLoadingDHParamsError, "Could not load DH Parameters.");
APPSRV_SSL_EXCEPTION(EInOSSLSettingCipherError, "SetCipher failed.");
APPSRV_SSL_EXCEPTION(EInOSSLCreatingSessionError, "Error creating SSL session.");
APPSRV_SSL_EXCEPTION(EInOSSLDataBindingError, "Error setting File Descriptor for SSL");
APPSRV_SSL_EXCEPTION(EInOSSLAcceptError, "Error accepting connection with SSL.");

#undef APPSRV_SSL_EXCEPTION

// Takes the calling thread's queue of library errors as one text and empties it.
std::string TakeOpenSSLErrors();

}  // namespace appsrv::transport
