#include "transport/http_request_info.h"

#include "base/text.h"
#include "server/http/basic_credentials.h"
#include "transport/http_body_framing.h"
#include "transport/http_exceptions.h"
#include "transport/http_params.h"
#include "transport/http_response_info.h"

namespace appsrv::transport {

std::string_view MediaType(std::string_view content_type) {
  return base::trim(content_type.substr(0, content_type.find(';')));
}

void ProcessHeaders(TInHTTPRequestInfo& r) {
  const TInHeaderList& h = r.FRawHeaders;
  r.FCacheControl = h.Values("Cache-control");
  r.FConnection = h.Values("Connection");
  r.FContentVersion = h.Values("Content-Version");
  r.FContentDisposition = h.Values("Content-Disposition");
  r.FContentEncoding = h.Values("Content-Encoding");
  r.FContentLanguage = h.Values("Content-Language");
  ApplyContentType(h.Values("Content-Type"), r.FContentType, r.FCharSet);
  const ContentLength length = parse_content_length(h.Extract("Content-Length"));
  r.FContentLength = length.value;
  r.FHasContentLength = length.value >= 0;
  r.FConflictingContentLength = length.conflicting;
  r.FContentRange = h.Values("Content-Range");
  // The request's Date is not consulted by the server; "now" stands in for it.
  r.FDate = base::now();
  r.FLastModified = h.Values("Last-Modified");
  r.FExpires = h.Values("Expires");
  r.FETag = h.Values("ETag");
  r.FPragma = h.Values("Pragma");
  r.FTransferEncoding = h.Values("Transfer-Encoding");
  r.FAccept = h.Values("Accept");
  r.FAcceptCharSet = h.Values("Accept-Charset");
  r.FAcceptEncoding = h.Values("Accept-Encoding");
  r.FAcceptLanguage = h.Values("Accept-Language");
  r.FExpect = h.Values("Expect");
  r.FHost = h.Values("Host");
  r.FFrom = h.Values("From");
  r.FReferer = h.Values("Referer");
  r.FUserAgent = h.Values("User-Agent");
  r.FRanges = h.Values("Range");
  r.FMethodOverride = h.Values("X-HTTP-Method-Override");
  if (r.FCharSet.empty()) {
    r.FCharSet = "UTF-8";
  }
}

void DecodeRequestParams(TInHTTPRequestInfo& r, bool parse_params) {
  const bool form = base::iequals(MediaType(r.FContentType), "application/x-www-form-urlencoded");
  r.FUnparsedParams = join_unparsed_params(r.FFormParams, r.FQueryParams);
  if (parse_params) {
    r.FParams =
        decode_params(form ? r.FUnparsedParams : r.FQueryParams, *CharsetToEncoding(r.FCharSet));
  }
}

void DecodeAuthorization(TInHTTPRequestInfo& r) {
  const std::string authorization = r.FRawHeaders.Values("Authorization");
  if (authorization.empty()) {
    return;
  }
  const std::string scheme = authorization.substr(0, authorization.find(' '));
  if (!base::iequals(scheme, "Basic")) {
    throw EInHTTPUnsupportedAuthorisationScheme();
  }
  const server::Credentials credentials = server::parse_basic_authorization(authorization);
  r.FAuthExists = true;
  r.FAuthUsername = credentials.user;
  r.FAuthPassword = credentials.password;
}

}  // namespace appsrv::transport
