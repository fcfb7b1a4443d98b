#include "transport/net/buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "server/exchange/memory_stream.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

TEST(BufferTest, QueuesBytesInOrderAcrossCompactions) {
  TInBuffer buffer;
  int64_t removed = 0;
  buffer.FOnBytesRemoved = [&](TInBuffer&, int64_t n) { removed += n; };
  std::string expected;
  std::string got;
  // Many short reads push the head past the growth factor several times.
  for (int i = 0; i < 3000; ++i) {
    const std::string piece = std::to_string(i) + ";";
    buffer.Write(piece);
    expected += piece;
    if (i % 3 == 0) {
      buffer.ExtractToBytes(got, buffer.Size() / 2);
    }
  }
  buffer.ExtractToBytes(got);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(removed, static_cast<int64_t>(expected.size()));
  EXPECT_EQ(buffer.Size(), 0);
}

TEST(BufferTest, FindsBytesFromAStartIndex) {
  TInBuffer buffer;
  buffer.Write("xxab\r\nyy\r\n");
  buffer.Remove(2);
  EXPECT_EQ(buffer.IndexOf("\r\n"), 2);
  EXPECT_EQ(buffer.IndexOf("\r\n", 3), 6);
  EXPECT_EQ(buffer.IndexOf("zz"), -1);
  EXPECT_EQ(buffer.PeekByte(0), 'a');
}

TEST(BufferTest, ExtractingMoreThanHeldNamesBothCounts) {
  TInBuffer buffer;
  buffer.Write("abc");
  try {
    std::string out;
    buffer.ExtractToBytes(out, 5);
    FAIL();
  } catch (const EInNotEnoughDataInBuffer& e) {
    EXPECT_STREQ(e.what(), "Not enough data in buffer. (5/3)");
  }
  EXPECT_EQ(buffer.Size(), 3);
}

TEST(BufferTest, MovesBytesToAndFromStreamsAndDecodesText) {
  TInBuffer buffer;
  buffer.WriteString("h\xC3\xA9", utf8_encoding());
  EXPECT_EQ(buffer.ExtractToString(-1, utf8_encoding()), "h\xC3\xA9");
  server::TSvMemoryStream source;
  source.WriteBuffer("0123456789", 10);
  source.SetPosition(4);
  buffer.Write(source, 3);
  buffer.Write(source);
  server::TSvMemoryStream sink;
  buffer.ExtractToStream(sink, 2);
  EXPECT_EQ(std::string(sink.Memory(), 2), "45");
  EXPECT_EQ(buffer.View(), "6789");
}

}  // namespace
}  // namespace appsrv::transport
