// TInTCPConnection and TInContext: one accepted connection and what its thread knows about it.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/net/io_handler.h"
#include "transport/net/ip_version.h"

namespace appsrv::transport {

class TInCustomTCPServer;

// One connection: owns its I/O handler, whose destruction closes the socket.
class TInTCPConnection {
 public:
  explicit TInTCPConnection(std::unique_ptr<TInIOHandler> io_handler);
  TInTCPConnection(const TInTCPConnection&) = delete;
  TInTCPConnection& operator=(const TInTCPConnection&) = delete;
  virtual ~TInTCPConnection();

  TInIOHandler& IOHandler() { return *io_handler_; }
  bool Connected() const { return io_handler_->Connected(); }
  // Closes the I/O handler when it is open. `notify_peer` is kept for callers that pass it; the
  // peer always sees the connection end.
  void Disconnect(bool notify_peer = true);

 private:
  std::unique_ptr<TInIOHandler> io_handler_;
};

// Where a connection runs between: filled from the accepted socket (empty for channels without
// one). An empty local_ip with a socket underneath is looked up when the context is asked.
struct ConnectionEndpoints {
  std::string local_ip;
  uint16_t local_port = 0;
  std::string peer_ip;
  uint16_t peer_port = 0;
  TInIPVersion ip_version = TInIPVersion::Id_IPv4;
};

// The per-connection context a server hands to its steps. Owns the connection; lives on the
// connection's thread from before the connect step until after the disconnect step, and only
// that thread asks it for the endpoints. A server subclass may derive from it (see
// TInCustomTCPServer::CreateContext) to keep its own state.
class TInContext {
 public:
  TInContext(TInCustomTCPServer& server, std::unique_ptr<TInTCPConnection> connection,
             ConnectionEndpoints endpoints);
  TInContext(const TInContext&) = delete;
  TInContext& operator=(const TInContext&) = delete;
  virtual ~TInContext();

  TInCustomTCPServer& Server() const { return server_; }
  TInTCPConnection& Connection() { return *connection_; }
  TInIOHandler& IOHandler() { return connection_->IOHandler(); }
  const ConnectionEndpoints& Endpoints() const {
    LocalIP();
    return endpoints_;
  }
  const std::string& PeerIP() const { return endpoints_.peer_ip; }
  uint16_t PeerPort() const { return endpoints_.peer_port; }
  // "" when it cannot be known (no socket, or the socket is closed already).
  const std::string& LocalIP() const;
  uint16_t LocalPort() const { return endpoints_.local_port; }

  // Free slot for the server's or the application's per-connection data.
  std::any FData;

 private:
  TInCustomTCPServer& server_;
  std::unique_ptr<TInTCPConnection> connection_;
  // local_ip is filled in on the first ask, by the connection's thread.
  mutable ConnectionEndpoints endpoints_;
  mutable bool local_ip_asked_ = false;
};

}  // namespace appsrv::transport
