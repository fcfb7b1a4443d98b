// A small HTTP/1.1 client for whole-program tests: one request per connection to 127.0.0.1,
// the answer read to the end of the connection (or of its Content-Length) within a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace appsrv::testing {

struct HttpResponse {
  int status = 0;  // 0: no answer
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // First header of that name (ASCII case ignored), or "".
  std::string header(std::string_view name) const;
  // "name=value" of every Set-Cookie line, without the attributes.
  std::vector<std::string> cookies() const;
};

// Sends `raw` as it is and reads the response. Throws std::runtime_error when the connection
// cannot be made or the deadline passes.
HttpResponse SendRaw(uint16_t port, const std::string& raw,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));

// GET `target` with "Connection: close", the cookie line when `cookie` is not empty.
HttpResponse Get(uint16_t port, const std::string& target, const std::string& cookie = "");
// POST of a form-encoded `body` to `target`.
HttpResponse PostForm(uint16_t port, const std::string& target, const std::string& body,
                      const std::string& cookie = "");

// Percent-encoding of a form field value (everything but unreserved characters).
std::string FormEncode(std::string_view text);

}  // namespace appsrv::testing
