#include "transport/socket_channel.h"

#include <utility>

namespace appsrv::transport {

SocketChannel::SocketChannel(std::unique_ptr<TInSocketHandle> binding)
    : binding_(std::move(binding)) {}

bool SocketChannel::WaitReadable(int timeout_ms) { return binding_->Readable(timeout_ms); }

IoResult SocketChannel::Receive(void* buffer, size_t size) {
  IoResult r;
  r.bytes = binding_->Receive(buffer, size, r.error);
  return r;
}

IoResult SocketChannel::Send(const void* data, size_t size) {
  IoResult r;
  r.bytes = binding_->Send(data, size, r.error);
  return r;
}

void SocketChannel::Close() { binding_->CloseSocket(); }

bool SocketChannel::IsOpen() const { return binding_->HandleAllocated(); }

}  // namespace appsrv::transport
