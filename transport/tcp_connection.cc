#include "transport/tcp_connection.h"

#include <utility>

namespace appsrv::transport {

TInTCPConnection::TInTCPConnection(std::unique_ptr<TInIOHandler> io_handler)
    : io_handler_(std::move(io_handler)) {}

TInTCPConnection::~TInTCPConnection() = default;

void TInTCPConnection::Disconnect(bool /*notify_peer*/) { io_handler_->Close(); }

TInContext::TInContext(TInCustomTCPServer& server, std::unique_ptr<TInTCPConnection> connection,
                       ConnectionEndpoints endpoints)
    : server_(server), connection_(std::move(connection)), endpoints_(std::move(endpoints)) {}

TInContext::~TInContext() = default;

}  // namespace appsrv::transport
