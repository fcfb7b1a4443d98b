#include "server/exchange/memory_stream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/exception.h"
#include "base/files.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

TEST(MemoryStreamTest, CapacityFollowsTheGrowthRule) {
  struct Case {
    int64_t alloc;
    int64_t want;
  };
  const Case kCases[] = {
      {0, 1024},    {-5, 1024},   {100, 1024},   {1024, 1024},   {1025, 8192},
      {5000, 8192}, {8192, 8192}, {8193, 16384}, {32759, 32768},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.alloc);
    TSvMemoryStream stream(c.alloc);
    EXPECT_EQ(stream.capacity(), c.want);
  }
}

TEST(MemoryStreamTest, GrowingAnEmptyStreamRoundsTheRequest) {
  struct Case {
    int64_t size;
    int64_t want;
  };
  const Case kCases[] = {{5000, 8192}, {100, 1024}, {0, 0}, {20000, 24576}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.size);
    TSvMemoryStream stream;
    stream.SetCapacity(0);
    stream.SetSize(c.size);
    EXPECT_EQ(stream.capacity(), c.want);
    EXPECT_EQ(stream.GetSize(), c.size);
  }
}

TEST(MemoryStreamTest, CapacityEqualToTheSizeIsTakenExactly) {
  TSvMemoryStream stream;
  stream.SetSize(3000);
  stream.SetCapacity(3000);
  EXPECT_EQ(stream.capacity(), 3000);
}

TEST(MemoryStreamTest, WritesGrowReadsAndSeeksBack) {
  TSvMemoryStream stream;
  const std::string text(3000, 'x');
  EXPECT_EQ(stream.Write(text.data(), 3000), 3000);
  EXPECT_EQ(stream.capacity(), 8192);
  EXPECT_EQ(stream.Position(), 3000);
  stream.SetPosition(2998);
  char buf[10] = {};
  EXPECT_EQ(stream.Read(buf, 10), 2);
  EXPECT_EQ(stream.Read(buf, 10), 0);
}

TEST(MemoryStreamTest, AGapLeftBySeekingPastTheEndReadsAsZeros) {
  TSvMemoryStream stream;
  stream.SetPosition(4);
  stream.Write("ab", 2);
  std::string all(6, '?');
  stream.SetPosition(0);
  stream.ReadBuffer(all.data(), 6);
  EXPECT_EQ(all, std::string("\0\0\0\0ab", 6));
}

TEST(MemoryStreamTest, ImpossibleSizeFailsWithOutOfMemory) {
  struct Case {
    const char* what;
    std::function<void(TSvMemoryStream&)> grow;
  };
  // clang-format off
  const Case kCases[] = {
    {"size 2^50",             [](TSvMemoryStream& s) { s.SetSize(int64_t{1} << 50); }},
    {"largest size",          [](TSvMemoryStream& s) { s.SetSize(INT64_MAX); }},
    {"largest capacity",      [](TSvMemoryStream& s) { s.SetCapacity(INT64_MAX - 1); }},
    {"write at the very end", [](TSvMemoryStream& s) { s.SetPosition(INT64_MAX - 1); s.Write("ab", 2); }},
    {"write far past the end", [](TSvMemoryStream& s) { s.SetPosition(int64_t{1} << 50); s.Write("ab", 2); }},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    TSvMemoryStream stream;
    expect_failure([&] { c.grow(stream); }, "Out of memory while expanding memory stream");
    EXPECT_EQ(stream.GetSize(), 0);
  }
}

TEST(MemoryStreamTest, NegativePositionAndShortReadFail) {
  TSvMemoryStream stream;
  EXPECT_THROW(stream.Seek(-1, SeekOrigin::kBegin), base::Exception);
  char c = 0;
  expect_failure([&] { stream.ReadBuffer(&c, 1); }, "Stream read error");
}

TEST(MemoryStreamTest, CreateCopyTakesCountOrTheWholeSource) {
  TSvMemoryStream source;
  source.Write("hello world", 11);
  EXPECT_EQ(TSvMemoryStream::CreateCopy(nullptr, 0), nullptr);

  source.SetPosition(6);
  auto part = TSvMemoryStream::CreateCopy(&source, 5);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(std::string(part->Memory(), 5), "world");
  EXPECT_EQ(part->Position(), 0);

  auto whole = TSvMemoryStream::CreateCopy(&source, 0);
  EXPECT_EQ(std::string(whole->Memory(), static_cast<size_t>(whole->GetSize())), "hello world");
}

TEST(MemoryStreamTest, SaveToFileKeepsThePosition) {
  testing::ProcessTempFolder dir;
  TSvMemoryStream stream;
  stream.Write("abc", 3);
  stream.SetPosition(1);
  stream.SaveToFile(dir.tmp() + "out.bin");
  EXPECT_EQ(base::read_file(dir.tmp() + "out.bin"), "abc");
  EXPECT_EQ(stream.Position(), 1);
}

TEST(PointerStreamTest, ReadsTheBufferAndRefusesToChange) {
  const char data[] = "0123456789";
  TPointerStream view(data, 10);
  char buf[4] = {};
  view.SetPosition(8);
  EXPECT_EQ(view.Read(buf, 4), 2);
  EXPECT_EQ(std::string(buf, 2), "89");
  EXPECT_EQ(view.GetSize(), 10);

  const struct {
    const char* what;
    void (*act)(TPointerStream&);
  } kCases[] = {
      {"write", [](TPointerStream& s) { s.Write("x", 1); }},
      {"grow", [](TPointerStream& s) { s.SetSize(11); }},
      {"shrink", [](TPointerStream& s) { s.SetSize(3); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    expect_failure([&] { c.act(view); }, "TPointerStream classes cannot be reallocated.");
  }
  EXPECT_EQ(std::string(data), "0123456789");
}

TEST(BlockWriteStreamTest, WritesWithinTheBlockAndNotesWhatDoesNotFit) {
  char block[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
  TBlockWriteStream stream(block, 6);
  stream.WriteBuffer("abc", 3);
  stream.SetPosition(4);  // a gap of one byte
  stream.WriteBuffer("d", 1);
  EXPECT_FALSE(stream.Overflowed());
  EXPECT_EQ(stream.GetSize(), 5);
  EXPECT_EQ(std::string(block, 5), std::string("abc\0d", 5));

  stream.SetPosition(1);
  char two[2];
  stream.ReadBuffer(two, 2);
  EXPECT_EQ(std::string(two, 2), "bc");

  stream.Seek(0, SeekOrigin::kEnd);
  stream.WriteBuffer("ef", 2);  // one byte past the block: dropped whole
  EXPECT_TRUE(stream.Overflowed());
  EXPECT_EQ(stream.GetSize(), 5);
  EXPECT_EQ(block[5], 'x');
  EXPECT_EQ(block[6], 'x');  // nothing past the block's end is touched
}

TEST(BlockWriteStreamTest, ResizesWithinTheBlock) {
  char block[4] = {'a', 'b', 'c', 'd'};
  TBlockWriteStream stream(block, 4);
  stream.SetSize(3);
  EXPECT_EQ(std::string(block, 3), std::string("\0\0\0", 3));
  stream.SetPosition(3);
  stream.SetSize(2);
  EXPECT_EQ(stream.Position(), 2);
  EXPECT_FALSE(stream.Overflowed());
  stream.SetSize(5);
  EXPECT_TRUE(stream.Overflowed());
  expect_failure([&] { stream.SetSize(-1); }, "Invalid stream size.");
}

}  // namespace
}  // namespace appsrv::server
