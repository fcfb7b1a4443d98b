// A byte channel over an accepted socket handle, which it owns.
#pragma once

#include <memory>

#include "transport/net/byte_channel.h"
#include "transport/net/socket_handle.h"

namespace appsrv::transport {

class SocketChannel : public ByteChannel {
 public:
  explicit SocketChannel(std::unique_ptr<TInSocketHandle> binding);

  bool WaitReadable(int timeout_ms) override;
  IoResult Receive(void* buffer, size_t size) override;
  IoResult ReceiveWithin(void* buffer, size_t size, int timeout_ms) override;
  IoResult Send(const void* data, size_t size) override;
  void LastSendsFollow() override { last_sends_ = true; }
  bool EndSending() override;
  void Close() override;
  bool IsOpen() const override;
  TInSocketHandle* Binding() override { return binding_.get(); }

 private:
  std::unique_ptr<TInSocketHandle> binding_;
  bool received_ = false;  // a receive has been tried
  bool last_sends_ = false;  // sends may hold a partial packet back for EndSending
};

}  // namespace appsrv::transport
