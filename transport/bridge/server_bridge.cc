#include "transport/bridge/server_bridge.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

#include "base/exception.h"
#include "base/metrics.h"
#include "base/text.h"
#include "server/exchange/hsm_stream.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/pipeline/compressor.h"
#include "server/pipeline/request_hook.h"
#include "server/session/session_list.h"
#include "transport/bridge/bound_ip_list.h"
#include "transport/bridge/bridge_payload.h"
#include "transport/bridge/upload_extraction.h"
#include "transport/tls/ssl_io_handler.h"

namespace appsrv::transport {
namespace {

// The value of the first "name=value" line whose name matches, ignoring case.
std::string param_value(const std::vector<std::string>& params, std::string_view name) {
  for (const std::string& line : params) {
    const size_t eq = line.find('=');
    if (base::iequals(std::string_view(line).substr(0, eq), name)) {
      return eq == std::string::npos ? std::string() : line.substr(eq + 1);
    }
  }
  return {};
}

// Hands the body back to the response when compression fails, so that the uncompressed body
// is what goes out.
class BodyLoan {
 public:
  BodyLoan(server::CompressResponse& loan, TInHTTPResponseInfo& response)
      : loan_(loan), response_(response) {
    loan_.body = std::move(response_.FContentStream);
  }
  ~BodyLoan() { response_.FContentStream = std::move(loan_.body); }
  BodyLoan(const BodyLoan&) = delete;
  BodyLoan& operator=(const BodyLoan&) = delete;

 private:
  server::CompressResponse& loan_;
  TInHTTPResponseInfo& response_;
};

// The access log the controller's settings ask for, or null when it is off.
std::unique_ptr<base::AsyncLineLog> open_access_log(const server::TSvServerControllerBase& c) {
  const server::AccessLogSettings& settings = c.AccessLog;
  if (settings.Output == server::AccessLogOutput::kOff) {
    return nullptr;
  }
  base::AsyncLineLog::Options options;
  options.path = c.AccessLogPath();  // "" for standard output
  if (settings.MaxQueuedBytes > 0) {
    options.max_queued_bytes = static_cast<size_t>(settings.MaxQueuedBytes);
  }
  options.dropped = &base::metrics().access_log_lines_dropped;
  return std::make_unique<base::AsyncLineLog>(std::move(options));
}

}  // namespace

std::vector<server::RequestPacketFile> THTTPServerArdo::CollectUploads(
    TInHTTPRequestInfo& request, const MultipartLimits& limits) {
  std::vector<server::RequestPacketFile> files;
  if (!base::iequals(param_value(request.FParams, "SvFileUploader"), "true")) {
    return files;
  }
  auto* body = dynamic_cast<server::THsmStream*>(request.FPostStream.get());
  if (base::iequals(MediaType(request.FContentType), "multipart/form-data")) {
    if (body != nullptr) {
      files.push_back(ExtractMultipartFile(request.FContentType, *body, limits));
    }
  } else if (std::optional<server::RequestPacketFile> file =
                 TakeRawBodyAsFile(request.FRawHeaders, body)) {
    files.push_back(std::move(*file));
  }
  return files;
}

void THTTPServerArdo::DoCommandGet(TInContext& context, TInHTTPRequestInfo& request,
                                   TInHTTPResponseInfo& response) {
  try {
    const server::TSvServerControllerBase* controller = server::ServerController();
    MultipartLimits part_limits;
    if (controller != nullptr) {
      part_limits.max_header_bytes = controller->Limits.MaxPartHeaderBytes;
      part_limits.max_header_lines = controller->Limits.MaxPartHeaderLines;
    }
    std::vector<server::RequestPacketFile> files = CollectUploads(request, part_limits);
    // Looked at before the packet is written: a packet that spilled into a file and is never
    // read would leave that file behind.
    const server::RequestHookProc hook = server::RequestHook();
    if (hook == nullptr) {
      throw base::Exception("HTTP hook has not been set.");
    }
    // Not zero-filled: the packet writer and the hook write every byte that is read back, and
    // clearing 32 KiB cost more than the rest of a small request.
    const BufferPool::Lease lease(buffers_);
    char* const buffer = lease.get();
    WriteRequestPacket(request, context.LocalPort(), serves_tls_, std::move(files), buffer,
                       server::kExchangeBufferSize);
    hook(buffer, server::kExchangeBufferSize);
    ApplyReplyPayload(server::read_reply_packet(buffer, server::kExchangeBufferSize),
                      response);
    mark_session_cookie(response);
    DoCompress(request, response);
  } catch (const std::exception& e) {
    response.SetResponseNo(400);
    response.FResponseText = e.what();
  }
}

std::unique_ptr<char[]> THTTPServerArdo::BufferPool::take() {
  {
    std::scoped_lock lock(mu_);
    if (!kept_.empty()) {
      std::unique_ptr<char[]> buffer = std::move(kept_.back());
      kept_.pop_back();
      return buffer;
    }
  }
  return std::make_unique_for_overwrite<char[]>(server::kExchangeBufferSize);
}

void THTTPServerArdo::BufferPool::give_back(std::unique_ptr<char[]> buffer) noexcept {
  std::scoped_lock lock(mu_);
  // The room is reserved: keeping a buffer never allocates.
  if (buffer != nullptr && kept_.size() < kKeptBuffers) {
    kept_.push_back(std::move(buffer));
  }
}

std::unique_ptr<server::Stream> THTTPServerArdo::DoCreatePostStream(TInContext&,
                                                                    const TInHeaderList&) {
  return std::make_unique<server::THsmStream>(server::kPacketFlushSize, /*aTransient=*/true);
}

void THTTPServerArdo::mark_session_cookie(TInHTTPResponseInfo& response) const {
  const server::TSvServerControllerBase* controller = server::ServerController();
  if (controller == nullptr) {
    return;
  }
  const server::TSvSessionCookieOptions& options = controller->CookieOptions();
  const std::string name = controller->SessionCookieName();
  for (TInCookie& cookie : response.FCookies) {
    if (cookie.FName != name) {
      continue;
    }
    if (options.SameSiteLax) {
      cookie.FSameSite = "Lax";
    }
    if (serves_tls_ && options.SecureOverTLS) {
      cookie.FSecure = true;
    }
  }
}

void THTTPServerArdo::DoCompress(const TInHTTPRequestInfo& request, TInHTTPResponseInfo& response) {
  std::vector<std::string>& headers = response.FCustomHeaders.lines();
  bool refused = false;
  for (size_t i = headers.size(); i-- > 0;) {
    if (base::iequals(headers[i], "no-compression")) {
      // A marker for this step, not a header: it must not reach the wire.
      refused = true;
      headers.erase(headers.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  const server::TSvServerControllerBase* controller = server::ServerController();
  const server::TSvCompressor* compressor = server::TSvCompressor::Instance();
  // A client that names no coding gets the body as it is.
  const std::string accept_encoding = request.FRawHeaders.Values("Accept-Encoding");
  if (refused || accept_encoding.empty() || controller == nullptr || compressor == nullptr ||
      !controller->Compression().Enabled()) {
    return;
  }
  server::CompressResponse loan;
  loan.code = response.FResponseNo;
  loan.content_type = response.FCharSet.empty()
                          ? response.FContentType
                          : response.FContentType + "; charset=" + response.FCharSet;
  loan.custom_headers = &headers;
  BodyLoan body(loan, response);
  compressor->Compress(accept_encoding, loan);
  if (!loan.content_encoding.empty()) {
    response.FContentEncoding = loan.content_encoding;
    response.FContentLength = loan.content_length;
  }
}

TSaServerArdo::TSaServerArdo(server::TSvServerControllerBase& controller, LogLine log)
    : controller_(controller),
      access_log_(open_access_log(controller)),
      FHTTP(std::make_unique<THTTPServerArdo>()),
      FHTTPS(std::make_unique<THTTPServerArdo>()) {
  configure(*FHTTP, controller_.Port());
  server::TSvSSLOptions& ssl = controller_.SSLOptions();
  if (!(ssl.Port > 0 && ssl.NonSSLRequest == server::NonSslRequest::nsBlock)) {
    FHTTP->SetActive(true);
  }
  if (FHTTP->Bindings().Count() > 0) {
    controller_.SetPort(FHTTP->Bindings()[0].FPort);
  }
  FHTTPS->SetServesTLS(true);
  if (ssl.Port <= 0) {
    ssl.Port = 0;
    return;
  }
  try {
    configure(*FHTTPS, ssl.Port);
    configure_tls(log);
    FHTTPS->SetActive(true);
  } catch (...) {
    // A host that cannot serve HTTPS serves nothing.
    FHTTP->SetActive(false);
    throw;
  }
}

TSaServerArdo::~TSaServerArdo() {
  FHTTP->SetActive(false);
  FHTTPS->SetActive(false);
}

void TSaServerArdo::configure(THTTPServerArdo& listener, int32_t port) {
  listener.SetKeepAlive(controller_.HttpKeepAlive());
  const server::TSvServerLimits& limits = controller_.Limits;
  // A byte count of 0 or less means no limit.
  const auto bytes_or_unlimited = [](int64_t v) {
    return v > 0 ? v : std::numeric_limits<int64_t>::max();
  };
  HttpLimits& http = listener.Limits();
  http.max_header_bytes = controller_.MaxRequestHeaderBytes();
  http.max_body_bytes = bytes_or_unlimited(limits.MaxBodyBytes);
  http.max_form_bytes = bytes_or_unlimited(limits.MaxFormBytes);
  http.refuse_folded_lines = limits.RefuseFoldedHeaders;
  http.header_timeout_ms = limits.HeaderTimeoutMs;
  http.header_max_timeout_ms = limits.HeaderMaxTimeoutMs;
  http.header_min_rate_bytes_per_sec = limits.HeaderMinRateBytesPerSec;
  http.body_idle_timeout_ms = limits.BodyIdleTimeoutMs;
  http.body_rate_grace_ms = limits.BodyRateGraceMs;
  http.body_min_rate_bytes_per_sec = limits.BodyMinRateBytesPerSec;
  http.send_stall_timeout_ms = limits.SendStallTimeoutMs;
  http.send_timeout_ms = limits.SendTimeoutMs;
  http.send_min_rate_bytes_per_sec = limits.SendMinRateBytesPerSec;
  http.idle_timeout_ms = limits.KeepAliveIdleTimeoutMs;
  http.close_linger_ms = limits.CloseLingerMs;
  listener.SetMaxConnections(std::max(limits.MaxConnections, 0));
  // A proxy brings many clients over one address; they are told apart behind it, not here.
  listener.SetMaxConnectionsPerClient(std::max(limits.MaxConnectionsPerClient, 0),
                                      controller_.SecurityOptions().TrustedProxies);
  listener.SetListenQueue(limits.ListenQueue > 0 ? limits.ListenQueue : SOMAXCONN);
  listener.SetAccessLog(access_log_.get(), controller_.SecurityOptions().TrustedProxies);
  listener.OnConnect = [this](TInContext& context) { connection_started(context); };
  // Out of descriptors, the database connections sessions keep open while idle are what can
  // be given back at once; they open again on their sessions' next requests.
  listener.OnDescriptorShortage = [this] {
    const size_t closed = controller_.Sessions().CloseIdleResources(std::chrono::milliseconds(0));
    if (closed > 0) {
      controller_.NoteShortage(
          "Out of file descriptors accepting a connection: closed the database connections of " +
          std::to_string(closed) + " idle session(s)");
    }
    return closed > 0;
  };
  const std::string& bound_ip = controller_.BoundIP();
  std::vector<std::string> addresses;
  if (bound_ip.empty()) {
    listener.SetDefaultPort(static_cast<uint16_t>(port));
    addresses.emplace_back("0.0.0.0");
  } else {
    addresses = SplitBoundIP(bound_ip);
  }
  for (const std::string& address : addresses) {
    TInSocketHandle& binding = listener.Bindings().Add();
    binding.FIP = address;
    binding.FPort = static_cast<uint16_t>(port);
  }
  // With port 0 every address gets the port the platform chose for the first one, which is
  // known only once the first binding is bound.
  if (port == 0) {
    listener.OnBeforeBind = [&listener](TInSocketHandle& binding) {
      TInSocketHandles& bindings = listener.Bindings();
      if (&binding != &bindings[0]) {
        binding.FPort = bindings[0].FPort;
      }
    };
  }
}

void TSaServerArdo::configure_tls(const LogLine& log) {
  const server::TSvSSLOptions& ssl = controller_.SSLOptions();
  auto tls = std::make_unique<TInServerIOHandlerSSLOpenSSL>();
  TInSSLOptions& options = tls->SSLOptions();
  const std::string& folder = controller_.environment().application_folder;
  options.fsCertFile = folder + "cert.pem";
  options.fsKeyFile = folder + "key.pem";
  options.fsRootCertFile = folder + "root.pem";
  static_assert(static_cast<int>(server::SslVersion::TLSv12) ==
                static_cast<int>(TInSSLVersion::sslvTLSv1_2));
  if (!ssl.SSLVersions.empty()) {
    TInSSLVersions versions = 0;
    for (server::SslVersion v : ssl.SSLVersions) {
      versions |= SSLVersionBit(static_cast<TInSSLVersion>(v));
    }
    options.SetSSLVersions(versions);
  } else {
    options.SetMethod(static_cast<TInSSLVersion>(ssl.SSLVersion));
  }
  options.fCipherList = ssl.CipherList.empty() ? std::string(kDefaultCipherList) : ssl.CipherList;
  options.fsDHParamsFile = ssl.DHParamsFile;
  options.fVerifyDepth = 2;
  tls->OnGetPassword = [this] { return controller_.SSLOptions().CertificatePassword; };
  const std::string note = ServedVersionsNote(options.SSLVersions());
  if (log) {
    log(note);
  } else {
    std::fprintf(stderr, "%s\n", note.c_str());
  }
  FHTTPS->SetIOHandler(std::move(tls));
}

void TSaServerArdo::connection_started(TInContext& context) {
  if (FUseServerIntercept.load() && MakeServerIntercept) {
    context.IOHandler().SetIntercept(MakeServerIntercept(FBitsPerSec.load() / 8));
  }
}

}  // namespace appsrv::transport
