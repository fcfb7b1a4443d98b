// What a listener does once the process is out of file descriptors: a connection it cannot
// accept stays queued and readable, so the listener would spin on it while the client waits in
// silence. A spare descriptor kept for that moment is given up to accept the connection, which
// is answered "503 Service Unavailable" and closed at once; then the spare is taken again.
#pragma once

#include "base/unique_fd.h"

namespace appsrv::transport {

// The reply of a connection refused for lack of descriptors.
inline constexpr char kOutOfDescriptorsReply[] =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Type: text/plain\r\n"
    "Content-Length: 57\r\n\r\nThe server is busy: too many open files. Try again later.";

// Owned by one listener thread.
class DescriptorReserve {
 public:
  DescriptorReserve();
  DescriptorReserve(const DescriptorReserve&) = delete;
  DescriptorReserve& operator=(const DescriptorReserve&) = delete;

  // Accepts one waiting connection of `listen_fd` with the spare descriptor, answers 503 and
  // closes it. False when there is no spare (another thread took the freed number before the
  // spare was taken again), or nothing was waiting: the caller then backs off for a while.
  bool RefuseOne(int listen_fd);

 private:
  base::UniqueFd spare_;
};

}  // namespace appsrv::transport
