#include "tests/support/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace appsrv::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_sockets{0};

bool has_line(const std::string& datagram, const std::string& line) {
  size_t start = 0;
  while (start <= datagram.size()) {
    const size_t end = std::min(datagram.find('\n', start), datagram.size());
    if (datagram.compare(start, end - start, line) == 0) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

}  // namespace

NotifySocket::NotifySocket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  if (!fd_.valid()) {
    throw std::runtime_error("socket failed");
  }
  const std::string name = "appsrv-notify-" + std::to_string(::getpid()) + "-" +
                           std::to_string(g_sockets.fetch_add(1));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Abstract: a leading zero byte, no file to clean up.
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    throw std::runtime_error("bind failed: " + std::string(std::strerror(errno)));
  }
  address_ = "@" + name;
}

NotifySocket::~NotifySocket() = default;

std::optional<std::string> NotifySocket::Receive(std::chrono::milliseconds timeout) {
  pollfd p{fd_.get(), POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) {
    return std::nullopt;
  }
  char buf[4096];
  const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
  if (n < 0) {
    return std::nullopt;
  }
  return std::string(buf, static_cast<size_t>(n));
}

std::optional<std::string> NotifySocket::WaitFor(const std::string& line,
                                                 std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    std::optional<std::string> datagram = Receive(std::max(left, std::chrono::milliseconds(0)));
    if (!datagram || has_line(*datagram, line)) {
      return datagram;
    }
  }
}

}  // namespace appsrv::testing
