#include "transport/bridge_payload.h"

#include <charconv>

#include "base/exception.h"
#include "base/text.h"
#include "server/exchange/file_stream.h"
#include "server/pipeline/app_cache.h"

namespace appsrv::transport {
namespace {

int32_t port_number(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || stop != end) {
    throw base::Exception("'" + std::string(text) + "' is not a valid integer value");
  }
  return value;
}

}  // namespace

server::RequestPacketFields RequestPayload(const TInHTTPRequestInfo& r, int32_t local_port,
                                           std::vector<server::RequestPacketFile> files) {
  const TInHeaderList& h = r.FRawHeaders;
  server::RequestPacketFields f;
  f.user_agent = h.Values("User-Agent");
  f.referer = h.Values("Referer");
  const std::string host = h.Values("Host");
  const size_t colon = host.find(':');
  f.host = host.substr(0, colon);
  f.authorization = h.Values("Authorization");
  f.path_info = r.FDocument;
  f.remote_addr = r.FRemoteIP;
  f.server_port = colon == std::string::npos
                      ? local_port
                      : port_number(std::string_view(host).substr(colon + 1));
  f.query = r.FQueryParams;
  f.method = r.FCommand;
  f.if_modified_since = h.Values("If-Modified-Since");
  f.forwarded_for = h.Values("HTTP_X_FORWARDED_FOR");
  f.http_client_ip = h.Values("HTTP_CLIENT_IP");
  f.authorization_header = h.Values("Authorization");
  f.auth_user = h.Values("Auth_User");
  f.auth_pass = h.Values("Auth_Pass");
  f.accept_language = h.Values("Accept-Language");
  f.https_header = h.Values("HTTPS");
  f.raw_headers = h.lines();
  for (const RequestCookie& cookie : r.FCookies) {
    f.cookie_fields.push_back(cookie.name + "=" + cookie.value);
  }
  f.query_fields = r.FParams;
  f.files = std::move(files);
  f.has_content = r.FContentLength > 0;
  return f;
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
