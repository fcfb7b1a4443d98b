#include "server/http/http_cookie.h"

#include <gtest/gtest.h>

namespace appsrv::server {
namespace {

TEST(CookieListTest, AddAndRemoveAppend) {
  TCookieList list;
  THTTPCookie& added = list.AddCookie("SID", "42", "/app/", 45000.5, true, false);
  EXPECT_EQ(added.mDomain, "");
  added.mDomain = "example.com";
  list.RemoveCookie("OLD", "/");
  ASSERT_EQ(list.Count(), 2u);
  struct Want {
    const char* name;
    const char* value;
    const char* path;
    double expires;
    bool http_only;
    bool secure;
  };
  const Want kWant[] = {
      {"SID", "42", "/app/", 45000.5, true, false},
      {"OLD", "", "/", -1.0, false, false},
  };
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(kWant[i].name);
    EXPECT_EQ(list[i].mName, kWant[i].name);
    EXPECT_EQ(list[i].mValue, kWant[i].value);
    EXPECT_EQ(list[i].mPath, kWant[i].path);
    EXPECT_EQ(list[i].mExpires, kWant[i].expires);
    EXPECT_EQ(list[i].mHttpOnly, kWant[i].http_only);
    EXPECT_EQ(list[i].mSecure, kWant[i].secure);
  }
  EXPECT_EQ(list[0].mDomain, "example.com");
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
}

}  // namespace
}  // namespace appsrv::server
