// What the server answers to one request: status, header fields, cookies and body, and the
// text of the status line and header block built from them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "server/exchange/stream.h"
#include "transport/http/http_header_list.h"

namespace appsrv::transport {

// One cookie to set; an expiry of 0 means none, one in the past (such as -1.0, 1899-12-29)
// removes the cookie at the client.
struct TInCookie {
  std::string FName;
  std::string FValue;
  std::string FPath;
  std::string FDomain;
  base::DateTime FExpires = 0;
  bool FHttpOnly = false;
  bool FSecure = false;
  // "Lax", "Strict" or "None"; empty: no SameSite attribute.
  std::string FSameSite;
};

// The "Set-Cookie" value of a cookie; `now` (local) gives Max-Age.
std::string CookieText(const TInCookie& cookie, base::DateTime now);
// "Sun, 06-Nov-1994 08:49:37 GMT" for a local date-time, converted with the current offset.
std::string CookieDate(base::DateTime local);

// Splits a Content-Type value: a charset parameter goes to `charset`; without one a text type
// gets "us-ascii" (xml types) or "ISO-8859-1". An empty value clears both.
void ApplyContentType(std::string_view value, std::string& content_type, std::string& charset);

// One response; owned by the connection thread that serves the request.
class TInHTTPResponseInfo {
 public:
  // Sets the code and its standard phrase; 404 also closes the connection.
  void SetResponseNo(int code);
  void SetContentType(std::string_view value) { ApplyContentType(value, FContentType, FCharSet); }
  void SetCloseConnection(bool close);
  // 302 to `url`.
  void Redirect(std::string_view url);
  bool HasBody() const { return !FContentText.empty() || FContentStream != nullptr; }
  // The body text in the response's charset.
  std::string EncodedContentText() const;

  // Completes the response for sending, once, before its header text is written: a realm
  // makes it a 401 challenge (with a page when there is no body), a body gets the default
  // content type, and the content length, the date (`now`, local) and announced_length are
  // filled in where unset.
  void complete(base::DateTime now);
  // The status line, header lines, Set-Cookie lines and the empty line of the response as it
  // stands (complete() first). `now` is local time, for cookie ages; `now_date`, when given,
  // is the Date header's text for the date complete() filled in.
  std::string HeaderText(base::DateTime now, std::string_view now_date = {}) const;

  int FResponseNo = 200;
  std::string FResponseText = "OK";
  std::string FAuthRealm;
  bool FCloseConnection = false;
  bool FHeaderHasBeenWritten = false;
  // Bytes of the status line and headers once they went out; the rest of a reply is its body.
  int64_t header_bytes = 0;
  // The Content-Length the header text announced, -1 for none: the body sent never exceeds it.
  int64_t announced_length = -1;
  std::string FContentText;  // UTF-8; wins over the stream
  std::unique_ptr<server::Stream> FContentStream;
  std::vector<TInCookie> FCookies;
  TInHeaderList FCustomHeaders;

  std::string FCacheControl;
  std::string FCharSet;
  std::string FConnection;
  std::string FContentDisposition;
  std::string FContentEncoding;
  std::string FContentLanguage;
  int64_t FContentLength = -1;
  int64_t FContentRangeStart = -1;
  int64_t FContentRangeEnd = -1;
  int64_t FContentRangeInstanceLength = -1;
  std::string FContentRangeUnits;
  std::string FContentType;
  std::string FContentVersion;
  base::DateTime FDate = 0;
  base::DateTime FExpires = 0;
  base::DateTime FLastModified = 0;
  std::string FETag;
  std::string FPragma;
  std::string FTransferEncoding;
  std::string FAcceptPatch;
  std::string FAcceptRanges;
  std::string FLocation;
  std::string FServer;

 private:
  // complete() gave the response its date: the caller's text for it may stand in.
  bool dated_at_completion_ = false;
};

}  // namespace appsrv::transport
