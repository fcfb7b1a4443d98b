#include "transport/tls/ssl_io_handler.h"

#include <utility>

namespace appsrv::transport {

TInSSLIOHandlerSocketOpenSSL::TInSSLIOHandlerSocketOpenSSL(
    std::unique_ptr<TInSSLSocket> socket, std::shared_ptr<const TInSSLContext> context,
    const IOHandlerSettings& settings, int default_timeout_ms, TInSSLStatusInfo status_info)
    : SecurableIOHandler(std::move(socket), settings),
      socket_(static_cast<TInSSLSocket&>(Channel())),
      context_(std::move(context)),
      default_timeout_ms_(default_timeout_ms),
      status_info_(std::move(status_info)) {}

TInSSLIOHandlerSocketOpenSSL::~TInSSLIOHandlerSocketOpenSSL() {
  try {
    Close();
  } catch (const std::exception&) {
    // The peer has gone; nothing is owed to it.
  }
}

int TInSSLIOHandlerSocketOpenSSL::timeout_ms() const {
  const int32_t read_timeout = Settings().read_timeout_ms;
  return read_timeout > 0 ? read_timeout : default_timeout_ms_;
}

void TInSSLIOHandlerSocketOpenSSL::SetPassThrough(bool pass_through) {
  if (pass_through == fPassThrough) {
    return;
  }
  fPassThrough = pass_through;
  if (pass_through) {
    socket_.SetSocketTimeouts(0);
    return;
  }
  // The time-outs bound a peer that stops sending or reading in the middle of the session.
  socket_.SetSocketTimeouts(timeout_ms());
  if (socket_.Secure()) {
    return;
  }
  socket_.Accept(context_, timeout_ms());
  if (status_info_) {
    const TInSSLCipherInfo info = socket_.CipherInfo();
    status_info_("Cipher: name = " + info.name + "; bits = " + std::to_string(info.bits) +
                 "; version = " + info.version + "; description = " + info.description);
  }
}

void TInSSLIOHandlerSocketOpenSSL::Close() {
  if (!fPassThrough && socket_.IsOpen()) {
    socket_.Shutdown();
  }
  TInIOHandler::Close();
}

void TInServerIOHandlerSSLOpenSSL::Init() {
  std::function<std::string()> password = OnGetPassword;
  context_ = std::make_shared<const TInSSLContext>(options_, std::move(password));
}

void TInServerIOHandlerSSLOpenSSL::Shutdown() { context_.reset(); }

std::unique_ptr<TInIOHandler> TInServerIOHandlerSSLOpenSSL::MakeClientIOHandler(
    std::unique_ptr<TInSocketHandle> accepted, const IOHandlerSettings& settings) {
  auto handler = std::make_unique<TInSSLIOHandlerSocketOpenSSL>(
      std::make_unique<TInSSLSocket>(std::move(accepted), *settings.clock), context_, settings, DefaultTimeout(),
      OnStatusInfo);
  handler->SetIsPeer(true);
  return handler;
}

}  // namespace appsrv::transport
