#include "server/exchange/stream_helper.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/files.h"
#include "server/exchange/memory_stream.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

// A helper over a memory stream holding `bytes`, positioned at 0.
struct Fixture {
  explicit Fixture(std::string_view bytes = {}) : helper(memory) {
    helper.Write(bytes);
    memory.SetPosition(0);
  }
  std::string bytes() {
    return std::string(memory.Memory(), static_cast<size_t>(memory.GetSize()));
  }
  TSvMemoryStream memory;
  TStreamHelper helper;
};

TEST(StreamHelperTest, PrimitivesAreLittleEndian) {
  Fixture f;
  f.helper.WriteBoolean(true);
  f.helper.WriteBoolean(false);
  f.helper.WriteByte(0xAB);
  f.helper.WriteWord(0x1234);
  f.helper.WriteInteger(-2);
  f.helper.WriteInt64(0x0102030405060708);
  f.helper.WriteDouble(1.0);
  EXPECT_EQ(f.bytes(), std::string("\x01\x00\xAB\x34\x12\xFE\xFF\xFF\xFF"
                                   "\x08\x07\x06\x05\x04\x03\x02\x01"
                                   "\x00\x00\x00\x00\x00\x00\xF0\x3F",
                                   25));
  f.memory.SetPosition(0);
  EXPECT_TRUE(f.helper.ReadBoolean());
  EXPECT_FALSE(f.helper.ReadBoolean());
  EXPECT_EQ(f.helper.ReadByte(), 0xAB);
  EXPECT_EQ(f.helper.ReadWord(), 0x1234);
  EXPECT_EQ(f.helper.ReadInteger(), -2);
  EXPECT_EQ(f.helper.ReadInt64(), 0x0102030405060708);
  EXPECT_EQ(f.helper.ReadDouble(), 1.0);
}

TEST(StreamHelperTest, BooleanIsTrueOnlyForOne) {
  struct Case {
    char byte;
    bool want;
  };
  const Case kCases[] = {{0, false}, {1, true}, {2, false}, {'\xFF', false}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    Fixture f(std::string(1, c.byte));
    EXPECT_EQ(f.helper.ReadBoolean(), c.want);
  }
}

TEST(StreamHelperTest, TextCounts) {
  struct Case {
    std::string bytes;
    std::string want;
  };
  const Case kCases[] = {
      {std::string("\x00\x00\x00\x00", 4), ""},
      {std::string("\xFF\xFF\xFF\xFF", 4), ""},
      {std::string("\x03\x00\x00\x00"
                   "abc",
                   7),
       "abc"},
      {std::string("\x02\x00\x00\x00"
                   "\xC3\xA9",
                   6),
       "\xC3\xA9"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.want);
    Fixture f(c.bytes);
    EXPECT_EQ(f.helper.ReadText(), c.want);
    EXPECT_EQ(f.memory.Position(), f.memory.GetSize());
  }
  Fixture empty;
  empty.helper.WriteText("");
  EXPECT_EQ(empty.bytes(), std::string(4, '\0'));
}

TEST(StreamHelperTest, TextLongerThanTheStreamFailsWithoutReserving) {
  Fixture f(
      std::string("\xFF\xFF\xFF\x7F"
                  "abc",
                  7));
  expect_failure([&] { f.helper.ReadText(); }, "Stream read error");
}

TEST(StreamHelperTest, AnsiTextNarrowsAndWidens) {
  Fixture f;
  f.helper.WriteAnsiText("caf\xE9");
  EXPECT_EQ(f.bytes(), std::string("\x05\x00\x00\x00"
                                   "caf\xC3\xA9",
                                   9));
  f.memory.SetPosition(0);
  EXPECT_EQ(f.helper.ReadAnsiText(), "caf\xE9");
  Fixture g;
  g.helper.WriteText("\xE2\x82\xAC!");  // the euro sign has no 8-bit form here
  g.memory.SetPosition(0);
  EXPECT_EQ(g.helper.ReadAnsiText(), "?!");
}

TEST(StreamHelperTest, StringListsAppend) {
  Fixture f;
  f.helper.WriteStrings({"a=1", "", "b=2"});
  f.memory.SetPosition(0);
  std::vector<std::string> lines = {"first"};
  EXPECT_EQ(f.helper.ReadStrings(lines), 3);
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "a=1", "", "b=2"}));
}

TEST(StreamHelperTest, WriteAndWriteLineAddNoCount) {
  Fixture f;
  f.helper.Write("");
  f.helper.Write("ab");
  f.helper.WriteLine("c");
  EXPECT_EQ(f.bytes(), "abc\r\n");
}

TEST(StreamHelperTest, ReadLine) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const Case kCases[] = {
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"\r\n", {""}},
      {"a\rb\nc\r\n", {"a\rb\nc"}},
      {"\r\r\n", {"\r"}},
      {"\xC3\xA9t\xC3\xA9\r\n", {"\xC3\xA9t\xC3\xA9"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.bytes);
    Fixture f(c.bytes);
    for (const std::string& line : c.lines) {
      EXPECT_EQ(f.helper.ReadLine(), line);
    }
    EXPECT_EQ(f.memory.Position(), f.memory.GetSize());
  }
}

TEST(StreamHelperTest, ReadLineLimitsAndEnd) {
  Fixture longest(std::string(32768, 'x') + "\r\n");
  EXPECT_EQ(longest.helper.ReadLine().size(), 32768u);
  const char* const kTooLong = "Max ReadLine length exceeded.";
  for (const std::string& bytes :
       {std::string(32769, 'x') + "\r\n", std::string("no end"), std::string("cr only\r")}) {
    SCOPED_TRACE(bytes.size());
    Fixture f(bytes);
    expect_failure([&] { f.helper.ReadLine(); }, kTooLong);
  }
}

TEST(StreamHelperTest, CopyFrom) {
  Fixture f;
  expect_failure([&] { f.helper.CopyFrom(nullptr, 0); }, "Source stream is not defined.");
  TSvMemoryStream source;
  source.Write("0123456789", 10);
  source.SetPosition(4);
  EXPECT_EQ(f.helper.CopyFrom(&source, 3), 3);
  EXPECT_EQ(f.helper.CopyFrom(&source, 0), 10);
  EXPECT_EQ(f.bytes(), "4560123456789");
  expect_failure([&] { f.helper.CopyFrom(&source, 1); }, "Stream read error");
}

TEST(StreamHelperTest, CopiesOfTheWholeStreamKeepThePosition) {
  testing::ProcessTempFolder dir;
  Fixture f("abcdef");
  f.memory.SetPosition(3);

  std::vector<char> exact(6);
  f.helper.CopyTo(exact);
  EXPECT_EQ(std::string(exact.begin(), exact.end()), "abcdef");
  std::vector<char> small(5);
  expect_failure([&] { f.helper.CopyTo(small); }, "aBytes is not large enough to hold stream.");
  char raw[6];
  f.helper.CopyToBuffer(raw);
  EXPECT_EQ(std::string(raw, 6), "abcdef");
  f.helper.CopyToFile(dir.tmp() + "x.bin");
  EXPECT_EQ(base::read_file(dir.tmp() + "x.bin"), "abcdef");
  EXPECT_EQ(f.helper.GetAsString(), "abcdef");
  EXPECT_EQ(f.memory.Position(), 3);

  Fixture empty;
  EXPECT_EQ(empty.helper.GetAsString(), "");
}

TEST(StreamHelperTest, FindString) {
  std::string big(10000, '.');
  big.replace(4094, 6, "needle");  // straddles the first 4096-byte border
  big.replace(9000, 3, "end");
  struct Case {
    std::string stream;
    std::string s;
    int64_t end_pos;
    int64_t start_pos;
    int64_t want;
  };
  const Case kCases[] = {
      {big, "needle", 0, 0, 4094},
      {big, "needle", 0, -5, 4094},
      {big, "needle", 0, 4095, -1},
      {big, "needle", 4000, 0, -1},
      {big, "needle", 4100, 0, 4094},
      {big, "end", 0, 0, 9000},
      {big, "absent", 0, 0, -1},
      {"abc", "c", 0, 0, 2},
      {"", "c", 0, 0, -1},
      {"\xEF\xBB\xBFh\xC3\xA9llo", "llo", 0, 0, 6},
      {std::string("\xFF\xFEh\0i\0", 6), "i", 0, 0, 4},
      {std::string("\xFF\xFE\0h\0i", 6), "h", 0, 0, -1},  // misaligned bytes are no match
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.s + " from " + std::to_string(c.start_pos));
    Fixture f(c.stream);
    f.memory.SetPosition(1);
    EXPECT_EQ(f.helper.FindString(c.s, c.end_pos, c.start_pos), c.want);
    EXPECT_EQ(f.memory.Position(), 1);
  }
}

TEST(StreamHelperTest, OwnedStreamGoesWithTheHelper) {
  auto stream = std::make_unique<TSvMemoryStream>();
  TStreamHelper owner(std::move(stream));
  EXPECT_TRUE(owner.FreeStream());
  TSvMemoryStream borrowed;
  TStreamHelper borrower(borrowed);
  EXPECT_FALSE(borrower.FreeStream());
}

}  // namespace
}  // namespace appsrv::server
