// TInServerIOHandler: turns an accepted socket into the connection's I/O handler. The TLS
// variant derives from it.
#pragma once

#include <memory>

#include "transport/net/io_handler.h"
#include "transport/net/socket_handle.h"

namespace appsrv::transport {

// Shared by the listener threads of one server: implementations must be safe to call from
// several threads at once.
class TInServerIOHandler {
 public:
  TInServerIOHandler() = default;
  TInServerIOHandler(const TInServerIOHandler&) = delete;
  TInServerIOHandler& operator=(const TInServerIOHandler&) = delete;
  virtual ~TInServerIOHandler() = default;

  virtual void Init() {}
  virtual void Shutdown() {}
  // The I/O handler of a newly accepted socket (plain: a socket channel, open).
  virtual std::unique_ptr<TInIOHandler> MakeClientIOHandler(
      std::unique_ptr<TInSocketHandle> accepted, const IOHandlerSettings& settings);
};

}  // namespace appsrv::transport
