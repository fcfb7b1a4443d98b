// The bridge between HTTP and the request pipeline: THTTPServerArdo runs every request through
// the request hook; TSaServerArdo is the transport host that opens the listeners the server
// controller asks for.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "server/exchange/request_packet_writer.h"
#include "server/session/server_controller.h"
#include "transport/bridge/upload_extraction.h"
#include "transport/http/http_server.h"
#include "transport/net/connection_intercept.h"

namespace appsrv::transport {

// An HTTP server whose command step, for every method, encodes the request into an exchange
// buffer, calls the request hook on the connection's thread and turns the reply packet into the
// response. Request bodies go to spilling streams whose temporary files go with the request.
class THTTPServerArdo : public TInCustomHTTPServer {
 public:
  // Stops serving while the overrides below still exist.
  ~THTTPServerArdo() override { SetActive(false); }

  // The uploaded files of a request, as the pipeline receives them: the single file of a
  // multipart body or the raw body, when the parameter SvFileUploader is "true".
  static std::vector<server::RequestPacketFile> CollectUploads(TInHTTPRequestInfo& request,
                                                               const MultipartLimits& limits = {});

  // Whether this listener's connections come over TLS: the session cookie then gets Secure
  // (unless the controller's SecureOverTLS is off).
  bool ServesTLS() const { return serves_tls_; }
  void SetServesTLS(bool v) { serves_tls_ = v; }

 protected:
  // Every failure becomes a 400 whose reason phrase is the failure's message.
  void DoCommandGet(TInContext& context, TInHTTPRequestInfo& request,
                    TInHTTPResponseInfo& response) override;
  void DoCommandOther(TInContext& context, TInHTTPRequestInfo& request,
                      TInHTTPResponseInfo& response) override {
    DoCommandGet(context, request, response);
  }
  std::unique_ptr<server::Stream> DoCreatePostStream(TInContext& context,
                                                     const TInHeaderList& headers) override;
  // Offers the response to the compressor when the controller enables compression and no
  // header line says "no-compression".
  virtual void DoCompress(const TInHTTPRequestInfo& request, TInHTTPResponseInfo& response);

 private:
  // The session cookie's attributes that the controller asks of the transport.
  void mark_session_cookie(TInHTTPResponseInfo& response) const;

  // Exchange buffers of finished requests, kept for the next ones: a 32 KiB block lies past
  // the allocator's per-thread cache, and taking it from the heap and giving it back cost more
  // than a small request's packets. At most kKeptBuffers wait, so idle connections hold none.
  class BufferPool {
   public:
    BufferPool() { kept_.reserve(kKeptBuffers); }

    // One buffer for the scope of one request.
    class Lease {
     public:
      explicit Lease(BufferPool& pool) : pool_(pool), buffer_(pool.take()) {}
      ~Lease() { pool_.give_back(std::move(buffer_)); }
      Lease(const Lease&) = delete;
      Lease& operator=(const Lease&) = delete;
      char* get() const { return buffer_.get(); }

     private:
      BufferPool& pool_;
      std::unique_ptr<char[]> buffer_;
    };

   private:
    static constexpr size_t kKeptBuffers = 8;
    std::unique_ptr<char[]> take();
    void give_back(std::unique_ptr<char[]> buffer) noexcept;

    std::mutex mu_;
    std::vector<std::unique_ptr<char[]>> kept_;  // guarded by mu_; its room is reserved
  };

  bool serves_tls_ = false;
  BufferPool buffers_;
};

// The transport host. Construction opens the HTTP listener on the controller's Port (and
// BoundIP addresses) and writes the bound port back into the controller, then, when the
// controller's SSL port is above 0, the HTTPS listener with "cert.pem", "key.pem" and
// "root.pem" from the application folder (no plain listener when plain requests are blocked);
// destruction stops both listeners and waits for their connections. Both write to the access
// log the controller's AccessLog settings name. The controller must outlive the host.
class TSaServerArdo {
 public:
  using LogLine = std::function<void(std::string_view)>;

  // Throws the first listener failure ("Could not bind socket. Address and port are already
  // in use.", "Could not load certificate.", ...) with nothing left open, or the access log's
  // ("Could not open ..."). `log` receives the line that says which TLS versions are served
  // (default: standard error).
  explicit TSaServerArdo(server::TSvServerControllerBase& controller, LogLine log = {});
  ~TSaServerArdo();
  TSaServerArdo(const TSaServerArdo&) = delete;
  TSaServerArdo& operator=(const TSaServerArdo&) = delete;

  THTTPServerArdo& HTTP() { return *FHTTP; }
  THTTPServerArdo& HTTPS() { return *FHTTPS; }

  // Speed limit for connections accepted from now on (-1: none) and whether new connections
  // get the bandwidth intercept; the host sets them after construction.
  std::atomic<int32_t> FBitsPerSec{-1};
  std::atomic<bool> FUseServerIntercept{false};
  // Makes the bandwidth intercept of a new connection from its bytes per second. Set before
  // FUseServerIntercept is turned on.
  std::function<std::unique_ptr<TInConnectionIntercept>(int32_t bytes_per_second)>
      MakeServerIntercept;

 private:
  void configure(THTTPServerArdo& listener, int32_t port);
  // Gives the HTTPS listener its TLS handler from the controller's SSL options.
  void configure_tls(const LogLine& log);
  void connection_started(TInContext& context);

  server::TSvServerControllerBase& controller_;
  // Opened before the listeners and closed after them, so every request's line is written.
  std::unique_ptr<base::AsyncLineLog> access_log_;
  std::unique_ptr<THTTPServerArdo> FHTTP;
  std::unique_ptr<THTTPServerArdo> FHTTPS;
};

}  // namespace appsrv::transport
