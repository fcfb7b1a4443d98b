#include "server/exchange/file_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "base/exception.h"
#include "base/files.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

TEST(FileStreamTest, TempFileIsPrivateAndItsNewFolderToo) {
  testing::ProcessTempFolder dir;
  const std::string folder = dir.tmp() + "cache/sub";
  std::string path;
  {
    TTempFileStream file(folder, "QVK", "", false);
    path = file.path();
    file.Write("data", 4);
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(mode_of(folder), 0700u);
  }
  EXPECT_EQ(base::read_file(path), "data");
}

TEST(FileStreamTest, DeleteFlagDecidesWhetherTheFileOutlivesTheStream) {
  testing::ProcessTempFolder dir;
  for (const bool remove : {true, false}) {
    SCOPED_TRACE(remove);
    std::string path;
    {
      TTempFileStream file(dir.tmp(), "T", "", remove);
      path = file.path();
      EXPECT_TRUE(base::file_exists(path));
    }
    EXPECT_EQ(base::file_exists(path), !remove);
  }
}

TEST(FileStreamTest, ReadStreamDeletesOnlyWhenAsked) {
  testing::ProcessTempFolder dir;
  const std::string path = dir.tmp() + "a.bin";
  for (const bool remove : {false, true}) {
    SCOPED_TRACE(remove);
    base::write_file(path, "hello");
    {
      TReadFileStream reader(path, remove);
      EXPECT_EQ(reader.GetSize(), 5);
      char buf[5];
      reader.ReadBuffer(buf, 5);
      EXPECT_EQ(std::string(buf, 5), "hello");
      EXPECT_THROW(reader.Write("x", 1), base::Exception);
    }
    EXPECT_EQ(base::file_exists(path), !remove);
  }
}

TEST(FileStreamTest, MissingFileFailsWithItsName) {
  testing::expect_failure_starting([] { TReadFileStream reader("/nonexistent/dir/file.bin"); },
                                   "Cannot open file \"/nonexistent/dir/file.bin\". ");
}

TEST(FileStreamTest, SeekSizeAndTruncate) {
  testing::ProcessTempFolder dir;
  TTempFileStream file(dir.tmp(), "T");
  file.Write("0123456789", 10);
  EXPECT_EQ(file.Seek(-3, SeekOrigin::kEnd), 7);
  EXPECT_EQ(file.Seek(1, SeekOrigin::kCurrent), 8);
  file.SetSize(5);
  EXPECT_EQ(file.GetSize(), 5);
  EXPECT_EQ(file.Position(), 5);
  EXPECT_THROW(file.Seek(-6, SeekOrigin::kEnd), base::Exception);
}

TEST(FileStreamTest, TempFileWithoutFolderFails) {
  expect_failure([&] { TTempFileStream file("", "QVK"); }, "MakeTempFile: No path was provided");
}

}  // namespace
}  // namespace appsrv::server
