// SecurableIOHandler: an I/O handler that can run a secure session (TLS) over its connection or
// pass the plain bytes through. The HTTP server decides which per connection through this seam,
// without knowing the protocol that secures it.
#pragma once

#include "transport/net/io_handler.h"

namespace appsrv::transport {

// Belongs to the one thread that serves the connection, as every I/O handler does.
class SecurableIOHandler : public TInIOHandler {
 public:
  using TInIOHandler::TInIOHandler;

  // True while the bytes pass through plain; handlers start so.
  virtual bool PassThrough() const = 0;
  // false: secures the connection (a handshake, whose failure it raises); true: plain again.
  virtual void SetPassThrough(bool pass_through) = 0;
};

}  // namespace appsrv::transport
