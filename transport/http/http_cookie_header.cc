#include "transport/http/http_cookie_header.h"

#include "base/text.h"

namespace appsrv::transport {

void parse_cookie_header(std::string_view value, std::vector<RequestCookie>& cookies) {
  value = base::trim(value);
  size_t start = 0;
  while (start <= value.size()) {
    const size_t semicolon = value.find(';', start);
    const std::string_view piece = base::trim(
        value.substr(start, semicolon == std::string_view::npos ? semicolon : semicolon - start));
    if (!piece.empty()) {
      RequestCookie cookie;
      const size_t eq = piece.find('=');
      if (eq != std::string_view::npos) {
        cookie.name = std::string(base::trim_right(piece.substr(0, eq)));
        std::string_view v = base::trim(piece.substr(eq + 1));
        if (!v.empty() && v[0] == '"') {
          v.remove_prefix(1);
          v = v.substr(0, v.find('"'));
        }
        cookie.value = std::string(v);
      }
      cookies.push_back(std::move(cookie));
    }
    if (semicolon == std::string_view::npos) {
      break;
    }
    start = semicolon + 1;
  }
}

}  // namespace appsrv::transport
