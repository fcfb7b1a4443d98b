#include "base/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "base/exception.h"
#include "tests/support/temp_folder.h"

namespace appsrv::base {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  appsrv::testing::TempFolder folder_{"appsrv-files"};
  const std::string root_ = folder_.path();
};

TEST_F(FilesTest, CreateReadDelete) {
  const std::string folder = root_ + "a/b/c";
  ASSERT_TRUE(force_directories(folder));
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const std::string file = folder + "/x.txt";
  write_file(file, "hello");
  EXPECT_TRUE(file_exists(file));
  EXPECT_FALSE(directory_exists(file));
  EXPECT_EQ(read_file(file), "hello");
  EXPECT_EQ(file_size(file), 5);
  EXPECT_TRUE(file_modified(file).has_value());
  EXPECT_TRUE(delete_file(file));
  EXPECT_FALSE(file_exists(file));
  EXPECT_THROW(read_file(file), Exception);
  EXPECT_FALSE(file_modified(file).has_value());
}

TEST_F(FilesTest, CopyFileReplacesTheTargetWithAllOfTheSource) {
  // Longer than one copy chunk and shorter than the old target, which must be cut.
  std::string bytes(40000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i * 7);
  }
  const std::string from = root_ + "from.bin";
  const std::string to = root_ + "to.bin";
  write_file(from, bytes);
  write_file(to, std::string(50000, 'x'), 0644);
  ASSERT_EQ(copy_file(from, to), 0);
  EXPECT_EQ(read_file(to), bytes);

  struct Case {
    const char* name;
    std::string from;
    std::string to;
  };
  const Case kFailures[] = {
      {"missing source", root_ + "missing.bin", root_ + "out.bin"},
      {"missing target folder", from, root_ + "no/such/out.bin"},
  };
  for (const Case& c : kFailures) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(copy_file(c.from, c.to), ENOENT);
  }
}

TEST(PathTest, Parts) {
  EXPECT_EQ(extract_file_name("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(extract_file_path("/a/b/c.txt"), "/a/b/");
  EXPECT_EQ(extract_file_ext("/a/b/c.tar.gz"), ".gz");
  EXPECT_EQ(extract_file_ext("/a.b/c"), "");
  EXPECT_EQ(change_file_ext("/a/c.txt", ".gz"), "/a/c.gz");
  EXPECT_EQ(include_trailing_slash("/a"), "/a/");
  EXPECT_EQ(exclude_trailing_slash("/a/"), "/a");
}

TEST(PathTest, ExpandFileName) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  constexpr Case kCases[] = {
      {"/a/b/c", "/a/b/c"},
      {"/a/b/", "/a/b/"},
      {"/a/./b/../c", "/a/c"},
      {"/a//b///c", "/a/b/c"},
      {"/a/b/../../..", "/"},
      {"/../../x", "/x"},
      {"/a/b/..", "/a"},
      {"/a/b/../", "/a/"},
      {"/", "/"},
      {"/a/.hidden/./x.", "/a/.hidden/x."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(expand_file_name(c.in), c.want);
  }
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(expand_file_name("x/../y"), cwd + "/y");
}

// Paths that are nearly expanded already: the ones that are come back as they are, the others
// are mended.
TEST(PathTest, ExpandFileNameOfNearlyExpandedPaths) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  constexpr Case kCases[] = {
      {"/srv/www/index.svp", "/srv/www/index.svp"},
      {"/srv/www/", "/srv/www/"},
      {"/srv/www//", "/srv/www/"},
      {"/srv/www/.", "/srv/www"},
      {"/srv/www/./", "/srv/www/"},
      {"/srv/www/..", "/srv"},
      {"/srv/www/...", "/srv/www/..."},
      {"/srv/.www/..x", "/srv/.www/..x"},
      {"//srv", "/srv"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(expand_file_name(c.in), c.want);
  }
}

}  // namespace
}  // namespace appsrv::base
