// The TLS I/O handlers: TInServerIOHandlerSSLOpenSSL builds a listener's TLS context and gives
// every accepted connection a TInSSLIOHandlerSocketOpenSSL, which handshakes on the
// connection's own thread and then reads and writes through the TLS session.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "transport/net/securable_io_handler.h"
#include "transport/net/server_io_handler.h"
#include "transport/tls/ssl_context.h"
#include "transport/tls/ssl_options.h"
#include "transport/tls/ssl_socket.h"

namespace appsrv::transport {

// How long a handshake may take in all, and the socket's receive and send time-outs after it,
// when the connection has no read time-out of its own.
constexpr int kDefaultSSLTimeoutMs = 30000;

// Reports what a handshake agreed on ("Cipher: name, bits, version, description").
using TInSSLStatusInfo = std::function<void(std::string_view)>;

// The handler of one accepted TLS connection. It starts in pass-through (plain bytes);
// SetPassThrough(false) runs the server handshake.
class TInSSLIOHandlerSocketOpenSSL : public SecurableIOHandler {
 public:
  TInSSLIOHandlerSocketOpenSSL(std::unique_ptr<TInSSLSocket> socket,
                               std::shared_ptr<const TInSSLContext> context,
                               const IOHandlerSettings& settings, int default_timeout_ms,
                               TInSSLStatusInfo status_info);
  ~TInSSLIOHandlerSocketOpenSSL() override;

  bool PassThrough() const override { return fPassThrough; }
  // false: sets the socket's time-outs and handshakes (raising the handshake's failure);
  // true: clears the time-outs. The handshake runs once.
  void SetPassThrough(bool pass_through) override;
  bool IsPeer() const { return fIsPeer; }
  void SetIsPeer(bool is_peer) { fIsPeer = is_peer; }
  // Sends the close notification, then closes.
  void Close() override;
  // Past the handshake the socket's own time-outs bound every read.
  int32_t ReadLimitMs() const override {
    return fPassThrough ? TInIOHandler::ReadLimitMs() : timeout_ms();
  }

 private:
  int timeout_ms() const;

  TInSSLSocket& socket_;  // the channel, owned by the base
  std::shared_ptr<const TInSSLContext> context_;
  int default_timeout_ms_;
  TInSSLStatusInfo status_info_;
  bool fPassThrough = true;
  bool fIsPeer = false;
};

// Shared by the listener's threads: the context is built by Init, read by every connection
// and freed by Shutdown (connections keep what they use alive).
class TInServerIOHandlerSSLOpenSSL : public TInServerIOHandler {
 public:
  TInSSLOptions& SSLOptions() { return options_; }
  // Builds the context from the options; raises the failing step's error.
  void Init() override;
  void Shutdown() override;
  std::unique_ptr<TInIOHandler> MakeClientIOHandler(std::unique_ptr<TInSocketHandle> accepted,
                                                    const IOHandlerSettings& settings) override;

  // Time-out of handshakes and of the sockets after them, for connections without a read
  // time-out (0 or less: kDefaultSSLTimeoutMs). Applies to connections accepted from then on.
  void SetDefaultTimeout(int timeout_ms) { default_timeout_ms_.store(timeout_ms); }
  int DefaultTimeout() const {
    const int ms = default_timeout_ms_.load();
    return ms > 0 ? ms : kDefaultSSLTimeoutMs;
  }

  // Set before Init; called on connection threads.
  std::function<std::string()> OnGetPassword;
  TInSSLStatusInfo OnStatusInfo;

 private:
  TInSSLOptions options_;
  std::atomic<int> default_timeout_ms_{kDefaultSSLTimeoutMs};
  std::shared_ptr<const TInSSLContext> context_;  // set by Init, read by the listener threads
};

}  // namespace appsrv::transport
