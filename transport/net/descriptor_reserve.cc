#include "transport/net/descriptor_reserve.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace appsrv::transport {
namespace {

int open_spare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

DescriptorReserve::DescriptorReserve() : spare_(open_spare()) {}

bool DescriptorReserve::RefuseOne(int listen_fd) {
  if (!spare_.valid()) {
    spare_.reset(open_spare());
    return false;
  }
  spare_.reset();
  base::UniqueFd client(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  const bool accepted = client.valid();
  if (accepted) {
    const int fd = client.get();
    // What the client sent is read first: closing a socket with unread bytes resets the
    // connection, and the reset can overtake the reply.
    char discard[4096];
    for (int i = 0; i < 16 && ::recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0; ++i) {
    }
    (void)::send(fd, kOutOfDescriptorsReply, sizeof kOutOfDescriptorsReply - 1,
                 MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    client.reset();  // before the spare is taken again: its number may be the only one free
  }
  spare_.reset(open_spare());
  return accepted && spare_.valid();
}

}  // namespace appsrv::transport
