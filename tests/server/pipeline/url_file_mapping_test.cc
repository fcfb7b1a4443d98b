#include "server/pipeline/url_file_mapping.h"

#include <gtest/gtest.h>

#include "server/pipeline/server_exceptions.h"

namespace appsrv::server {
namespace {

std::string mapping_error(std::string_view root, std::string_view sub_path) {
  try {
    return "mapped to " + map_url_to_file(root, sub_path);
  } catch (const ESvException& e) {
    return e.what();
  }
}

TEST(UrlFileMappingTest, MapsInsideTheRoot) {
  struct Case {
    std::string_view root;
    std::string_view sub_path;
    std::string_view want;
  };
  // clang-format off
  constexpr Case kCases[] = {
      {"/srv/www/",   "/index.html",      "/srv/www/index.html"},
      {"/srv/www",    "/index.html",      "/srv/www/index.html"},
      {"/srv/www/",   "a/b/c.css",        "/srv/www/a/b/c.css"},
      {"/srv/www/",   "/a/../b.css",      "/srv/www/b.css"},
      {"/srv/www/",   "/a/./b.css",       "/srv/www/a/b.css"},
      {"/srv/www/",   "/",                "/srv/www/"},
      {"/srv/www/",   "",                 "/srv/www/"},
      {"/srv/../srv/www/", "/x.txt",      "/srv/www/x.txt"},
      {"/tmp/.hidden/www/", "/x.txt",     "/tmp/.hidden/www/x.txt"},
      {"/srv/www/",   "/dir/index.svp",   "/srv/www/dir/index.svp"},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.root) + " + " + std::string(c.sub_path));
    EXPECT_EQ(map_url_to_file(c.root, c.sub_path), c.want);
  }
}

TEST(UrlFileMappingTest, RefusesEverythingThatLeavesOrHides) {
  constexpr std::string_view kIllegal = "URL contains illegal characters.";
  // clang-format off
  const std::string_view kSubPaths[] = {
      "/a/../../x",          // leaves the root
      "/../etc/passwd",
      "/..",
      "/a/..",               // the root itself without its slash
      "../www2/x.css",       // a sibling folder sharing the root's name as a prefix
      "/c:/x",               // drive-like ":"
      "/a\\b",               // backslash
      "/a//b",               // what "///" leaves after path normalisation
      "/.git/config",        // hidden below the root
      "/a/.htaccess",
      "/a./b",               // a segment ending in "."
      std::string_view("/x.css\0.html", 12),  // NUL cuts a C string short
      std::string_view("/\0", 2),
  };
  // clang-format on
  for (const std::string_view sub_path : kSubPaths) {
    SCOPED_TRACE(std::string(sub_path));
    EXPECT_EQ(mapping_error("/srv/www/", sub_path), kIllegal);
  }
}

}  // namespace
}  // namespace appsrv::server
