// The failures of the transport: one class per fault so that callers can tell them apart.
#pragma once

#include <string>

#include "base/exception.h"

namespace appsrv::transport {

// Base of every transport failure.
class EInException : public base::Exception {
 public:
  using base::Exception::Exception;
};

// A failed socket call. `LastError()` is the Windows Sockets style code (10054 for a reset...);
// the message is "Socket Error # <code>" CR LF <text of the code>.
class EInSocketError : public EInException {
 public:
  EInSocketError(int code, const std::string& message) : EInException(message), code_(code) {}
  int LastError() const { return code_; }

 private:
  int code_;
};

// A socket call on something that is not a socket (code 10038).
class EInNotASocket : public EInSocketError {
 public:
  using EInSocketError::EInSocketError;
};

#define APPSRV_TRANSPORT_EXCEPTION(Name, Base, Text)  \
  class Name : public Base {                          \
   public:                                            \
    Name() : Base(Text) {}                            \
    explicit Name(const std::string& m) : Base(m) {}  \
  }

APPSRV_TRANSPORT_EXCEPTION(EInCouldNotBindSocket, EInException,
                           "Could not bind socket. Address and port are already in use.");
APPSRV_TRANSPORT_EXCEPTION(EInIPVersionUnsupported, EInException,
                           "The requested IPVersion / Address family is not supported.");
APPSRV_TRANSPORT_EXCEPTION(EInStackInitializationFailed, EInException, "Stack initialization failed");
APPSRV_TRANSPORT_EXCEPTION(EInInvalidPortRange, EInException, "Invalid Port Range");
APPSRV_TRANSPORT_EXCEPTION(EInCanNotBindPortInRange, EInException, "Can not bind in port range");
APPSRV_TRANSPORT_EXCEPTION(EInConnClosedGracefully, EInException, "Connection Closed Gracefully.");
APPSRV_TRANSPORT_EXCEPTION(EInReadTimeout, EInException, "Read timed out.");
APPSRV_TRANSPORT_EXCEPTION(EInNotConnected, EInException, "Not Connected");
APPSRV_TRANSPORT_EXCEPTION(EInClosedSocket, EInException, "Disconnected.");
APPSRV_TRANSPORT_EXCEPTION(EInReadLnMaxLineLengthExceeded, EInException,
                           "Max line length exceeded.");
APPSRV_TRANSPORT_EXCEPTION(EInMaxCaptureLineExceeded, EInException,
                           "Maximum number of line allowed exceeded");
APPSRV_TRANSPORT_EXCEPTION(EInNoDataToRead, EInException, "No data to read.");
APPSRV_TRANSPORT_EXCEPTION(EInTooMuchDataInBuffer, EInException, "Too much data in buffer.");
APPSRV_TRANSPORT_EXCEPTION(EInNotEnoughDataInBuffer, EInException, "Not enough data in buffer.");
APPSRV_TRANSPORT_EXCEPTION(EInIOHandlerRequiresLargeStream, EInException,
                           "Set LargeStream to True to send streams greater than 2GB");
APPSRV_TRANSPORT_EXCEPTION(EInIOHandlerStreamDataTooLarge, EInException,
                           "Data is too large for stream");
// Programming errors of the server: changing what may only change while it is inactive.
APPSRV_TRANSPORT_EXCEPTION(EInServerActive, EInException,
                           "Cannot change the scheduler while the server is Active.");

#undef APPSRV_TRANSPORT_EXCEPTION

}  // namespace appsrv::transport
