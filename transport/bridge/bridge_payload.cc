#include "transport/bridge/bridge_payload.h"

#include <iterator>
#include <string_view>

#include "base/exception.h"
#include "base/parse_int.h"
#include "base/text.h"
#include "server/exchange/file_stream.h"
#include "server/pipeline/app_cache.h"

namespace appsrv::transport {
namespace {

int32_t port_number(std::string_view text) {
  if (const std::optional<int32_t> value = base::parse_int<int32_t>(text)) {
    return *value;
  }
  throw base::Exception("'" + std::string(text) + "' is not a valid integer value");
}

// The packet fields of a request but for the lines WriteRequestPacket lends them.
server::RequestPacketFields payload_fields(const TInHTTPRequestInfo& r, int32_t local_port,
                                           bool secure,
                                           std::vector<server::RequestPacketFile> files) {
  const TInHeaderList& h = r.FRawHeaders;
  server::RequestPacketFields f;
  // The fields taken from the first header line of their name, found in one pass.
  static constexpr std::string_view kNames[] = {"User-Agent",
                                                "Referer",
                                                "Host",
                                                "Authorization",
                                                "If-Modified-Since",
                                                "HTTP_X_FORWARDED_FOR",
                                                "HTTP_CLIENT_IP",
                                                "Auth_User",
                                                "Auth_Pass",
                                                "Accept-Language"};
  std::string host;
  std::string* const fields[] = {&f.user_agent,      &f.referer,           &host,
                                 &f.authorization,   &f.if_modified_since, &f.forwarded_for,
                                 &f.http_client_ip,  &f.auth_user,         &f.auth_pass,
                                 &f.accept_language};
  static_assert(std::size(kNames) == std::size(fields));
  h.FirstValues(kNames, [&](size_t k, std::string value) { *fields[k] = std::move(value); });
  f.authorization_header = f.authorization;
  // Whether the request is secure is a fact of the listener it came in on. A client's own
  // "HTTPS: on" header proves nothing and is never read.
  f.https_header = secure ? "on" : "off";
  const size_t colon = host.find(':');
  f.host = host.substr(0, colon);
  f.path_info = r.FDocument;
  f.remote_addr = r.FRemoteIP;
  // "host:" with nothing after the colon names the default port (RFC 3986 3.2.3), which here
  // is the one the request came in on.
  f.server_port = colon == std::string::npos || colon + 1 == host.size()
                      ? local_port
                      : port_number(std::string_view(host).substr(colon + 1));
  f.query = r.FQueryParams;
  f.method = r.FCommand;
  for (const RequestCookie& cookie : r.FCookies) {
    f.cookie_fields.push_back(cookie.name + "=" + cookie.value);
  }
  f.files = std::move(files);
  f.has_content = r.FContentLength > 0;
  return f;
}

// Moves a list into an empty one for the scope and back at its end.
class LinesLoan {
 public:
  LinesLoan(std::vector<std::string>& owner, std::vector<std::string>& borrower)
      : owner_(owner), borrower_(borrower) {
    borrower_.swap(owner_);
  }
  ~LinesLoan() { owner_.swap(borrower_); }
  LinesLoan(const LinesLoan&) = delete;
  LinesLoan& operator=(const LinesLoan&) = delete;

 private:
  std::vector<std::string>& owner_;
  std::vector<std::string>& borrower_;
};

}  // namespace

void WriteRequestPacket(TInHTTPRequestInfo& request, int32_t local_port, bool secure,
                        std::vector<server::RequestPacketFile> files, char* aBytes, int32_t aSize) {
  server::RequestPacketFields fields =
      payload_fields(request, local_port, secure, std::move(files));
  const LinesLoan headers(request.FRawHeaders.lines(), fields.raw_headers);
  const LinesLoan params(request.FParams, fields.query_fields);
  server::write_request_packet(fields, aBytes, aSize);
}

void ApplyReplyPayload(server::ReplyPacket reply, TInHTTPResponseInfo& response) {
  if (reply.code != 0) {
    response.SetResponseNo(reply.code);
    if (!reply.code_text.empty()) {
      response.FResponseText = reply.code_text;
    }
  }
  response.SetContentType(reply.content_type);
  if (!reply.auth_realm.empty()) {
    response.FAuthRealm = reply.auth_realm;
  }
  response.FCustomHeaders.lines() = std::move(reply.headers);
  for (server::ReplyPacketCookie& c : reply.cookies) {
    TInCookie cookie;
    cookie.FName = std::move(c.name);
    cookie.FValue = std::move(c.value);
    cookie.FPath = std::move(c.path);
    cookie.FExpires = c.expires;
    cookie.FDomain = std::move(c.domain);
    cookie.FHttpOnly = c.http_only;
    cookie.FSecure = c.secure;
    response.FCookies.push_back(std::move(cookie));
  }
  switch (reply.data_type) {
    case server::rtFile:
      response.FContentStream =
          std::make_unique<server::TReadFileStream>(reply.file_path, reply.file_delete);
      break;
    case server::rtCacheFile: {
      auto stream = std::make_unique<server::TReadCacheFileStream>(reply.file_path);
      response.SetContentType(stream->mContentType);
      response.FContentStream = std::move(stream);
      break;
    }
    case server::rtInline:
      response.FContentStream = std::move(reply.body);
      break;
    case server::rtNoData:
    case server::rtNone:
      response.FContentLength = 0;
      break;
  }
}

}  // namespace appsrv::transport
