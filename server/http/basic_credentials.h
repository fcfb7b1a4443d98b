// The user name and password a request carries for HTTP Basic authentication.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::server {

struct Credentials {
  std::string user;
  std::string password;
};

// Credentials from an Authorization value whose first word is "Basic" (any case): the rest is
// Base64 text of "user:password", split at the first ":". Empty for any other scheme.
Credentials parse_basic_authorization(std::string_view authorization);

// The request's credentials: Auth_User/Auth_Pass when a user is given there, else the Basic
// Authorization value (the first copy, else the second).
Credentials request_credentials(std::string_view auth_user, std::string_view auth_pass,
                                std::string_view authorization,
                                std::string_view authorization_header);

}  // namespace appsrv::server
