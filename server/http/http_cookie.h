// Cookies a reply sets or removes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"

namespace appsrv::server {

// Expiry 0 is a session cookie; kCookieRemoval marks a cookie to remove.
constexpr base::DateTime kCookieRemoval = -1.0;

struct THTTPCookie {
  std::string mName;
  std::string mValue;
  std::string mPath;
  base::DateTime mExpires = 0;
  std::string mDomain;
  bool mSecure = false;
  bool mHttpOnly = false;
};

// Owns its cookies; references returned by the adders stay valid until the list changes.
class TCookieList {
 public:
  THTTPCookie& AddCookie(std::string_view aName, std::string_view aValue, std::string_view aPath,
                         base::DateTime aExpires, bool aHttpOnly, bool aSecure);
  // Appends a removal: empty value, expiry -1.0, both flags false.
  THTTPCookie& RemoveCookie(std::string_view aName, std::string_view aPath);
  void Clear() { cookies_.clear(); }

  size_t Count() const { return cookies_.size(); }
  const THTTPCookie& operator[](size_t i) const { return cookies_[i]; }
  THTTPCookie& operator[](size_t i) { return cookies_[i]; }

 private:
  std::vector<THTTPCookie> cookies_;
};

}  // namespace appsrv::server
