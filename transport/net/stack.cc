#include "transport/net/stack.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/unique_fd.h"
#include "transport/net/socket_errors.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

// On this platform the stack holds no state of its own, so the count of usages is all there is
// to it; it still tells tests that nothing leaked. Every socket handle, one per connection,
// takes a usage: a lock-free count keeps connections from queueing on one lock.
std::atomic<int> g_usage_count{0};

thread_local int t_last_error = 0;
thread_local int t_last_errno = 0;

int record_errno() {
  t_last_errno = errno;
  t_last_error = socket_error_from_errno(errno);
  return t_last_error;
}

[[noreturn]] void raise_errno() { RaiseSocketError(record_errno()); }

int family_of(TInIPVersion v) { return v == TInIPVersion::Id_IPv6 ? AF_INET6 : AF_INET; }

// The dotted text of an IPv4 address. The system's formatter goes through printf, which every
// accepted connection would pay for.
std::string ipv4_text(const in_addr& address) {
  const auto* octets = reinterpret_cast<const unsigned char*>(&address.s_addr);
  char text[INET_ADDRSTRLEN];
  char* at = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      *at++ = '.';
    }
    const unsigned v = octets[i];
    if (v >= 100) {
      *at++ = static_cast<char>('0' + v / 100);
    }
    if (v >= 10) {
      *at++ = static_cast<char>('0' + v / 10 % 10);
    }
    *at++ = static_cast<char>('0' + v % 10);
  }
  return std::string(text, at);
}

SocketAddress from_sockaddr(const sockaddr_storage& addr) {
  SocketAddress out;
  if (addr.ss_family == AF_INET6) {
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(addr);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &a6.sin6_addr, text, sizeof(text));
    out.ip = text;
    out.ip_version = TInIPVersion::Id_IPv6;
    out.port = ntohs(a6.sin6_port);
  } else if (addr.ss_family == AF_INET) {
    const auto& a4 = reinterpret_cast<const sockaddr_in&>(addr);
    out.ip = ipv4_text(a4.sin_addr);
    out.port = ntohs(a4.sin_port);
  }
  return out;
}

}  // namespace

TInStack::Usage::Usage() { g_usage_count.fetch_add(1, std::memory_order_relaxed); }

TInStack::Usage::~Usage() { g_usage_count.fetch_sub(1, std::memory_order_relaxed); }

int TInStack::UsageCount() { return g_usage_count.load(); }

int TInStack::NewSocketHandle(int socket_type, int protocol, TInIPVersion ip_version) {
  int fd = ::socket(family_of(ip_version), socket_type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    raise_errno();
  }
  if (ip_version == TInIPVersion::Id_IPv6) {
    // An IPv6 binding serves IPv6 only, so that it can share a port with an IPv4 binding.
    int on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
  }
  return fd;
}

void TInStack::Bind(int handle, const std::string& ip, TInIPVersion ip_version, uint16_t port) {
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (ip_version == TInIPVersion::Id_IPv6) {
    auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    a6.sin6_addr = in6addr_any;
    if (!ip.empty() && ::inet_pton(AF_INET6, ip.c_str(), &a6.sin6_addr) != 1) {
      // What bind() says of an address this machine does not have (10049).
      errno = EADDRNOTAVAIL;
      raise_errno();
    }
    len = sizeof(sockaddr_in6);
  } else {
    auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
    a4.sin_family = AF_INET;
    a4.sin_port = htons(port);
    a4.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!ip.empty() && ::inet_pton(AF_INET, ip.c_str(), &a4.sin_addr) != 1) {
      errno = EADDRNOTAVAIL;
      raise_errno();
    }
    len = sizeof(sockaddr_in);
  }
  if (::bind(handle, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    raise_errno();
  }
}

void TInStack::Listen(int handle, int queue_length) {
  if (::listen(handle, queue_length) != 0) {
    raise_errno();
  }
}

AcceptedSocket TInStack::Accept(int listening_handle) {
  AcceptedSocket out;
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  int fd;
  do {
    fd = ::accept4(listening_handle, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    record_errno();
    return out;
  }
  out.handle = fd;
  if (addr.ss_family != AF_INET && addr.ss_family != AF_INET6) {
    ::close(fd);
    throw EInIPVersionUnsupported();
  }
  SocketAddress peer = from_sockaddr(addr);
  out.peer_ip = std::move(peer.ip);
  out.peer_ip_version = peer.ip_version;
  out.peer_port = peer.port;
  return out;
}

SocketAddress TInStack::GetSocketName(int handle) {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  if (::getsockname(handle, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    raise_errno();
  }
  return from_sockaddr(addr);
}

SocketAddress TInStack::GetPeerName(int handle) {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  if (::getpeername(handle, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    raise_errno();
  }
  return from_sockaddr(addr);
}

int TInStack::GetSocketOption(int handle, int level, int option) {
  int value = 0;
  socklen_t len = sizeof(value);
  if (::getsockopt(handle, level, option, &value, &len) != 0) {
    raise_errno();
  }
  return value;
}

void TInStack::SetSocketOption(int handle, int level, int option, int value) {
  if (::setsockopt(handle, level, option, &value, sizeof(value)) != 0) {
    raise_errno();
  }
}

int64_t TInStack::Receive(int handle, void* buffer, size_t size, int flags) {
  ssize_t n;
  do {
    n = ::recv(handle, buffer, size, flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    record_errno();
  }
  return n;
}

int64_t TInStack::Send(int handle, const void* data, size_t size, bool more) {
  ssize_t n;
  do {
    // A peer that has gone must be an error code, never a SIGPIPE that ends the process.
    n = ::send(handle, data, size, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    record_errno();
  }
  return n;
}

void TInStack::Disconnect(int handle) {
  ::shutdown(handle, SHUT_WR);
  ::close(handle);
}

int TInStack::WSGetLastError() { return t_last_error; }

int TInStack::LastSystemError() { return t_last_errno; }

void TInStack::WSSetLastError(int code) { t_last_error = code; }

bool TInStack::SupportsIPv6() {
  static const bool supported = [] {
    const base::UniqueFd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.valid();
  }();
  return supported;
}

}  // namespace appsrv::transport
