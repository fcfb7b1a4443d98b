#include "server/session/client_key.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace appsrv::server {

std::string client_key(std::string_view address) {
  address = address.substr(0, kMaxClientKeyBytes);
  char text[INET6_ADDRSTRLEN] = {};
  std::memcpy(text, address.data(), std::min(address.size(), sizeof text - 1));
  in6_addr v6{};
  if (address.size() >= sizeof text || ::inet_pton(AF_INET6, text, &v6) != 1) {
    return std::string(address);
  }
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    in_addr v4{};
    std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
    char v4_text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &v4, v4_text, sizeof v4_text);
    return v4_text;
  }
  std::memset(&v6.s6_addr[8], 0, 8);
  char prefix[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET6, &v6, prefix, sizeof prefix);
  return std::string(prefix) + "/64";
}

}  // namespace appsrv::server
