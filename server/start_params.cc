#include "server/start_params.h"

#include <cstdio>

namespace appsrv::server {

std::string encode_start_params(std::string_view text) {
  static constexpr std::string_view kReserved = "\"#%*+,/;<>[\\]^`{|}";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // DEL is encoded too: a raw control character has no place in a URL.
    if (byte < 33 || byte >= 127 || kReserved.find(c) != std::string_view::npos) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace appsrv::server
