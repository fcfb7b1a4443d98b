// TInTCPConnection and TInContext: one accepted connection and what its thread knows about it.
#pragma once

#include <any>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
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

// A connection's hold on its slot when every slot of the server is taken. The connection's
// thread says when it waits for a request (idle, or still inside the request's head) and when it
// is being served; the accept thread may take the slot of one that waits, never of one being
// served. Thread-safe.
class SlotClaim {
 public:
  struct Waiting {
    int64_t since_ns;      // base::monotonic_ns() when the wait began
    int64_t bytes_before;  // the handler's BytesReceived() then, less what was left unread
  };

  // Waits for a request from now on; no effect once the slot is taken.
  void Wait(const Waiting& waiting) noexcept;
  // Is being served from now on. False when the accept thread took the slot first: the
  // connection is being closed and must not be served.
  [[nodiscard]] bool Hold() noexcept;
  // The wait as last said; nullopt while held or once taken.
  std::optional<Waiting> Waits() const noexcept;
  // For the accept thread: takes the slot when the connection still waits as `seen` says (the
  // caller closes the connection then). False when it has been held or has waited anew since.
  bool Take(const Waiting& seen) noexcept;

 private:
  static constexpr int64_t kHeld = -1;
  static constexpr int64_t kTaken = -2;

  // since_ns of the wait, or kHeld, or kTaken (which only Take sets, and nothing undoes).
  std::atomic<int64_t> since_ns_{kHeld};
  // Written before since_ns_ and read after it: a reader that catches a change in between
  // ranks the connection by a byte count a moment old.
  std::atomic<int64_t> bytes_before_{0};
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
  // Whether the server may close this connection to make room for a new one.
  SlotClaim& Claim() { return claim_; }

 private:
  TInCustomTCPServer& server_;
  std::unique_ptr<TInTCPConnection> connection_;
  // local_ip is filled in on the first ask, by the connection's thread.
  mutable ConnectionEndpoints endpoints_;
  mutable bool local_ip_asked_ = false;
  SlotClaim claim_;
};

}  // namespace appsrv::transport
