// Exception classes of the request pipeline and sessions; the routing code tells them apart.
#pragma once

#include <cstdint>
#include <string>

#include "base/exception.h"

namespace appsrv::server {

// General framework error.
class ESvException : public base::Exception {
 public:
  using base::Exception::Exception;
};

class ESvNoSessionId : public ESvException {
 public:
  using ESvException::ESvException;
};

// A request tried to use a session from another address or browser.
class ESvSecurityException : public ESvException {
 public:
  using ESvException::ESvException;
};

// A request named a session that cannot be used; carries the identifier it named.
class EInvalidSession : public ESvException {
 public:
  EInvalidSession(const std::string& message, std::string app_id)
      : ESvException(message), mAppID(std::move(app_id)) {}
  std::string mAppID;
};

class EExpiredSession : public EInvalidSession {
 public:
  explicit EExpiredSession(std::string app_id)
      : EInvalidSession("Your session has expired due to inactivity.", std::move(app_id)) {}
};

class EInvalidAppID : public EInvalidSession {
 public:
  explicit EInvalidAppID(std::string app_id)
      : EInvalidSession("Session ID is invalid.", std::move(app_id)) {}
};

// The live sessions have reached the controller's MaxSessions: no new one is made.
class ESessionLimitReached : public ESvException {
 public:
  ESessionLimitReached()
      : ESvException("The server is busy: too many sessions. Try again later.") {}
};

// One client is over a limit of its own (new sessions per minute, database requests at once):
// its request is refused, answered 503 with Retry-After, while other clients are served.
class EClientLimitReached : public ESvException {
 public:
  EClientLimitReached(const std::string& message, int32_t retry_after_seconds)
      : ESvException(message), retry_after_seconds(retry_after_seconds) {}
  int32_t retry_after_seconds;
};

class EUnknownBrowserException : public ESvException {
 public:
  using ESvException::ESvException;
};

}  // namespace appsrv::server
