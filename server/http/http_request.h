// The request record the pipeline and content handlers read, built from a request packet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/name_value_list.h"
#include "server/http/http_file.h"

namespace appsrv::server {

enum THttpMethod : uint8_t { hmNone = 0, hmGet = 1, hmPut = 2, hmPost = 3, hmHead = 4 };

// "GET", "PUT", "POST", "HEAD" in any case; anything else is hmNone.
THttpMethod http_method_from_text(std::string_view method);

// One request, used by the single worker thread serving it. Strings are UTF-8.
class THttpRequest {
 public:
  // Reads the request packet in the buffer (the buffer may be reused once this returns).
  // Throws the packet failures ("No stream signature found." ...) on a malformed packet.
  THttpRequest(const char* aBytes, int32_t aSize);
  THttpRequest(const THttpRequest&) = delete;
  THttpRequest& operator=(const THttpRequest&) = delete;

  std::string GetCookieValue(std::string_view aName) const { return mCookieFields.value(aName); }
  std::string GetContentFieldValue(std::string_view aContentFieldName) const {
    return mContentFields.value(aContentFieldName);
  }
  // The value of the last header line named `aName` (ignoring case), or "".
  std::string GetRawHeaderValue(std::string_view aName) const;
  std::string GetServerVariableValue(std::string_view aVariableName) const;

  void SetRewriteURL(std::string_view aUrl) { mScriptName = aUrl; }

  // For a POST, appends the query fields to the content fields (again on every call) and
  // returns the content fields; for any other method, the query fields.
  base::NameValueList& GetParams();

  // The Accept-Encoding header names gzip (in any case).
  bool AcceptsGZip() const;

  const std::string& UserAgent() const { return mUserAgent; }
  const std::string& Referer() const { return mReferer; }
  const std::string& ScriptName() const { return mScriptName; }
  const std::string& Host() const { return mHost; }
  const std::string& Authorization() const { return mAuthorization; }
  const std::string& URL() const { return mURL; }
  const std::string& PathInfo() const { return mPathInfo; }
  const std::string& RemoteAddr() const { return mRemoteAddr; }
  int32_t ServerPort() const { return mServerPort; }
  const std::string& Query() const { return mQuery; }
  const std::string& QueryString() const { return mQuery; }
  THttpMethod HttpMethod() const { return mHttpMethod; }
  const std::string& IfModifiedSince() const { return mIfModifiedSince; }
  const std::string& ForwardedFor() const { return mForwardedFor; }
  const std::string& HttpClientIP() const { return mHttpClientIP; }
  const std::string& AuthorizationHeader() const { return mAuthorizationHeader; }
  const std::string& AuthUser() const { return mAuthUser; }
  const std::string& AuthPass() const { return mAuthPass; }
  const std::string& AcceptLanguage() const { return mAcceptLanguage; }
  // "on" when the request came in on the TLS listener: the transport fills it from the
  // listener, never from a header the client sent.
  const std::string& HttpsHeader() const { return mHttpsHeader; }
  const base::NameValueList& RawHeaders() const { return mRawHeaders; }
  const base::NameValueList& ContentFields() const { return mContentFields; }
  const base::NameValueList& CookieFields() const { return mCookieFields; }
  const base::NameValueList& QueryFields() const { return mQueryFields; }
  const base::NameValueList& ServerVariables() const { return mServerVariables; }
  bool HasContent() const { return mHasContent; }
  const THttpFileList& Files() const { return mFiles; }

  std::string mUserAgent;
  std::string mReferer;
  std::string mScriptName;
  std::string mHost;
  std::string mAuthorization;
  std::string mURL;
  std::string mPathInfo;
  std::string mRemoteAddr;
  int32_t mServerPort = 0;
  std::string mQuery;
  THttpMethod mHttpMethod = hmNone;
  std::string mIfModifiedSince;
  std::string mForwardedFor;
  std::string mHttpClientIP;
  std::string mAuthorizationHeader;
  std::string mAuthUser;
  std::string mAuthPass;
  std::string mAcceptLanguage;
  std::string mHttpsHeader;
  base::NameValueList mRawHeaders{':'};
  base::NameValueList mContentFields;
  base::NameValueList mCookieFields;
  base::NameValueList mQueryFields;
  base::NameValueList mServerVariables;
  bool mHasContent = false;
  THttpFileList mFiles;
};

// Header-style lookup: the last line that starts with `name` + ":" (ignoring case) gives the
// text after the colon without its leading blanks; "" for an empty name or no match.
std::string find_header_value(const std::vector<std::string>& lines, std::string_view name);

}  // namespace appsrv::server
