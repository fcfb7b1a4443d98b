// Cookies a client sends in its Cookie headers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace appsrv::transport {

struct RequestCookie {
  std::string name;
  std::string value;
};

// Appends the cookies of one Cookie header value, in order: pieces between ";" (empty ones
// skipped), each split at its first "="; a quoted value ends at the next quote and loses both
// quotes; a piece without "=" gives a cookie with empty name and value.
void parse_cookie_header(std::string_view value, std::vector<RequestCookie>& cookies);

}  // namespace appsrv::transport
