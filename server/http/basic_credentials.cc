#include "server/http/basic_credentials.h"

#include "base/encoding.h"
#include "base/text.h"

namespace appsrv::server {

Credentials parse_basic_authorization(std::string_view authorization) {
  Credentials result;
  const std::string_view value = base::trim_left(authorization);
  const size_t blank = value.find(' ');
  const std::string_view scheme = value.substr(0, blank);
  if (!base::iequals(scheme, "Basic") || blank == std::string_view::npos) {
    return result;
  }
  const std::string decoded = base::base64_decode(base::trim(value.substr(blank + 1)));
  const size_t colon = decoded.find(':');
  result.user = decoded.substr(0, colon);
  if (colon != std::string::npos) {
    result.password = decoded.substr(colon + 1);
  }
  return result;
}

Credentials request_credentials(std::string_view auth_user, std::string_view auth_pass,
                                std::string_view authorization,
                                std::string_view authorization_header) {
  if (!auth_user.empty()) {
    return Credentials{std::string(auth_user), std::string(auth_pass)};
  }
  return parse_basic_authorization(!authorization.empty() ? authorization : authorization_header);
}

}  // namespace appsrv::server
