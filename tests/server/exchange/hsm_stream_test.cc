#include "server/exchange/hsm_stream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/exception.h"
#include "base/files.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

std::string read_all(Stream& s) {
  std::string out(static_cast<size_t>(s.GetSize()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
  return out;
}

class HsmStreamTest : public ::testing::Test {
 protected:
  testing::ProcessTempFolder dir_;
};

TEST_F(HsmStreamTest, WritesUpToTheFlushSizeStayInMemory) {
  struct Case {
    int64_t first;
    int64_t second;
    bool spilled;
  };
  const Case kCases[] = {
      {100, 0, false}, {99, 1, false}, {100, 1, true},
      {60, 40, false}, {60, 41, true}, {101, 0, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.first * 1000 + c.second);
    THsmStream stream(100, true);
    const std::string a(static_cast<size_t>(c.first), 'a');
    const std::string b(static_cast<size_t>(c.second), 'b');
    stream.Write(a.data(), c.first);
    stream.Write(b.data(), c.second);
    EXPECT_EQ(stream.IsFlushed(), c.spilled);
    EXPECT_EQ(stream.Pathname().empty(), !c.spilled);
    EXPECT_EQ(read_all(stream), a + b);
  }
}

TEST_F(HsmStreamTest, WritePastTheEndThatSpillsLeavesAZeroGap) {
  THsmStream stream(16, true);
  stream.Write("abc", 3);
  stream.SetPosition(20);
  stream.Write("xy", 2);
  EXPECT_TRUE(stream.IsFlushed());
  EXPECT_EQ(stream.Position(), 22);
  EXPECT_EQ(read_all(stream), "abc" + std::string(17, '\0') + "xy");
}

TEST_F(HsmStreamTest, PositionsNearTheLimitFailCleanly) {
  THsmStream stream(16, true);
  stream.Write("abc", 3);
  expect_failure([&] { stream.Seek(INT64_MAX, SeekOrigin::kCurrent); }, "Invalid stream position.");
  EXPECT_EQ(stream.Position(), 3);
  stream.SetPosition(INT64_MAX - 1);
  EXPECT_THROW(stream.Write("xy", 2), base::Exception);
}

TEST_F(HsmStreamTest, SpilledFileGoesOnlyWithATransientStream) {
  for (const bool transient : {true, false}) {
    SCOPED_TRACE(transient);
    std::string path;
    {
      THsmStream stream(10, transient);
      stream.Write("0123456789AB", 12);
      ASSERT_TRUE(stream.IsFlushed());
      path = stream.Pathname();
      EXPECT_TRUE(path.starts_with(dir_.tmp() + "QVK")) << path;
      EXPECT_TRUE(path.ends_with(".tmp"));
      EXPECT_EQ(base::read_file(path), "0123456789AB");
    }
    EXPECT_EQ(base::file_exists(path), !transient);
    base::delete_file(path);
  }
}

TEST_F(HsmStreamTest, SetSizePastTheFlushSizeSpillsAndKeepsThePosition) {
  THsmStream stream(10, true);
  stream.Write("abcdef", 6);
  stream.SetPosition(2);
  stream.SetSize(20);
  EXPECT_TRUE(stream.IsFlushed());
  EXPECT_EQ(stream.Position(), 2);
  EXPECT_EQ(stream.GetSize(), 20);
  EXPECT_EQ(read_all(stream), std::string("abcdef") + std::string(14, '\0'));
}

TEST_F(HsmStreamTest, FlushSpillsOnceAndKeepsThePosition) {
  THsmStream stream(1000, true);
  stream.Write("hello", 5);
  stream.SetPosition(1);
  stream.Flush();
  EXPECT_TRUE(stream.IsFlushed());
  EXPECT_EQ(stream.Position(), 1);
  EXPECT_EQ(base::read_file(stream.Pathname()), "hello");
  expect_failure([&] { stream.Flush(); }, "HsmStream already flushed.");
}

TEST_F(HsmStreamTest, RangedFlushKeepsOnlyTheRangeAndDropsTheOldFile) {
  THsmStream stream(4, true);
  stream.Write("--boundary--payload--end", 24);
  ASSERT_TRUE(stream.IsFlushed());
  const std::string old_path = stream.Pathname();
  stream.Flush(7, 12);
  EXPECT_NE(stream.Pathname(), old_path);
  EXPECT_FALSE(base::file_exists(old_path));
  EXPECT_EQ(read_all(stream), "payload");
}

TEST_F(HsmStreamTest, SpillingWithoutATempFolderFails) {
  set_temp_folder("");
  THsmStream stream(4, true);
  expect_failure([&] { stream.Write("12345", 5); }, "MakeTempFile: No path was provided");
  EXPECT_FALSE(stream.IsFlushed());
}

TEST_F(HsmStreamTest, SaveToFileCopiesAndKeepsThePosition) {
  for (const int flush : {100, 3}) {
    SCOPED_TRACE(flush);
    THsmStream stream(flush, true);
    stream.Write("abcdef", 6);
    stream.SetPosition(2);
    stream.SaveToFile(dir_.tmp() + "copy.bin");
    EXPECT_EQ(base::read_file(dir_.tmp() + "copy.bin"), "abcdef");
    EXPECT_EQ(stream.Position(), 2);
  }
}

TEST_F(HsmStreamTest, SetTransientDecidesAfterSpilling) {
  std::string path;
  {
    THsmStream stream(2, true);
    stream.Write("abc", 3);
    stream.SetTransient(false);
    path = stream.Pathname();
  }
  EXPECT_TRUE(base::file_exists(path));
}

}  // namespace
}  // namespace appsrv::server
