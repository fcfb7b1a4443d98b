// Failures raised while a request is routed and executed, and the silent abort that ends a
// request quietly once its reply (a redirect, an authentication challenge) is built.
#pragma once

#include <string>

#include "base/exception.h"

namespace appsrv::server {

// General framework error.
class ESvException : public base::Exception {
 public:
  using base::Exception::Exception;
};

// A request that needs a session named none.
class ESvNoSessionId : public ESvException {
 public:
  using ESvException::ESvException;
};

// The client address or browser differs from the one that created the session.
class ESvSecurityException : public ESvException {
 public:
  using ESvException::ESvException;
};

// An internal file that is not in the store.
class ESvInvalidResourceException : public ESvException {
 public:
  using ESvException::ESvException;
};

// Ends request processing without an error reply: the reply built so far stands.
class SilentAbort : public base::Exception {
 public:
  SilentAbort() : base::Exception("Operation aborted") {}
};

}  // namespace appsrv::server
