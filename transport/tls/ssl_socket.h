// TInSSLSocket: one connection's byte channel that runs plain until the TLS handshake and
// through the TLS session after it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "transport/net/byte_channel.h"
#include "transport/net/deadline_clock.h"
#include "transport/net/socket_handle.h"
#include "transport/tls/openssl_handles.h"
#include "transport/tls/ssl_context.h"

namespace appsrv::transport {

// What the handshake agreed on, for the status event.
struct TInSSLCipherInfo {
  std::string name;
  std::string description;
  int bits = 0;
  std::string version;
};

// Owns the accepted socket and, after Accept, the connection's TLS session. Every call but
// Close belongs to the thread that serves the connection; Close may come from any thread and
// touches only the socket, which wakes that thread.
class TInSSLSocket : public ByteChannel {
 public:
  // `clock` counts the read deadlines and outlives the socket.
  explicit TInSSLSocket(std::unique_ptr<TInSocketHandle> binding,
                        const DeadlineClock& clock = steady_deadline_clock());
  ~TInSSLSocket() override;

  // The server side of the handshake, within `timeout_ms` in all (a client that sends
  // nothing, or too slowly, fails it). Raises "Error creating SSL session.", "Error setting
  // File Descriptor for SSL" or "Error accepting connection with SSL.".
  void Accept(std::shared_ptr<const TInSSLContext> context, int timeout_ms);
  bool Secure() const { return ssl_ != nullptr; }
  TInSSLCipherInfo CipherInfo() const;
  // Sends the close notification once, when the session is up.
  void Shutdown();
  // The socket's own limits: its send time-out (SO_SNDTIMEO), and the longest one receive
  // may take when its caller sets no limit of its own; 0 = none.
  void SetSocketTimeouts(int timeout_ms);

  bool WaitReadable(int timeout_ms) override;
  // After the handshake: decrypted bytes; 0 when the peer closed (with or without a close
  // notification); a system-call failure as its socket error code (a receive that outlasts
  // the socket's own limit is 10060). Other TLS failures raise EInOpenSSLAPISSLError.
  IoResult Receive(void* buffer, size_t size) override;
  // After the handshake, `timeout_ms` bounds the whole receive, however the bytes of a record
  // trickle in: a record still incomplete then is kept for the next receive, and the result
  // is `timed_out`, as on a plain socket.
  IoResult ReceiveWithin(void* buffer, size_t size, int timeout_ms) override;
  bool ReceivesInRecords() const override { return ssl_ != nullptr; }
  IoResult Send(const void* data, size_t size) override;
  void Close() override;
  bool IsOpen() const override;
  TInSocketHandle* Binding() override { return binding_.get(); }

 private:
  friend struct SocketBio;
  // The socket receive behind the library's reads: waits for read_deadline_ while one is set
  // (out_of_time_ tells when it passed). Returns what TInSocketHandle::Receive returns;
  // failures leave their code in last_error_.
  int64_t bio_receive(void* buffer, size_t size);
  // One TLS read until read_deadline_ (none: without limit).
  IoResult read_until_deadline(void* buffer, size_t size);
  int64_t bio_send(const void* data, size_t size);
  // The outcome of a failed TLS read or write `rc`.
  IoResult failed(int rc);

  std::unique_ptr<TInSocketHandle> binding_;
  const DeadlineClock& clock_;
  std::shared_ptr<const TInSSLContext> context_;  // keeps the library context alive
  SslPtr ssl_;
  int last_error_ = 0;  // socket error code of the last failed receive or send
  bool shut_down_ = false;
  // Every socket wait of the library's reads ends by this time: the handshake's deadline, then
  // the deadline of each receive. Waiting with `poll` for the time left, rather than with a
  // receive time-out that starts again with every byte, keeps a peer that sends a record a
  // byte at a time within the same deadlines as on a plain socket.
  std::optional<DeadlineClock::time_point> read_deadline_;
  bool out_of_time_ = false;  // a socket wait reached read_deadline_
  int wait_limit_ms_ = 0;     // SetSocketTimeouts

};

}  // namespace appsrv::transport
