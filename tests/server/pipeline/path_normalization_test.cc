#include "server/pipeline/path_normalization.h"

#include <gtest/gtest.h>

#include "server/pipeline/server_exceptions.h"

namespace appsrv::server {
namespace {

TEST(PathNormalizationTest, Table) {
  struct Case {
    std::string_view url_base;
    std::string_view path;
    std::string_view want;
  };
  // clang-format off
  constexpr Case kCases[] = {
      {"",       "",               "/"},
      {"",       "/",              "/"},
      {"",       "/a/b.html",      "/a/b.html"},
      {"",       "/../x",          "x"},
      {"",       "/$",             "/$/"},
      {"",       "/$/ping",        "/$/ping"},
      {"",       "//a//b",         "/a/b"},
      {"",       "///a",           "//a"},
      {"",       "/a/../b",        "/a/../b"},
      {"/app/",  "/app/$/ping",    "/$/ping"},
      {"/app/",  "/APP/x",         "/x"},
      {"/app/",  "/app/",          "/"},
      {"/app/",  "/app",           "/app"},
      {"/app/",  "/application/x", "/application/x"},
      {"/app/",  "/app/$",         "/$/"},
      {"/app/",  "/x/app/y",       "/x/app/y"},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.url_base) + " | " + std::string(c.path));
    EXPECT_EQ(normalize_path(c.path, c.url_base), c.want);
  }
}

TEST(PathNormalizationTest, BackslashIsRefused) {
  for (const std::string_view path : {"/a\\b", "\\", "/$/js/..\\x.js"}) {
    SCOPED_TRACE(path);
    try {
      normalize_path(path, "");
      ADD_FAILURE() << "no exception";
    } catch (const ESvException& e) {
      EXPECT_STREQ(e.what(), "Invalid characters in URL.");
    }
  }
}

TEST(PathNormalizationTest, StripUrlBase) {
  EXPECT_EQ(strip_url_base("/app/x/y", "/app/"), "/x/y");
  EXPECT_EQ(strip_url_base("/other/x", "/app/"), "/other/x");
  EXPECT_EQ(strip_url_base("/x", ""), "/x");
}

}  // namespace
}  // namespace appsrv::server
