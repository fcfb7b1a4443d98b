// TInSSLSocket: one connection's byte channel that runs plain until the TLS handshake and
// through the TLS session after it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "transport/net/byte_channel.h"
#include "transport/net/socket_handle.h"
#include "transport/tls/ssl_context.h"

struct ssl_st;

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
  explicit TInSSLSocket(std::unique_ptr<TInSocketHandle> binding);
  ~TInSSLSocket() override;

  // The server side of the handshake, within `timeout_ms` in all (a client that sends
  // nothing, or too slowly, fails it). Raises "Error creating SSL session.", "Error setting
  // File Descriptor for SSL" or "Error accepting connection with SSL.".
  void Accept(std::shared_ptr<const TInSSLContext> context, int timeout_ms);
  bool Secure() const { return ssl_ != nullptr; }
  TInSSLCipherInfo CipherInfo() const;
  // Sends the close notification once, when the session is up.
  void Shutdown();
  // Receive and send time-outs of the socket itself (SO_RCVTIMEO, SO_SNDTIMEO); 0 = none.
  void SetSocketTimeouts(int timeout_ms);

  bool WaitReadable(int timeout_ms) override;
  // After the handshake: decrypted bytes; 0 when the peer closed (with or without a close
  // notification); a system-call failure as its socket error code (a receive time-out is
  // 10060). Other TLS failures raise EInOpenSSLAPISSLError.
  IoResult Receive(void* buffer, size_t size) override;
  IoResult Send(const void* data, size_t size) override;
  void Close() override;
  bool IsOpen() const override;
  TInSocketHandle* Binding() override { return binding_.get(); }

 private:
  friend struct SocketBio;
  // The socket receive behind the library's reads: waits for the handshake deadline while one
  // is set. Returns what TInSocketHandle::Receive returns; failures leave their code in
  // last_error_.
  int64_t bio_receive(void* buffer, size_t size);
  int64_t bio_send(const void* data, size_t size);
  // The outcome of a failed TLS read or write `rc`.
  IoResult failed(int rc);

  std::unique_ptr<TInSocketHandle> binding_;
  std::shared_ptr<const TInSSLContext> context_;  // keeps the library context alive
  ssl_st* ssl_ = nullptr;
  int last_error_ = 0;  // socket error code of the last failed receive or send
  bool shut_down_ = false;
  bool handshaking_ = false;
  std::chrono::steady_clock::time_point handshake_deadline_;
};

}  // namespace appsrv::transport
