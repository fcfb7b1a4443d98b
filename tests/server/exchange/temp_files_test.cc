#include "server/exchange/temp_files.h"

#include <gtest/gtest.h>

#include <string>

#include "base/encoding.h"
#include "base/exception.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

TEST(TempFilesTest, ConsecutiveNamesDifferOnlyInTheRisingCounter) {
  const std::string first = make_temp_name("/var/cache/app", "QVK");
  const std::string second = make_temp_name("/var/cache/app", "QVK");
  const std::string head = "/var/cache/app/QVK" + temp_name_stamp();
  ASSERT_TRUE(first.starts_with(head)) << first;
  ASSERT_TRUE(second.starts_with(head)) << second;
  ASSERT_TRUE(first.ends_with(".tmp"));
  const std::string n1 = first.substr(head.size(), first.size() - head.size() - 4);
  const std::string n2 = second.substr(head.size(), second.size() - head.size() - 4);
  EXPECT_EQ(std::stoull(n2, nullptr, 16), std::stoull(n1, nullptr, 16) + 1);
  EXPECT_EQ(n1, base::to_hex_upper(std::stoull(n1, nullptr, 16)));  // upper case, no zeros
}

TEST(TempFilesTest, FolderSlashAndExtension) {
  struct Case {
    const char* folder;
    const char* ext;
    const char* head;
    const char* tail;
  };
  const Case kCases[] = {
      {"/tmp/x", "", "/tmp/x/P", ".tmp"},
      {"/tmp/x/", "", "/tmp/x/P", ".tmp"},
      {"/tmp/x", ".dat", "/tmp/x/P", ".dat"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.folder);
    const std::string name = make_temp_name(c.folder, "P", c.ext);
    EXPECT_TRUE(name.starts_with(std::string(c.head) + temp_name_stamp())) << name;
    EXPECT_TRUE(name.ends_with(c.tail)) << name;
  }
}

TEST(TempFilesTest, StampIsFixedUpperCaseHex) {
  const std::string& stamp = temp_name_stamp();
  EXPECT_EQ(&stamp, &temp_name_stamp());
  EXPECT_EQ(stamp.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_NE(stamp[0], '0');
}

TEST(TempFilesTest, EmptyFolderFails) {
  expect_failure([&] { make_temp_name("", "QVK"); }, "MakeTempFile: No path was provided");
}

TEST(TempFilesTest, DefaultFolderIsSettable) {
  const std::string saved = temp_folder();
  set_temp_folder("/srv/cache/");
  EXPECT_EQ(temp_folder(), "/srv/cache/");
  set_temp_folder(saved);
}

}  // namespace
}  // namespace appsrv::server
