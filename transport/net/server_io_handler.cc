#include "transport/net/server_io_handler.h"

#include <utility>

#include "transport/net/socket_channel.h"

namespace appsrv::transport {

std::unique_ptr<TInIOHandler> TInServerIOHandler::MakeClientIOHandler(
    std::unique_ptr<TInSocketHandle> accepted, const IOHandlerSettings& settings) {
  return std::make_unique<TInIOHandler>(std::make_unique<SocketChannel>(std::move(accepted)),
                                        settings);
}

}  // namespace appsrv::transport
