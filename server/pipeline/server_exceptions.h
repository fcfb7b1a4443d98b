// The silent abort that ends a request quietly once its reply (a redirect, an authentication
// challenge) is built; the other failures of the pipeline are in sv_exception.h.
#pragma once

#include "base/exception.h"
#include "server/exchange/sv_exception.h"

namespace appsrv::server {

// Ends request processing without an error reply: the reply built so far stands.
class SilentAbort : public base::Exception {
 public:
  SilentAbort() : base::Exception("Operation aborted") {}
};

}  // namespace appsrv::server
