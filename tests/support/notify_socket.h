// The service manager's end of sd_notify for tests: a datagram socket in the abstract
// namespace that a program reaches through NOTIFY_SOCKET, read with a deadline.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "base/unique_fd.h"

namespace appsrv::testing {

class NotifySocket {
 public:
  // Throws std::runtime_error when the socket cannot be made.
  NotifySocket();
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // "NOTIFY_SOCKET=@..." for a child's environment; address() is the value alone.
  std::string env() const { return "NOTIFY_SOCKET=" + address_; }
  const std::string& address() const { return address_; }
  // The next datagram, or nullopt when none came within `timeout` (0: only one already there).
  std::optional<std::string> Receive(std::chrono::milliseconds timeout);
  // Receives until a datagram holds the line `line` ("READY=1"); returns that datagram.
  std::optional<std::string> WaitFor(const std::string& line, std::chrono::milliseconds timeout);

 private:
  base::UniqueFd fd_;
  std::string address_;
};

}  // namespace appsrv::testing
