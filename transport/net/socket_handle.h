// Socket handles ("bindings"): one socket each, bound, listened on, accepted into and closed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/net/descriptor_reserve.h"
#include "transport/net/ip_version.h"
#include "transport/net/stack.h"

namespace appsrv::transport {

enum class TInReuseSocket { rsOSDependent, rsTrue, rsFalse };

// "Could not bind socket to <address>:<port>: <the system's text of errno `err`>." (an IPv6
// address in brackets, an empty one as the wildcard address).
std::string BindFailureText(const std::string& ip, TInIPVersion ip_version, uint16_t port,
                            int err);

// One socket. Used by one thread at a time, except CloseSocket, which any thread may call:
// it shuts the socket down at once (waking a thread blocked on it) and releases the descriptor
// when no other thread is inside a call on it, so a descriptor number is never reused under a
// reader.
class TInSocketHandle {
 public:
  TInSocketHandle() = default;
  ~TInSocketHandle();
  TInSocketHandle(const TInSocketHandle&) = delete;
  TInSocketHandle& operator=(const TInSocketHandle&) = delete;

  // Closes any held socket and creates a new stream socket of `FIPVersion`.
  void AllocateSocket(int socket_type = 1 /* SOCK_STREAM */, int protocol = 0);
  // Sets SO_REUSEADDR (off only for rsFalse), binds to FIP/FPort (or the client port range), reads
  // the local address back and applies FUseNagle. Throws EInCouldNotBindSocket with
  // BindFailureText.
  void Bind();
  void Listen(int queue_length);
  // Takes a connection off `listening` into this handle; false when the accept failed. The
  // local address is the listener's; on a listener bound to every address it is looked up,
  // unless `look_up_local_ip` is false: FIP then stays empty until UpdateBindingLocal.
  // Throws EInIPVersionUnsupported for a peer outside IPv4/IPv6 (and closes it).
  bool Accept(TInSocketHandle& listening, bool look_up_local_ip = true);
  // On a listening socket out of descriptors: accepts one waiting connection with the
  // reserve's spare descriptor and refuses it at once (see DescriptorReserve::RefuseOne).
  bool RefuseWaiting(DescriptorReserve& reserve);
  // Waits until the socket is readable (or has hung up); -1 waits without limit.
  bool Readable(int timeout_ms);
  bool Select(int timeout_ms) { return Readable(timeout_ms); }
  // Closes once, whichever thread calls it and however often. A thread inside a call on the
  // socket is woken (the socket is shut down in both directions first); the descriptor goes
  // when the last such call returns.
  void CloseSocket();
  // Ends the sending direction (the peer reads the end of the stream after everything sent)
  // while receiving goes on; false when the socket is closed or the system refused.
  bool ShutdownSending();
  void UpdateBindingLocal();
  void UpdateBindingPeer();
  void SetNagleOpt(bool use_nagle);
  // A non-blocking listening socket makes Accept return false at once when nothing is queued;
  // accepted sockets block either way.
  void SetNonBlocking(bool non_blocking);
  void SetSockOpt(int level, int option, int value);
  // A send that can make no progress for this long fails with 10035 (sent bytes are counted),
  // unless a shorter send time-out is set already.
  void TightenSendTimeout(int32_t timeout_ms);
  // Sets the send time-out (SO_SNDTIMEO) to `timeout_ms`; 0 = none. Does nothing on a closed
  // socket.
  void SetSendTimeout(int32_t timeout_ms);
  // Sets the receive and the send time-out (SO_RCVTIMEO, SO_SNDTIMEO) to `timeout_ms`; 0 = none.
  // Does nothing on a closed socket.
  void SetTimeouts(int32_t timeout_ms);
  int GetSockOpt(int level, int option);

  // Receive/Send on the held socket, returning -1 with the mapped code in `error` when the
  // socket failed or was closed by another thread (10038 then). `now`: fails with 10035 at
  // once instead of waiting when nothing has arrived.
  // `more` on Send: see TInStack::Send.
  int64_t Receive(void* buffer, size_t size, int& error, bool now = false);
  int64_t Send(const void* data, size_t size, int& error, bool more = false);

  bool HandleAllocated() const;
  int Handle() const;

  uint16_t FClientPortMin = 0;
  uint16_t FClientPortMax = 0;
  std::string FIP;
  std::string FPeerIP;
  uint16_t FPort = 0;
  uint16_t FPeerPort = 0;
  int32_t FSocketType = 0;
  TInIPVersion FIPVersion = TInIPVersion::Id_IPv4;
  bool FUseNagle = true;
  TInReuseSocket FReuseSocket = TInReuseSocket::rsOSDependent;

 private:
  // Returns the descriptor and counts a use, or -1 when the socket is closed.
  int begin_use();
  void end_use();
  void release_locked();  // REQUIRES: mu_ held.
  // Sets SO_SNDTIMEO, and SO_RCVTIMEO with `receive_too`, to `timeout_ms`; nothing on a closed
  // socket.
  void set_timeout_options(int32_t timeout_ms, bool receive_too);

  // SO_SNDTIMEO in milliseconds as last set through this handle (0: none), or -1 when not
  // known. An accepted socket starts with its listener's: the system copies it over.
  int32_t send_timeout_ms_ = -1;
  TInStack::Usage stack_usage_;
  mutable std::mutex mu_;   // FConnectionHandle: guards the three members below
  int handle_ = -1;         // guarded by mu_
  bool allocated_ = false;  // guarded by mu_
  int users_ = 0;           // guarded by mu_: threads inside a call on handle_
};

// The bindings a server listens on; new ones start with FDefaultPort.
class TInSocketHandles {
 public:
  TInSocketHandle& Add();
  size_t Count() const { return items_.size(); }
  TInSocketHandle& operator[](size_t i) { return *items_[i]; }
  TInSocketHandle& Items(size_t i) { return *items_[i]; }
  void Clear() { items_.clear(); }

  uint16_t FDefaultPort = 0;

 private:
  std::vector<std::unique_ptr<TInSocketHandle>> items_;
};

}  // namespace appsrv::transport
