#include "transport/http/http_params.h"

#include <optional>

#include "base/parse_int.h"
#include "base/text.h"

namespace appsrv::transport {
namespace {

// The value of up to `count` hexadecimal characters at `at`, when all of them are hex.
std::optional<unsigned> hex_at(std::string_view text, size_t at, size_t count) {
  return base::parse_hex<unsigned>(text.substr(std::min(at, text.size()), count));
}

}  // namespace

std::string url_decode(std::string_view text, const IInTextEncoding& encoding) {
  std::string bytes;
  bytes.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      bytes += text[i];
      ++i;
    } else if (i + 1 < text.size() && (text[i + 1] == 'u' || text[i + 1] == 'U')) {
      if (const std::optional<unsigned> unit = hex_at(text, i + 2, 4)) {
        // One code unit on its own: a lone surrogate becomes U+FFFD before encoding.
        const char16_t code_unit = static_cast<char16_t>(*unit & 0xFFFF);
        bytes += encoding.GetBytes(base::utf16_to_utf8(std::u16string_view(&code_unit, 1)));
      }
      i += 6;
    } else {
      if (const std::optional<unsigned> byte = hex_at(text, i + 1, 2)) {
        bytes += static_cast<char>(*byte & 0xFF);
      }
      i += 3;
    }
  }
  return encoding.GetString(bytes);
}

std::vector<std::string> decode_params(std::string_view text, const IInTextEncoding& encoding) {
  std::vector<std::string> lines;
  // A trailing "&" adds no empty line; one before the first piece or between two does.
  size_t start = 0;
  while (start < text.size()) {
    const size_t amp = text.find('&', start);
    std::string piece(text.substr(start, amp == std::string_view::npos ? amp : amp - start));
    for (char& c : piece) {
      if (c == '+') {
        c = ' ';
      }
    }
    lines.push_back(url_decode(piece, encoding));
    if (amp == std::string_view::npos) {
      break;
    }
    start = amp + 1;
  }
  return lines;
}

std::string join_unparsed_params(std::string_view form_params, std::string_view query_params) {
  std::string joined(form_params);
  if (!query_params.empty()) {
    if (!joined.empty()) {
      joined += '&';
    }
    joined += query_params;
  }
  return joined;
}

}  // namespace appsrv::transport
