#include "transport/http/http_request_target.h"

#include <gtest/gtest.h>

namespace appsrv::transport {
namespace {

TEST(RequestTarget, Splits) {
  struct Case {
    std::string_view target;
    std::string_view uri, query, document, host;
  };
  constexpr Case kCases[] = {
      {"/", "/", "", "/", ""},
      {"/a/b%20c.html?x=1&y=%20", "/a/b%20c.html", "x=1&y=%20", "/a/b c.html", ""},
      {"/d%C3%BCr/", "/d%C3%BCr/", "", "/d\xC3\xBCr/", ""},
      {"/a\\b\\c?p=\\q", "/a\\b\\c", "p=\\q", "/a/b/c", ""},
      {"/page#frag", "/page#frag", "", "/page", ""},
      {"/p?q#f", "/p", "q#f", "/p", ""},
      {"*", "*", "", "*", ""},
      {"http://user:pw@Example.org:8080/x/y?z", "http://user:pw@Example.org:8080/x/y", "z", "/x/y",
       "Example.org"},
      {"http://[::1]:8080/v6", "http://[::1]:8080/v6", "", "/v6", "::1"},
      {"http://host", "http://host", "", "", "host"},
      {"name", "name", "", "name", ""},
      {"/%2e%2e/x", "/%2e%2e/x", "", "/../x", ""},
      {"/a+b", "/a+b", "", "/a+b", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.target);
    const RequestTarget t = parse_request_target(c.target);
    EXPECT_EQ(t.uri, c.uri);
    EXPECT_EQ(t.query, c.query);
    EXPECT_EQ(t.document, c.document);
    EXPECT_EQ(t.host, c.host);
  }
}

}  // namespace
}  // namespace appsrv::transport
