#include "server/session/client_key.h"

#include <gtest/gtest.h>

#include <string>

namespace appsrv::server {
namespace {

TEST(ClientKeyTest, IPv6CountsByItsPrefixEverythingElseAsItsText) {
  struct Case {
    std::string address;
    std::string key;
  };
  const Case kCases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
      {"2001:DB8:1:2::1", "2001:db8:1:2::/64"},
      {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
      {"::ffff:192.0.2.7", "192.0.2.7"},
      {"unknown", "unknown"},
      {"", ""},
      {std::string(300, 'x'), std::string(kMaxClientKeyBytes, 'x')},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(client_key(c.address), c.key);
  }
}

}  // namespace
}  // namespace appsrv::server
