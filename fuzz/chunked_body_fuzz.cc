// The chunked body decoder: the input follows the header of a chunked POST. Whenever the
// server hands a body to its command step, that body is exactly the chunks' data as a plain
// reading of the input finds them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/http_server_fixture.h"
#include "transport/http/http_body_framing.h"

namespace {

// The body of a chunked message: size lines, data, the line end after the data, trailers up
// to an empty line. nullopt when the input ends early or a size line is malformed.
std::optional<std::string> reference_body(std::string_view in) {
  size_t at = 0;
  const auto next_line = [&]() -> std::optional<std::string_view> {
    const size_t lf = in.find('\n', at);
    if (lf == std::string_view::npos) {
      return std::nullopt;
    }
    std::string_view line = in.substr(at, lf - at);
    at = lf + 1;
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    return line;
  };
  std::string body;
  while (true) {
    const std::optional<std::string_view> size_line = next_line();
    if (!size_line) {
      return std::nullopt;
    }
    const std::optional<int64_t> size = appsrv::transport::parse_chunk_size(*size_line);
    if (!size || *size < 0) {
      return std::nullopt;
    }
    if (*size == 0) {
      break;
    }
    if (static_cast<uint64_t>(*size) > in.size() - at) {
      return std::nullopt;
    }
    body.append(in.substr(at, static_cast<size_t>(*size)));
    at += static_cast<size_t>(*size);
    if (!next_line()) {
      return std::nullopt;
    }
  }
  while (true) {
    const std::optional<std::string_view> trailer = next_line();
    if (!trailer) {
      return std::nullopt;
    }
    if (trailer->empty()) {
      return body;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static appsrv::fuzz::FuzzHttpServer server;
  const std::string_view chunks(reinterpret_cast<const char*>(data), size);
  std::string request =
      "POST /upload HTTP/1.1\r\nHost: h\r\nConnection: close\r\n"
      "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n";
  request.append(chunks);
  server.Serve(request, 0);
  if (server.commands() > 0) {
    const std::optional<std::string> expected = reference_body(chunks);
    if (!expected || !server.last_body() || *server.last_body() != *expected) {
      std::abort();
    }
  }
  return 0;
}
