// URL and parameter decoding: the request target, the query and form parameters, and
// url_decode itself, which must read "%XX" as exactly the byte it names.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transport/http/http_params.h"
#include "transport/http/http_request_target.h"
#include "transport/net/text_encoding.h"

namespace {

using namespace appsrv::transport;

std::string percent_encoded(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const RequestTarget target = parse_request_target(input);
  if (target.uri.find('?') != std::string::npos) {
    std::abort();
  }

  const IInTextEncoding* encodings[] = {utf8_encoding(), ascii_encoding(), eight_bit_encoding()};
  for (const IInTextEncoding* encoding : encodings) {
    const std::vector<std::string> params = decode_params(input, *encoding);
    if (!input.empty()) {
      // One line per "&"-separated piece; a trailing "&" adds none.
      const size_t pieces = static_cast<size_t>(std::count(input.begin(), input.end(), '&')) + 1 -
                            (input.back() == '&' ? 1 : 0);
      if (params.size() != pieces) {
        std::abort();
      }
    }
    // Without escapes of its own, a text decodes the same whether its bytes come plain or as
    // "%XX" escapes.
    std::string plain(input);
    plain.erase(std::remove(plain.begin(), plain.end(), '%'), plain.end());
    if (url_decode(plain, *encoding) != url_decode(percent_encoded(plain), *encoding)) {
      std::abort();
    }
  }
  return 0;
}
