#include "transport/net/socket_channel.h"

#include <utility>

#include "transport/net/socket_errors.h"

namespace appsrv::transport {

SocketChannel::SocketChannel(std::unique_ptr<TInSocketHandle> binding)
    : binding_(std::move(binding)) {}

bool SocketChannel::WaitReadable(int timeout_ms) { return binding_->Readable(timeout_ms); }

IoResult SocketChannel::Receive(void* buffer, size_t size) {
  IoResult r;
  r.bytes = binding_->Receive(buffer, size, r.error);
  return r;
}

IoResult SocketChannel::ReceiveWithin(void* buffer, size_t size, int timeout_ms) {
  // The first request has usually arrived by the time a new connection's thread reads, so
  // taking it at once saves the wait's system call. Later reads mostly come while the peer is
  // still busy with our reply, and wait first.
  if (!received_) {
    received_ = true;
    IoResult r;
    r.bytes = binding_->Receive(buffer, size, r.error, /*now=*/true);
    if (r.error != kWSAEWOULDBLOCK) {
      return r;
    }
  }
  return ByteChannel::ReceiveWithin(buffer, size, timeout_ms);
}

IoResult SocketChannel::Send(const void* data, size_t size) {
  IoResult r;
  r.bytes = binding_->Send(data, size, r.error, /*more=*/last_sends_);
  return r;
}

bool SocketChannel::EndSending() {
  last_sends_ = false;
  return binding_->ShutdownSending();
}

void SocketChannel::Close() { binding_->CloseSocket(); }

bool SocketChannel::IsOpen() const { return binding_->HandleAllocated(); }

}  // namespace appsrv::transport
