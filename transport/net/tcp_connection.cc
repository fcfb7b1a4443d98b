#include "transport/net/tcp_connection.h"

#include <exception>
#include <utility>

#include "transport/net/socket_handle.h"

namespace appsrv::transport {

TInTCPConnection::TInTCPConnection(std::unique_ptr<TInIOHandler> io_handler)
    : io_handler_(std::move(io_handler)) {}

TInTCPConnection::~TInTCPConnection() = default;

void TInTCPConnection::Disconnect(bool /*notify_peer*/) { io_handler_->Close(); }

void SlotClaim::Wait(const Waiting& waiting) noexcept {
  bytes_before_.store(waiting.bytes_before, std::memory_order_relaxed);
  int64_t now = since_ns_.load(std::memory_order_relaxed);
  while (now != kTaken &&
         !since_ns_.compare_exchange_weak(now, waiting.since_ns, std::memory_order_release,
                                          std::memory_order_relaxed)) {
  }
}

bool SlotClaim::Hold() noexcept {
  int64_t now = since_ns_.load(std::memory_order_relaxed);
  while (now != kTaken && !since_ns_.compare_exchange_weak(now, kHeld, std::memory_order_acq_rel,
                                                           std::memory_order_relaxed)) {
  }
  return now != kTaken;
}

std::optional<SlotClaim::Waiting> SlotClaim::Waits() const noexcept {
  const int64_t since = since_ns_.load(std::memory_order_acquire);
  if (since < 0) {
    return std::nullopt;
  }
  return Waiting{since, bytes_before_.load(std::memory_order_relaxed)};
}

bool SlotClaim::Take(const Waiting& seen) noexcept {
  int64_t expected = seen.since_ns;
  return since_ns_.compare_exchange_strong(expected, kTaken, std::memory_order_acq_rel);
}

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
