// A plain POSIX client for socket-level transport tests: connects to a loopback port and reads
// with a bound. The HTTP-level tests use the client in http_test_client.h.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace appsrv::transport::testing {

// Long enough for a loaded machine, short enough that a broken test ends.
constexpr int kPatienceMs = 10000;

class RawSocketClient {
 public:
  explicit RawSocketClient(uint16_t port, bool ipv6 = false) {
    fd_.reset(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage addr{};
    socklen_t len;
    if (ipv6) {
      auto& a = reinterpret_cast<sockaddr_in6&>(addr);
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(port);
      a.sin6_addr = in6addr_loopback;
      len = sizeof(a);
    } else {
      auto& a = reinterpret_cast<sockaddr_in&>(addr);
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof(a);
    }
    connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0;
  }
  RawSocketClient(const RawSocketClient&) = delete;
  RawSocketClient& operator=(const RawSocketClient&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_.get(); }
  void send(std::string_view bytes) {
    (void)::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  void close() { fd_.reset(); }

  // Reads until the server closes (or the patience runs out: then `closed` stays false).
  std::string read_to_end(bool* closed = nullptr) {
    std::string out;
    char block[4096];
    for (;;) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, kPatienceMs) <= 0) {
        return out;
      }
      const ssize_t n = ::recv(fd_.get(), block, sizeof(block), 0);
      if (n <= 0) {
        if (closed != nullptr) {
          *closed = true;
        }
        return out;
      }
      out.append(block, static_cast<size_t>(n));
    }
  }

  // Reads until `want` bytes arrived, the server closed or the patience ran out.
  std::string read_some(size_t want) {
    std::string out;
    char block[4096];
    while (out.size() < want) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, kPatienceMs) <= 0) {
        break;
      }
      const ssize_t n = ::recv(fd_.get(), block, sizeof(block), 0);
      if (n <= 0) {
        break;
      }
      out.append(block, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  base::UniqueFd fd_;
  bool connected_ = false;
};

}  // namespace appsrv::transport::testing
