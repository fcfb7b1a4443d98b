#include "server/http/basic_credentials.h"

#include <gtest/gtest.h>

#include "base/encoding.h"

namespace appsrv::server {
namespace {

TEST(BasicCredentialsTest, AuthorizationValues) {
  struct Case {
    std::string authorization;
    std::string_view user;
    std::string_view password;
  };
  // clang-format off
  const Case kCases[] = {
      {"Basic " + base::base64_encode("bob:secret"),    "bob",  "secret"},
      {"basic " + base::base64_encode("bob:a:b"),       "bob",  "a:b"},
      {"BASIC   " + base::base64_encode("bob:") + " ", "bob",  ""},
      {"Basic " + base::base64_encode("bob"),           "bob",  ""},
      {"Basic " + base::base64_encode(":pw"),           "",     "pw"},
      {"Bearer " + base::base64_encode("bob:secret"),   "",     ""},
      {"Basicx " + base::base64_encode("bob:secret"),   "",     ""},
      {"Basic",                                         "",     ""},
      {"",                                              "",     ""},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.authorization);
    const Credentials got = parse_basic_authorization(c.authorization);
    EXPECT_EQ(got.user, c.user);
    EXPECT_EQ(got.password, c.password);
  }
}

TEST(BasicCredentialsTest, SourcesInOrder) {
  const std::string basic = "Basic " + base::base64_encode("hdr:hpw");
  const std::string basic2 = "Basic " + base::base64_encode("hdr2:hpw2");
  struct Case {
    std::string_view auth_user, auth_pass, authorization, authorization_header;
    std::string_view user, password;
  };
  // clang-format off
  const Case kCases[] = {
      {"u", "p", basic, basic2,  "u",    "p"},
      {"",  "p", basic, basic2,  "hdr",  "hpw"},
      {"",  "",  "",    basic2,  "hdr2", "hpw2"},
      {"",  "",  "",    "",      "",     ""},
  };
  // clang-format on
  for (const Case& c : kCases) {
    const Credentials got =
        request_credentials(c.auth_user, c.auth_pass, c.authorization, c.authorization_header);
    EXPECT_EQ(got.user, c.user);
    EXPECT_EQ(got.password, c.password);
  }
}

}  // namespace
}  // namespace appsrv::server
