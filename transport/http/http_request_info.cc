#include "transport/http/http_request_info.h"

#include <iterator>

#include "base/text.h"
#include "server/http/basic_credentials.h"
#include "transport/http/http_body_framing.h"
#include "transport/http/http_exceptions.h"
#include "transport/http/http_params.h"
#include "transport/http/http_response_info.h"

namespace appsrv::transport {

std::string_view MediaType(std::string_view content_type) {
  return base::trim(content_type.substr(0, content_type.find(';')));
}

void ProcessHeaders(TInHTTPRequestInfo& r) {
  // The fields read from the first header line of their name, found in one pass.
  static constexpr std::string_view kNames[] = {
      "Cache-control", "Connection",        "Content-Version", "Content-Disposition",
      "Content-Encoding", "Content-Language", "Content-Range", "Last-Modified",
      "Expires",       "ETag",              "Pragma",          "Transfer-Encoding",
      "Accept",        "Accept-Charset",    "Accept-Encoding", "Accept-Language",
      "Expect",        "Host",              "From",            "Referer",
      "User-Agent",    "Range",             "X-HTTP-Method-Override", "Content-Type"};
  std::string* const fields[] = {
      &r.FCacheControl,   &r.FConnection,     &r.FContentVersion, &r.FContentDisposition,
      &r.FContentEncoding, &r.FContentLanguage, &r.FContentRange, &r.FLastModified,
      &r.FExpires,        &r.FETag,           &r.FPragma,         &r.FTransferEncoding,
      &r.FAccept,         &r.FAcceptCharSet,  &r.FAcceptEncoding, &r.FAcceptLanguage,
      &r.FExpect,         &r.FHost,           &r.FFrom,           &r.FReferer,
      &r.FUserAgent,      &r.FRanges,         &r.FMethodOverride};
  static_assert(std::size(kNames) == std::size(fields) + 1, "Content-Type comes last");
  for (std::string* field : fields) {
    field->clear();
  }
  std::string content_type;
  const TInHeaderList& h = r.FRawHeaders;
  h.FirstValues(kNames, [&](size_t k, std::string value) {
    (k < std::size(fields) ? *fields[k] : content_type) = std::move(value);
  });
  ApplyContentType(content_type, r.FContentType, r.FCharSet);
  const std::vector<std::string> content_lengths = h.Extract("Content-Length");
  const ContentLength length = parse_content_length(content_lengths);
  r.FContentLength = length.value;
  r.FHasContentLength = length.value >= 0;
  r.FConflictingContentLength = length.conflicting;
  // A second Transfer-Encoding line counts as much as the first: a proxy that reads only the
  // last one must not see other codings than the server does.
  const std::vector<std::string> codings = h.Extract("Transfer-Encoding");
  if (codings.size() > 1) {
    r.FTransferEncoding = base::join(codings, ", ");
  }
  r.framing_fault = framing_fault(codings, content_lengths, r.IsVersionAtLeast(1, 1));
  // The request's Date is not consulted by the server; "now" stands in for it.
  r.FDate = base::now();
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
