#include "transport/http/http_request_target.h"

#include <algorithm>

#include "transport/http/http_params.h"

namespace appsrv::transport {
namespace {

// The host of "user:pass@host:port" or "[v6]:port".
std::string host_of_authority(std::string_view authority) {
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    return std::string(authority.substr(1, close == std::string_view::npos ? close : close - 1));
  }
  return std::string(authority.substr(0, authority.find(':')));
}

bool is_plain_ascii_without_escapes(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return c != '%' && static_cast<unsigned char>(c) < 0x80;
  });
}

}  // namespace

RequestTarget parse_request_target(std::string_view target) {
  RequestTarget result;
  const size_t question = target.find('?');
  result.uri = std::string(target.substr(0, question));
  if (question != std::string_view::npos) {
    result.query = std::string(target.substr(question + 1));
  }
  if (target == "*") {
    result.document.assign(1, '*');
    return result;
  }
  std::string text(target);
  const size_t params_start = text.find_first_of("?#");
  for (size_t i = 0; i < std::min(params_start, text.size()); ++i) {
    if (text[i] == '\\') {
      text[i] = '/';
    }
  }
  std::string_view rest = std::string_view(text).substr(0, params_start);
  const size_t scheme_end = rest.find("://");
  if (scheme_end != std::string_view::npos) {
    rest.remove_prefix(scheme_end + 3);
    const size_t path_start = rest.find('/');
    result.host = host_of_authority(rest.substr(0, path_start));
    rest = path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
  }
  // Most paths are plain ASCII without escapes: decoding gives them back as they are.
  if (is_plain_ascii_without_escapes(rest)) {
    result.document = std::string(rest);
    return result;
  }
  const size_t last_slash = rest.rfind('/');
  const std::string_view path =
      last_slash == std::string_view::npos ? std::string_view() : rest.substr(0, last_slash + 1);
  const std::string_view document =
      last_slash == std::string_view::npos ? rest : rest.substr(last_slash + 1);
  result.document = url_decode(path, *utf8_encoding()) + url_decode(document, *utf8_encoding());
  return result;
}

}  // namespace appsrv::transport
