// One parsed request: request line, header fields, parameters, cookies, credentials, body.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "server/exchange/stream.h"
#include "transport/http/http_body_framing.h"
#include "transport/http/http_cookie_header.h"
#include "transport/http/http_header_list.h"
#include "transport/http/http_request_line.h"

namespace appsrv::transport {

// Owned by the connection thread that serves the request; freed (with its body) when the
// request ends.
class TInHTTPRequestInfo {
 public:
  bool IsVersionAtLeast(int major, int minor) const {
    return version_at_least(FVersionMajor, FVersionMinor, major, minor);
  }

  TInHeaderList FRawHeaders;
  // The request line and header lines are ASCII-decoded, each byte from 0x80 up becoming
  // U+FFFD. What the client really sent is kept here for the access log, which escapes it, and
  // only when decoding changed something: empty (no lines) otherwise.
  struct ReceivedBytes {
    std::string request_line;
    TInHeaderList header_lines;
  };
  ReceivedBytes received_bytes;
  std::string FCacheControl;
  std::string FCharSet;
  std::string FConnection;
  std::string FContentDisposition;
  std::string FContentEncoding;
  std::string FContentLanguage;
  int64_t FContentLength = -1;
  bool FHasContentLength = false;
  bool FConflictingContentLength = false;  // several Content-Length headers that disagree
  std::string FContentRange;
  std::string FContentType;
  std::string FContentVersion;
  base::DateTime FDate = 0;
  std::string FLastModified;
  std::string FExpires;
  std::string FETag;
  std::string FPragma;
  std::string FTransferEncoding;  // every Transfer-Encoding line, as one list
  // Why the end of the body cannot be told, or kNone.
  FramingFault framing_fault = FramingFault::kNone;
  std::string FAccept;
  std::string FAcceptCharSet;
  std::string FAcceptEncoding;
  std::string FAcceptLanguage;
  std::string FExpect;
  std::string FFrom;
  std::string FReferer;
  std::string FUserAgent;
  std::string FHost;
  std::string FRanges;
  std::string FMethodOverride;

  bool FAuthExists = false;
  std::vector<RequestCookie> FCookies;
  std::vector<std::string> FParams;  // "name=value" lines
  std::unique_ptr<server::Stream> FPostStream;
  std::string FRawHTTPCommand;
  std::string FRemoteIP;
  std::string FDocument;
  std::string FURI;
  std::string FCommand;
  std::string FVersion;
  int FVersionMajor = -1;
  int FVersionMinor = -1;
  std::string FAuthUsername;
  std::string FAuthPassword;
  std::string FUnparsedParams;
  std::string FQueryParams;
  std::string FFormParams;
  THTTPCommandType FCommandType = hcUnknown;
};

// Fills the header fields from FRawHeaders; FCharSet is "UTF-8" when the Content-Type names
// no charset.
void ProcessHeaders(TInHTTPRequestInfo& request);

// The media type of a Content-Type value: the text before any ";", trimmed.
std::string_view MediaType(std::string_view content_type);

// FUnparsedParams and, with `parse_params`, FParams, from FQueryParams and (for a form post)
// FFormParams, decoded with the request's charset.
void DecodeRequestParams(TInHTTPRequestInfo& request, bool parse_params);

// Basic credentials from the Authorization header into FAuthUsername and FAuthPassword.
// Throws EInHTTPUnsupportedAuthorisationScheme for any other scheme.
void DecodeAuthorization(TInHTTPRequestInfo& request);

}  // namespace appsrv::transport
