// The process-wide socket stack: the socket calls the transport makes, with errors mapped to
// Windows Sockets codes. Every socket handle holds a usage; the first usage creates the stack.
#pragma once

#include <cstdint>
#include <string>

#include "transport/net/ip_version.h"

namespace appsrv::transport {

// Result of an accept: the new socket (-1 when none) and who is on the other side.
struct AcceptedSocket {
  int handle = -1;
  std::string peer_ip;
  TInIPVersion peer_ip_version = TInIPVersion::Id_IPv4;
  uint16_t peer_port = 0;
};

// Local or peer address of a socket.
struct SocketAddress {
  std::string ip;
  TInIPVersion ip_version = TInIPVersion::Id_IPv4;
  uint16_t port = 0;
};

// Stateless wrappers over POSIX sockets; safe from any thread. Failures raise EInSocketError
// with the mapped code unless a function says otherwise. Sends never raise SIGPIPE.
class TInStack {
 public:
  // Takes a usage of the process-wide stack for the object's lifetime.
  class Usage {
   public:
    Usage();
    ~Usage();
    Usage(const Usage&) = delete;
    Usage& operator=(const Usage&) = delete;
  };
  // Live usages, for tests: 0 once every transport object is gone.
  static int UsageCount();

  static int NewSocketHandle(int socket_type, int protocol, TInIPVersion ip_version);
  // `ip` "" binds to any address of the family.
  static void Bind(int handle, const std::string& ip, TInIPVersion ip_version, uint16_t port);
  static void Listen(int handle, int queue_length);
  // A failed accept yields handle -1 and raises nothing. The new socket is close-on-exec.
  static AcceptedSocket Accept(int listening_handle);
  static SocketAddress GetSocketName(int handle);
  static SocketAddress GetPeerName(int handle);
  static int GetSocketOption(int handle, int level, int option);
  static void SetSocketOption(int handle, int level, int option, int value);
  // Bytes received; 0 when the peer closed; -1 on failure with WSGetLastError() set.
  static int64_t Receive(int handle, void* buffer, size_t size, int flags = 0);
  // Bytes sent; -1 on failure with WSGetLastError() set. `more`: more bytes or the end of the
  // stream follow at once, so a last partial packet may wait for them and leave with them.
  static int64_t Send(int handle, const void* data, size_t size, bool more = false);
  // Shuts down the sending direction, then closes.
  static void Disconnect(int handle);
  // Last mapped error code of the calling thread.
  static int WSGetLastError();
  // The errno behind the last failure recorded on this thread (WSGetLastError's code before
  // it was mapped), for messages that give the system's own words.
  static int LastSystemError();
  static void WSSetLastError(int code);
  static bool SupportsIPv6();
};

}  // namespace appsrv::transport
