#include "transport/http/http_cookie_header.h"

#include <gtest/gtest.h>

namespace appsrv::transport {
namespace {

std::string Cookies(std::initializer_list<std::string_view> headers) {
  std::vector<RequestCookie> cookies;
  for (std::string_view h : headers) {
    parse_cookie_header(h, cookies);
  }
  std::string text;
  for (const RequestCookie& c : cookies) {
    text += "[" + c.name + "|" + c.value + "]";
  }
  return text;
}

TEST(CookieHeader, Pieces) {
  struct Case {
    std::string_view header;
    std::string_view cookies;
  };
  constexpr Case kCases[] = {
      {"a=1; b=\"two\";;c=3", "[a|1][b|two][c|3]"},
      {"  x = y ;", "[x|y]"},
      {"flag", "[|]"},
      {"q=\"open", "[q|open]"},
      {"q=\"a\"b", "[q|a]"},
      {"e=", "[e|]"},
      {"k=v=w", "[k|v=w]"},
      {"", ""},
      {" ; ; ", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(Cookies({c.header}), c.cookies);
  }
}

TEST(CookieHeader, SeveralHeadersKeepArrivalOrder) {
  EXPECT_EQ(Cookies({"b=2", "a=1; b=3"}), "[b|2][a|1][b|3]");
}

}  // namespace
}  // namespace appsrv::transport
