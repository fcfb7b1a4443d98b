// Requests for whole-program tests, on top of the transport tests' loopback client: one request
// per connection to 127.0.0.1, with the session cookie when there is one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/transport/http_test_client.h"

namespace appsrv::testing {

using transport::testing::ParsedResponse;

// `raw` sent as it is on a connection of its own, and the one response read back. A response
// that did not arrive has an empty status line (the client reports the failure). `source`, when
// not empty, is the loopback address the connection comes from (127.0.0.2 is another client).
ParsedResponse SendRaw(uint16_t port, const std::string& raw, const std::string& source = "");
// `raw` on a connection of its own and every byte that came back until the close or a quiet
// spell of the loopback client's safety time-out; "" when the connection was refused or closed
// without a reply, which is no failure: the program may be gone or out of descriptors.
std::string ExchangeUntilClose(uint16_t port, const std::string& raw);

// GET `target` with "Connection: close" and the cookie line when `cookie` is not empty. A
// response that did not arrive has an empty status line (the client reports the failure).
ParsedResponse Get(uint16_t port, const std::string& target, const std::string& cookie = "",
                   const std::string& source = "");
// POST of a form-encoded `body` to `target`.
ParsedResponse PostForm(uint16_t port, const std::string& target, const std::string& body,
                        const std::string& cookie = "", const std::string& source = "");

// "name=value" of every Set-Cookie line, without the attributes.
std::vector<std::string> Cookies(const ParsedResponse& response);
// Percent-encoding of a form field value (everything but unreserved characters).
std::string FormEncode(std::string_view text);

}  // namespace appsrv::testing
