#include "base/client_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace appsrv::base {
namespace {

TEST(ClientAddress, ATrustedProxyNamesTheClientByItsLastForwardedHop) {
  const std::vector<std::string> kTrusted = {"127.0.0.1", "::1"};
  struct Case {
    const char* what;
    const char* peer;
    std::vector<std::string> headers;
    const char* address;
    bool unvouched;
  };
  // clang-format off
  const Case kCases[] = {
    {"no header",                  "127.0.0.1", {"Host: h"},                                      "127.0.0.1", false},
    {"one hop",                    "127.0.0.1", {"X-Forwarded-For: 10.0.0.7"},                    "10.0.0.7",  false},
    {"the hop the proxy saw",      "127.0.0.1", {"X-Forwarded-For: 127.0.0.1, 10.0.0.7"},         "10.0.0.7",  false},
    {"the last of several lines",  "127.0.0.1", {"x-forwarded-for: 127.0.0.1", "X-Forwarded-For:10.0.0.7 "}, "10.0.0.7", false},
    {"IPv6, canonical",            "::1",       {"X-Forwarded-For: 2001:DB8:0:0::1"},             "2001:db8::1", false},
    {"a name, not an address",     "127.0.0.1", {"X-Forwarded-For: 10.0.0.7, unknown"},           "127.0.0.1", true},
    {"an address with a port",     "127.0.0.1", {"X-Forwarded-For: 10.0.0.7:5000"},               "127.0.0.1", true},
    {"an empty last hop",          "127.0.0.1", {"X-Forwarded-For: 10.0.0.7,"},                   "127.0.0.1", true},
    {"leading zeros",              "127.0.0.1", {"X-Forwarded-For: 010.0.0.7"},                   "127.0.0.1", true},
    {"an untrusted peer",          "10.9.9.9",  {"X-Forwarded-For: 127.0.0.1"},                   "10.9.9.9",  true},
    {"Forwarded alone",            "127.0.0.1", {"Forwarded: for=10.0.0.7"},                      "127.0.0.1", true},
    {"Client-IP alone",            "10.9.9.9",  {"Client-IP: 127.0.0.1"},                         "10.9.9.9",  true},
    {"the CGI-style name",         "10.9.9.9",  {"HTTP_X_FORWARDED_FOR: 127.0.0.1"},              "10.9.9.9",  true},
    {"a name that only starts so", "10.9.9.9",  {"X-Forwarded-Format: x"},                        "10.9.9.9",  false},
    {"vouched beside Forwarded",   "127.0.0.1", {"Forwarded: for=127.0.0.1", "X-Forwarded-For: 10.0.0.7"}, "10.0.0.7", false},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const ClientAddress got = client_address(c.peer, c.headers, kTrusted);
    EXPECT_EQ(got.address, c.address);
    EXPECT_EQ(got.unvouched_forwarding, c.unvouched);
  }
  // Trusting no one, the peer is the client whatever it says.
  const std::vector<std::string> headers = {"X-Forwarded-For: 10.0.0.7"};
  EXPECT_EQ(client_address("127.0.0.1", headers, {}).address, "127.0.0.1");
}

}  // namespace
}  // namespace appsrv::base
