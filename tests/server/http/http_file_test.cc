#include "server/http/http_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "base/exception.h"
#include "base/files.h"
#include "server/exchange/memory_stream.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;
using testing::expect_failure_starting;

class HttpFileTest : public ::testing::Test {
 protected:
  HttpFileTest() {
    file_.mFileName = "a.txt";
    file_.mTempPathName = dir_.tmp() + "upload.tmp";
    file_.mFieldName = "doc";
    base::write_file(file_.mTempPathName, "uploaded");
  }

  testing::ProcessTempFolder dir_;
  THttpFile file_;
};

TEST_F(HttpFileTest, OnlyACopyDeletesTheTemporaryFile) {
  EXPECT_FALSE(file_.mDeleteFile);
  {
    THttpFile copy(file_);
    EXPECT_TRUE(copy.mDeleteFile);
    EXPECT_EQ(copy.mFieldName, "doc");
  }
  EXPECT_FALSE(base::file_exists(file_.mTempPathName));
}

TEST_F(HttpFileTest, OriginalLeavesTheFile) {
  { THttpFile other = THttpFile(); }
  {
    THttpFile plain;
    plain.mTempPathName = file_.mTempPathName;
  }
  EXPECT_TRUE(base::file_exists(file_.mTempPathName));
}

TEST_F(HttpFileTest, DeleteTempFileReportsAFailure) {
  THttpFile copy(file_);
  copy.mTempPathName = dir_.tmp() + "sub";
  ::mkdir(copy.mTempPathName.c_str(), 0700);  // a folder cannot be unlinked
  expect_failure([&] { copy.DeleteTempFile(); }, copy.mTempPathName + " could not be deleted.");
  copy.mDeleteFile = false;
}

TEST_F(HttpFileTest, SaveToFile) {
  const std::string target = dir_.tmp() + "new/deeper/saved.txt";
  file_.SaveToFile(target, false);
  EXPECT_EQ(base::read_file(target), "uploaded");
  expect_failure([&] { file_.SaveToFile(target, false); },
                 "File copy failed. The file \"saved.txt\" already exists in destination folder.");
  base::write_file(file_.mTempPathName, "second");
  file_.SaveToFile(target, true);
  EXPECT_EQ(base::read_file(target), "second");
}

TEST_F(HttpFileTest, SaveToFileFailures) {
  base::write_file(dir_.tmp() + "plain", "x");
  struct Case {
    std::string target;
    std::string message;
  };
  const Case kCases[] = {
      {"saved.txt", "File copy failed. Destination path cannot be empty."},
      {dir_.tmp() + "plain/sub/saved.txt",
       "File copy failed. The specified destination folder does not exist and could not be "
       "created.\r\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.target);
    expect_failure_starting([&] { file_.SaveToFile(c.target, false); }, c.message);
  }
  file_.mTempPathName = dir_.tmp() + "gone.tmp";
  expect_failure_starting(
      [&] { file_.SaveToFile(dir_.tmp() + "out.txt", true); },
      "File copy Failed. The file \"out.txt\" could not be created.\r\nNo such file");
}

TEST_F(HttpFileTest, SaveToStreamAppends) {
  TSvMemoryStream stream;
  stream.Write(">", 1);
  file_.SaveToStream(stream);
  EXPECT_EQ(std::string(stream.Memory(), 9), ">uploaded");
}

TEST(HttpFileListTest, FindIgnoresCase) {
  THttpFileList list;
  for (const auto& [name, field] : {std::pair{"A.TXT", "Doc"}, std::pair{"b.txt", "doc"}}) {
    auto file = std::make_unique<THttpFile>();
    file->mFileName = name;
    file->mFieldName = field;
    list.Add(std::move(file));
  }
  EXPECT_EQ(list.Find("DOC"), &list[0]);
  EXPECT_EQ(list.FindFile("B.TXT"), &list[1]);
  EXPECT_EQ(list.Find("none"), nullptr);
  EXPECT_EQ(list.FindFile("c.txt"), nullptr);
}

}  // namespace
}  // namespace appsrv::server
