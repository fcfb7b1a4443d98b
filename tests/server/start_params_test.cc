#include "server/start_params.h"

#include <gtest/gtest.h>

namespace appsrv::server {
namespace {

TEST(StartParamsTest, Encode) {
  struct Case {
    std::string_view text;
    std::string_view want;
  };
  // clang-format off
  constexpr Case kCases[] = {
      {"?a=1&b=2",                  "?a=1&b=2"},
      {"?q=a b",                    "?q=a%20b"},
      {"?q=\"#%*+,/;<>[\\]^`{|}",   "?q=%22%23%25%2A%2B%2C%2F%3B%3C%3E%5B%5C%5D%5E%60%7B%7C%7D"},
      {"?q=\xC3\xA9",               "?q=%C3%A9"},
      {"?q=\t\x7F!~'()$@:",         "?q=%09%7F!~'()$@:"},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(encode_start_params(c.text), c.want);
  }
}

}  // namespace
}  // namespace appsrv::server
