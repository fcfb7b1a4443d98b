#include "transport/net/socket_handle.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "base/exception.h"
#include "transport/net/socket_errors.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

// poll() with a deadline: an interrupted wait goes on with the time that is left.
bool poll_readable(int fd, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, wait_ms);
    if (rc > 0) {
      return true;
    }
    if (rc == 0) {
      return false;
    }
    if (errno != EINTR) {
      return true;  // the receive that follows reports the failure
    }
  }
}

}  // namespace

TInSocketHandle::~TInSocketHandle() { CloseSocket(); }

bool TInSocketHandle::HandleAllocated() const {
  std::scoped_lock lock(mu_);
  return allocated_;
}

int TInSocketHandle::Handle() const {
  std::scoped_lock lock(mu_);
  return allocated_ ? handle_ : -1;
}

void TInSocketHandle::AllocateSocket(int socket_type, int protocol) {
  CloseSocket();
  // The local address and port stay: they say where the new socket is to be bound.
  FPeerIP.clear();
  FPeerPort = 0;
  int fd = TInStack::NewSocketHandle(socket_type, protocol, FIPVersion);
  {
    std::scoped_lock lock(mu_);
    handle_ = fd;
    allocated_ = true;
  }
  FSocketType = TInStack::GetSocketOption(fd, SOL_SOCKET, SO_TYPE);
  if (FSocketType == SOCK_STREAM) {
    FUseNagle = TInStack::GetSocketOption(fd, IPPROTO_TCP, TCP_NODELAY) == 0;
  }
}

std::string BindFailureText(const std::string& ip, TInIPVersion ip_version, uint16_t port,
                            int err) {
  const bool v6 = ip_version == TInIPVersion::Id_IPv6;
  std::string address = ip.empty() ? std::string(v6 ? "::" : "0.0.0.0") : ip;
  if (v6) {
    address = "[" + address + "]";
  }
  return "Could not bind socket to " + address + ":" + std::to_string(port) + ": " +
         base::errno_text(err) + ".";
}

void TInSocketHandle::Bind() {
  int fd = Handle();
  // Here address reuse only lets a listener bind while connections it closed earlier linger
  // in TIME_WAIT; it never lets a second listener share the port. Without it a server that is
  // stopped after serving could not start again on its port for a minute, so it is on unless
  // turned off explicitly.
  SetSockOpt(SOL_SOCKET, SO_REUSEADDR, FReuseSocket == TInReuseSocket::rsFalse ? 0 : 1);
  if (FPort == 0 && (FClientPortMin != 0 || FClientPortMax != 0)) {
    if (FClientPortMax < FClientPortMin) {
      throw EInInvalidPortRange("Invalid Port Range (" + std::to_string(FClientPortMin) + " - " +
                                std::to_string(FClientPortMax) + ")");
    }
    bool bound = false;
    for (int port = FClientPortMax; port >= FClientPortMin && !bound; --port) {
      try {
        TInStack::Bind(fd, FIP, FIPVersion, static_cast<uint16_t>(port));
        bound = true;
      } catch (const EInSocketError&) {
      }
    }
    if (!bound) {
      throw EInCanNotBindPortInRange("Can not bind in port range (" +
                                     std::to_string(FClientPortMin) + " - " +
                                     std::to_string(FClientPortMax) + ")");
    }
  } else {
    try {
      TInStack::Bind(fd, FIP, FIPVersion, FPort);
    } catch (const EInSocketError&) {
      // Whoever reads this (an operator at a console, the journal) must learn which address
      // and port it was and why: in use, or below 1024 without the right, or not this host's.
      throw EInCouldNotBindSocket(BindFailureText(FIP, FIPVersion, FPort,
                                                  TInStack::LastSystemError()));
    }
  }
  UpdateBindingLocal();
  SetNagleOpt(FUseNagle);
}

void TInSocketHandle::Listen(int queue_length) { TInStack::Listen(Handle(), queue_length); }

bool TInSocketHandle::Accept(TInSocketHandle& listening, bool look_up_local_ip) {
  CloseSocket();
  int listen_fd = listening.begin_use();
  if (listen_fd < 0) {
    return false;
  }
  AcceptedSocket accepted;
  try {
    accepted = TInStack::Accept(listen_fd);
  } catch (...) {
    listening.end_use();
    throw;
  }
  listening.end_use();
  if (accepted.handle < 0) {
    return false;
  }
  {
    std::scoped_lock lock(mu_);
    handle_ = accepted.handle;
    allocated_ = true;
  }
  FIPVersion = accepted.peer_ip_version;
  FPeerIP = std::move(accepted.peer_ip);
  FPeerPort = accepted.peer_port;
  FSocketType = SOCK_STREAM;
  send_timeout_ms_ = listening.send_timeout_ms_;
  // A listener bound to one address accepts on that address and port only.
  FIP = listening.FIP;
  FPort = listening.FPort;
  if (listening.FIP.empty() || listening.FIP == "0.0.0.0" || listening.FIP == "::") {
    FIP.clear();
    if (look_up_local_ip) {
      UpdateBindingLocal();
    }
  }
  return true;
}

bool TInSocketHandle::RefuseWaiting(DescriptorReserve& reserve) {
  const int fd = begin_use();
  if (fd < 0) {
    return false;
  }
  const bool refused = reserve.RefuseOne(fd);
  end_use();
  return refused;
}

bool TInSocketHandle::Readable(int timeout_ms) {
  int fd = begin_use();
  if (fd < 0) {
    return true;  // closed: a receive now fails at once instead of waiting
  }
  bool readable = poll_readable(fd, timeout_ms);
  end_use();
  return readable;
}

void TInSocketHandle::CloseSocket() {
  std::scoped_lock lock(mu_);
  if (!allocated_) {
    return;
  }
  allocated_ = false;
  if (users_ == 0) {
    // Nobody waits on the socket: closing it sends the peer its FIN (or, with received bytes
    // left unread, a reset, which a shutdown first would not prevent either).
    release_locked();
    return;
  }
  // Shutting down both directions wakes the thread blocked in poll or recv on this
  // socket and sends the peer its FIN; the descriptor itself goes once no thread is inside a
  // call on it, so that its number is not reused under that thread.
  ::shutdown(handle_, SHUT_RDWR);
}

bool TInSocketHandle::ShutdownSending() {
  const int fd = begin_use();
  if (fd < 0) {
    return false;
  }
  const bool done = ::shutdown(fd, SHUT_WR) == 0;
  end_use();
  return done;
}

void TInSocketHandle::release_locked() {
  ::close(handle_);
  handle_ = -1;
}

int TInSocketHandle::begin_use() {
  std::scoped_lock lock(mu_);
  if (!allocated_) {
    return -1;
  }
  ++users_;
  return handle_;
}

void TInSocketHandle::end_use() {
  std::scoped_lock lock(mu_);
  --users_;
  if (users_ == 0 && !allocated_ && handle_ >= 0) {
    release_locked();
  }
}

void TInSocketHandle::UpdateBindingLocal() {
  SocketAddress local = TInStack::GetSocketName(Handle());
  FIP = std::move(local.ip);
  FPort = local.port;
  FIPVersion = local.ip_version;
}

void TInSocketHandle::UpdateBindingPeer() {
  SocketAddress peer = TInStack::GetPeerName(Handle());
  FPeerIP = std::move(peer.ip);
  FPeerPort = peer.port;
}

void TInSocketHandle::SetNagleOpt(bool use_nagle) {
  FUseNagle = use_nagle;
  SetSockOpt(IPPROTO_TCP, TCP_NODELAY, use_nagle ? 0 : 1);
}

void TInSocketHandle::SetNonBlocking(bool non_blocking) {
  const int fd = Handle();
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 ||
      ::fcntl(fd, F_SETFL, non_blocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0) {
    RaiseSocketError(socket_error_from_errno(errno));
  }
}

void TInSocketHandle::SetSockOpt(int level, int option, int value) {
  TInStack::SetSocketOption(Handle(), level, option, value);
}

void TInSocketHandle::TightenSendTimeout(int32_t timeout_ms) {
  int64_t current_ms = send_timeout_ms_;
  if (current_ms < 0) {
    timeval current{};
    socklen_t size = sizeof current;
    if (::getsockopt(Handle(), SOL_SOCKET, SO_SNDTIMEO, &current, &size) == 0) {
      current_ms = current.tv_sec * 1000 + current.tv_usec / 1000;
    }
  }
  if (current_ms > 0 && current_ms <= timeout_ms) {
    return;
  }
  SetSendTimeout(timeout_ms);
}

void TInSocketHandle::SetTimeouts(int32_t timeout_ms) {
  set_timeout_options(timeout_ms, true);
}

void TInSocketHandle::SetSendTimeout(int32_t timeout_ms) {
  set_timeout_options(timeout_ms, false);
}

void TInSocketHandle::set_timeout_options(int32_t timeout_ms, bool receive_too) {
  const int fd = Handle();
  if (fd < 0) {
    return;
  }
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  if ((receive_too && ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) ||
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0) {
    send_timeout_ms_ = -1;  // unknown: the next tightening reads it from the socket
    RaiseSocketError(socket_error_from_errno(errno));
  }
  send_timeout_ms_ = timeout_ms;
}

int TInSocketHandle::GetSockOpt(int level, int option) {
  return TInStack::GetSocketOption(Handle(), level, option);
}

int64_t TInSocketHandle::Receive(void* buffer, size_t size, int& error, bool now) {
  error = 0;
  int fd = begin_use();
  if (fd < 0) {
    error = kWSAESHUTDOWN;
    return -1;
  }
  int64_t n = TInStack::Receive(fd, buffer, size, now ? MSG_DONTWAIT : 0);
  if (n < 0) {
    error = TInStack::WSGetLastError();
  }
  end_use();
  return n;
}

int64_t TInSocketHandle::Send(const void* data, size_t size, int& error, bool more) {
  error = 0;
  int fd = begin_use();
  if (fd < 0) {
    error = kWSAESHUTDOWN;
    return -1;
  }
  int64_t n = TInStack::Send(fd, data, size, more);
  if (n < 0) {
    error = TInStack::WSGetLastError();
  }
  end_use();
  return n;
}

TInSocketHandle& TInSocketHandles::Add() {
  auto handle = std::make_unique<TInSocketHandle>();
  handle->FPort = FDefaultPort;
  items_.push_back(std::move(handle));
  return *items_.back();
}

}  // namespace appsrv::transport
