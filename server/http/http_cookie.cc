#include "server/http/http_cookie.h"

namespace appsrv::server {

THTTPCookie& TCookieList::AddCookie(std::string_view aName, std::string_view aValue,
                                    std::string_view aPath, base::DateTime aExpires, bool aHttpOnly,
                                    bool aSecure) {
  THTTPCookie& cookie = cookies_.emplace_back();
  cookie.mName = aName;
  cookie.mValue = aValue;
  cookie.mPath = aPath;
  cookie.mExpires = aExpires;
  cookie.mHttpOnly = aHttpOnly;
  cookie.mSecure = aSecure;
  return cookie;
}

THTTPCookie& TCookieList::RemoveCookie(std::string_view aName, std::string_view aPath) {
  return AddCookie(aName, "", aPath, kCookieRemoval, false, false);
}

}  // namespace appsrv::server
