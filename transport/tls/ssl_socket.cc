#include "transport/tls/ssl_socket.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <climits>

#include "transport/net/socket_errors.h"
#include "transport/tls/ssl_exceptions.h"

namespace appsrv::transport {
namespace {


}  // namespace

// The library reads and writes the socket through the handle, so that a close from another
// thread never leaves the library on a reused descriptor, and sends never raise SIGPIPE.
struct SocketBio {
  static BIO_METHOD* Method() {
    static BIO_METHOD* const method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket handle");
      if (m != nullptr) {
        BIO_meth_set_read(m, &read);
        BIO_meth_set_write(m, &write);
        BIO_meth_set_ctrl(m, &ctrl);
        BIO_meth_set_create(m, &create);
      }
      return m;
    }();
    return method;
  }

  static int create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
  }

  static int read(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    auto* socket = static_cast<TInSSLSocket*>(BIO_get_data(bio));
    const int64_t n = socket->bio_receive(buffer, static_cast<size_t>(std::max(size, 0)));
    // Out of time is "try again" to the library: it keeps the part of a record that came, and
    // the session stays usable for the reply that says why the request ends.
    if (n < 0 && socket->out_of_time_) {
      BIO_set_retry_read(bio);
    }
    return n < 0 ? -1 : static_cast<int>(n);
  }

  static int write(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    auto* socket = static_cast<TInSSLSocket*>(BIO_get_data(bio));
    const int64_t n = socket->bio_send(data, static_cast<size_t>(std::max(size, 0)));
    return n < 0 ? -1 : static_cast<int>(n);
  }

  static long ctrl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
  }
};

TInSSLSocket::TInSSLSocket(std::unique_ptr<TInSocketHandle> binding, const DeadlineClock& clock)
    : binding_(std::move(binding)), clock_(clock) {}

TInSSLSocket::~TInSSLSocket() = default;

void TInSSLSocket::Accept(std::shared_ptr<const TInSSLContext> context, int timeout_ms) {
  context_ = std::move(context);
  ERR_clear_error();
  ssl_.reset(SSL_new(context_->Handle()));
  if (ssl_ == nullptr) {
    throw EInOSSLCreatingSessionError(TakeOpenSSLErrors());
  }
  BioPtr bio(SocketBio::Method() != nullptr ? BIO_new(SocketBio::Method()) : nullptr);
  if (bio == nullptr) {
    throw EInOSSLDataBindingError(TakeOpenSSLErrors());
  }
  BIO_set_data(bio.get(), this);
  // The session owns the one BIO for both directions from here on.
  BIO* const both = bio.release();
  SSL_set_bio(ssl_.get(), both, both);
  read_deadline_ = clock_.now() + std::chrono::milliseconds(timeout_ms);
  out_of_time_ = false;
  last_error_ = 0;
  const int rc = SSL_accept(ssl_.get());
  read_deadline_.reset();
  if (rc != 1) {
    // After a failed handshake the session may not send anything more.
    shut_down_ = true;
    std::string detail = TakeOpenSSLErrors();
    if (last_error_ != 0) {
      detail += (detail.empty() ? "" : "; ") + ("Socket Error # " + std::to_string(last_error_));
    }
    throw EInOSSLAcceptError(detail);
  }
}

TInSSLCipherInfo TInSSLSocket::CipherInfo() const {
  TInSSLCipherInfo info;
  if (ssl_ == nullptr) {
    return info;
  }
  if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_.get())) {
    info.name = SSL_CIPHER_get_name(cipher);
    char description[256];
    if (SSL_CIPHER_description(cipher, description, sizeof(description)) != nullptr) {
      info.description = description;
    }
    info.bits = SSL_CIPHER_get_bits(cipher, nullptr);
  }
  info.version = SSL_get_version(ssl_.get());
  return info;
}

void TInSSLSocket::Shutdown() {
  if (ssl_ == nullptr || shut_down_) {
    return;
  }
  shut_down_ = true;
  SSL_shutdown(ssl_.get());
  ERR_clear_error();
}

void TInSSLSocket::SetSocketTimeouts(int timeout_ms) {
  binding_->SetTimeouts(timeout_ms);
  wait_limit_ms_ = std::max(timeout_ms, 0);
}

bool TInSSLSocket::WaitReadable(int timeout_ms) {
  if (ssl_ != nullptr && SSL_pending(ssl_.get()) > 0) {
    return true;
  }
  return binding_->Readable(timeout_ms);
}

IoResult TInSSLSocket::Receive(void* buffer, size_t size) {
  if (ssl_ == nullptr) {
    IoResult r;
    r.bytes = binding_->Receive(buffer, size, r.error);
    return r;
  }
  return ReceiveWithin(buffer, size, -1);
}

IoResult TInSSLSocket::ReceiveWithin(void* buffer, size_t size, int timeout_ms) {
  if (ssl_ == nullptr) {
    return ByteChannel::ReceiveWithin(buffer, size, timeout_ms);
  }
  // A caller without a limit of its own gets the socket's, for the whole receive as well.
  const bool callers_limit = timeout_ms >= 0;
  const int limit_ms = callers_limit ? timeout_ms : wait_limit_ms_;
  if (callers_limit || limit_ms > 0) {
    read_deadline_ = clock_.now() + std::chrono::milliseconds(limit_ms);
  }
  out_of_time_ = false;
  IoResult r = read_until_deadline(buffer, size);
  read_deadline_.reset();
  if (out_of_time_ && r.bytes <= 0) {
    out_of_time_ = false;
    r = IoResult{};
    if (callers_limit) {
      r.timed_out = true;
    } else {
      r.bytes = -1;
      r.error = kWSAETIMEDOUT;
    }
  }
  return r;
}

IoResult TInSSLSocket::read_until_deadline(void* buffer, size_t size) {
  for (;;) {
    last_error_ = 0;
    size_t got = 0;
    const int rc = SSL_read_ex(ssl_.get(), buffer, size, &got);
    if (rc == 1) {
      return {static_cast<int64_t>(got), 0};
    }
    const int error = SSL_get_error(ssl_.get(), rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (out_of_time_) {
        ERR_clear_error();
        return {};
      }
      continue;
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
      ERR_clear_error();
      return {0, 0};
    }
    return failed(error);
  }
}

IoResult TInSSLSocket::Send(const void* data, size_t size) {
  if (ssl_ == nullptr) {
    IoResult r;
    r.bytes = binding_->Send(data, size, r.error);
    return r;
  }
  for (;;) {
    last_error_ = 0;
    size_t written = 0;
    const int rc = SSL_write_ex(ssl_.get(), data, size, &written);
    if (rc == 1) {
      return {static_cast<int64_t>(written), 0};
    }
    const int error = SSL_get_error(ssl_.get(), rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      continue;
    }
    return failed(error);
  }
}

IoResult TInSSLSocket::failed(int error) {
  // A session that failed may not send its close notification.
  shut_down_ = true;
  if (error == SSL_ERROR_SYSCALL) {
    ERR_clear_error();
    if (last_error_ != 0) {
      return {-1, last_error_};
    }
    return {-1, kWSAECONNABORTED};
  }
  throw EInOpenSSLAPISSLError(error, TakeOpenSSLErrors());
}

void TInSSLSocket::Close() { binding_->CloseSocket(); }

bool TInSSLSocket::IsOpen() const { return binding_->HandleAllocated(); }

int64_t TInSSLSocket::bio_receive(void* buffer, size_t size) {
  if (read_deadline_ && !binding_->Readable(ms_until(*read_deadline_, clock_.now()))) {
    last_error_ = kWSAETIMEDOUT;
    out_of_time_ = true;
    return -1;
  }
  int error = 0;
  const int64_t n = binding_->Receive(buffer, size, error);
  if (n < 0) {
    // A blocking socket answers "would block" only when its receive time-out ran out.
    last_error_ = error == kWSAEWOULDBLOCK ? kWSAETIMEDOUT : error;
  }
  return n;
}

int64_t TInSSLSocket::bio_send(const void* data, size_t size) {
  int error = 0;
  const int64_t n = binding_->Send(data, size, error);
  if (n < 0) {
    last_error_ = error == kWSAEWOULDBLOCK ? kWSAETIMEDOUT : error;
  }
  return n;
}

}  // namespace appsrv::transport
