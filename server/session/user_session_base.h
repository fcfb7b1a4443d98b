// The base of the application's per-session data modules: it remembers the session it was
// made for.
#pragma once

#include "server/session/session.h"

namespace appsrv::server {

// Owned by its session (the FData slot) and used by one request of that session at a time.
class TSvUserSessionBase : public SessionData {
 public:
  explicit TSvUserSessionBase(TSvApplication* ASession) : mWebApplication(ASession) {}

  // The session the module was made for or, when made without one, the thread's current
  // session (nullptr when the thread serves none).
  TSvApplication* WebApplication() const {
    return mWebApplication != nullptr ? mWebApplication : CurrentSession();
  }

 protected:
  TSvApplication* mWebApplication;
};

}  // namespace appsrv::server
