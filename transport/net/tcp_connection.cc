#include "transport/net/tcp_connection.h"

#include <exception>
#include <utility>

#include "transport/net/socket_handle.h"

namespace appsrv::transport {

TInTCPConnection::TInTCPConnection(std::unique_ptr<TInIOHandler> io_handler)
    : io_handler_(std::move(io_handler)) {}

TInTCPConnection::~TInTCPConnection() = default;

void TInTCPConnection::Disconnect(bool /*notify_peer*/) { io_handler_->Close(); }

TInContext::TInContext(TInCustomTCPServer& server, std::unique_ptr<TInTCPConnection> connection,
                       ConnectionEndpoints endpoints)
    : server_(server), connection_(std::move(connection)), endpoints_(std::move(endpoints)) {}

TInContext::~TInContext() = default;

const std::string& TInContext::LocalIP() const {
  if (!local_ip_asked_ && endpoints_.local_ip.empty()) {
    if (TInSocketHandle* socket = connection_->IOHandler().Binding();
        socket != nullptr && socket->HandleAllocated()) {
      try {
        socket->UpdateBindingLocal();
        endpoints_.local_ip = socket->FIP;
      } catch (const std::exception&) {
        // A connection reset before the look-up has no address left to tell.
      }
    }
  }
  local_ip_asked_ = true;
  return endpoints_.local_ip;
}

}  // namespace appsrv::transport
