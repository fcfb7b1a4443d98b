#include "transport/net/descriptor_reserve.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace appsrv::transport {
namespace {

int open_spare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

DescriptorReserve::DescriptorReserve() : spare_(open_spare()) {}

DescriptorReserve::~DescriptorReserve() {
  if (spare_ >= 0) {
    ::close(spare_);
  }
}

bool DescriptorReserve::RefuseOne(int listen_fd) {
  if (spare_ < 0) {
    spare_ = open_spare();
    return false;
  }
  ::close(spare_);
  spare_ = -1;
  const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) {
    // What the client sent is read first: closing a socket with unread bytes resets the
    // connection, and the reset can overtake the reply.
    char discard[4096];
    for (int i = 0; i < 16 && ::recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0; ++i) {
    }
    (void)::send(fd, kOutOfDescriptorsReply, sizeof kOutOfDescriptorsReply - 1,
                 MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
  }
  spare_ = open_spare();
  return fd >= 0 && spare_ >= 0;
}

}  // namespace appsrv::transport
