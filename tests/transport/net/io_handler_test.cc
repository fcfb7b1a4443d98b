#include "transport/net/io_handler.h"

#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "server/exchange/memory_stream.h"
#include "transport/net/memory_channel.h"
#include "transport/net/socket_errors.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

// An I/O handler on one end of an in-memory pair; the test plays the peer on the other end.
struct Wire {
  explicit Wire(const IOHandlerSettings& settings = {}) {
    auto [ours, theirs] = make_memory_channel_pair();
    io = std::make_unique<TInIOHandler>(std::move(ours), settings);
    peer = std::move(theirs);
  }
  void send(std::string_view bytes) { peer->Send(bytes.data(), bytes.size()); }
  // Everything the handler has sent so far, chunk by chunk.
  std::vector<std::string> chunks() {
    std::vector<std::string> out;
    char block[65536];
    while (peer->WaitReadable(0)) {
      const IoResult r = peer->Receive(block, sizeof(block));
      if (r.bytes <= 0) {
        break;
      }
      out.emplace_back(block, static_cast<size_t>(r.bytes));
    }
    return out;
  }
  std::string received() {
    std::string all;
    for (const std::string& c : chunks()) {
      all += c;
    }
    return all;
  }

  std::unique_ptr<TInIOHandler> io;
  std::unique_ptr<ByteChannel> peer;
};

TEST(IOHandlerTest, ReadLnStripsTheTerminatorAndKeepsInnerCarriageReturns) {
  struct Case {
    const char* input;
    const char* terminator;
    std::vector<std::string> lines;
  };
  const Case kCases[] = {
      {"abc\r\n", "\n", {"abc"}},
      {"abc\n", "\n", {"abc"}},
      {"a\rb\n", "\n", {"a\rb"}},
      {"a\r\r\n", "\n", {"a\r"}},
      {"\r\n\n", "\n", {"", ""}},
      {"one\r\ntwo\nthree\r\n", "\n", {"one", "two", "three"}},
      {"a\nb\r\nc\r\n", "\r\n", {"a\nb", "c"}},
      {"x||y||", "||", {"x", "y"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.input);
    Wire wire;
    wire.send(c.input);
    for (const std::string& line : c.lines) {
      EXPECT_EQ(wire.io->ReadLn(c.terminator), line);
    }
    EXPECT_TRUE(wire.io->InputBufferIsEmpty());
  }
}

TEST(IOHandlerTest, LineLimitCountsEveryByteBeforeTheLineFeed) {
  struct Case {
    size_t bytes;
    const char* end;
    bool accepted;
  };
  constexpr Case kCases[] = {
      {32768, "\n", true},
      {32767, "\r\n", true},
      {32769, "\n", false},
      {32768, "\r\n", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.bytes) + (c.end[0] == '\r' ? " CR LF" : " LF"));
    Wire wire;
    wire.send(std::string(c.bytes, 'a') + c.end + "next\n");
    if (c.accepted) {
      EXPECT_EQ(wire.io->ReadLn().size(), c.bytes);
      EXPECT_EQ(wire.io->ReadLn(), "next");
    } else {
      EXPECT_THROW(wire.io->ReadLn(), EInReadLnMaxLineLengthExceeded);
    }
  }
}

TEST(IOHandlerTest, UnterminatedInputFailsOnceItPassesTheLineLimit) {
  Wire wire;
  // The peer stays connected: without a bound the read would wait and buffer forever.
  wire.send(std::string(32768, 'a'));
  EXPECT_EQ(wire.io->ReadLn("\n", 0), "");
  EXPECT_TRUE(wire.io->ReadLnTimedOut());
  wire.send("a");
  try {
    wire.io->ReadLn();
    FAIL();
  } catch (const EInReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
}

TEST(IOHandlerTest, LineLimitIsASettingAndCanSplitInstead) {
  IOHandlerSettings settings;
  settings.max_line_length = 4;
  settings.max_line_action = TInMaxLineAction::maSplit;
  Wire wire(settings);
  wire.send("abcdefg\nhi\n");
  EXPECT_EQ(wire.io->ReadLn(), "abcd");
  EXPECT_TRUE(wire.io->ReadLnSplit());
  EXPECT_EQ(wire.io->ReadLn(), "efg");
  EXPECT_FALSE(wire.io->ReadLnSplit());
  EXPECT_EQ(wire.io->ReadLn("\n", kTimeoutDefault, 0), "hi");  // 0: no limit for this call
}

std::string numbered_lines(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    out += "Header-" + std::to_string(i) + ": v\r\n";
  }
  return out;
}

TEST(IOHandlerTest, CaptureStoresAtMostOneLineMoreThanItsLimit) {
  struct Case {
    int lines;
    bool accepted;
  };
  constexpr Case kCases[] = {{1, true}, {1025, true}, {1026, false}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.lines);
    Wire wire;
    wire.io->SetMaxCapturedLines(1024);
    wire.send(numbered_lines(c.lines) + "\r\nbody");
    std::vector<std::string> lines;
    if (c.accepted) {
      wire.io->Capture(lines, "");
      ASSERT_EQ(lines.size(), static_cast<size_t>(c.lines));
      EXPECT_EQ(lines.back(), "Header-" + std::to_string(c.lines - 1) + ": v");
      EXPECT_EQ(wire.io->InputBuffer().View(), "body");
    } else {
      try {
        wire.io->Capture(lines, "");
        FAIL();
      } catch (const EInMaxCaptureLineExceeded& e) {
        EXPECT_STREQ(e.what(), "Maximum number of line allowed exceeded");
      }
    }
  }
}

TEST(IOHandlerTest, CaptureEndsAtItsDelimiterWithOptionalDotTransparency) {
  Wire wire;
  wire.send("..a\r\n.b\r\n.\r\n..c\r\n\r\n");
  std::vector<std::string> lines;
  wire.io->Capture(lines, ".", nullptr, true);
  EXPECT_EQ(lines, (std::vector<std::string>{".a", ".b"}));
  server::TSvMemoryStream stream;
  wire.io->Capture(stream, "");
  EXPECT_EQ(std::string(stream.Memory(), static_cast<size_t>(stream.GetSize())), "..c\r\n");
}

TEST(IOHandlerTest, CaptureFailsOnATimeoutInsteadOfTakingItForTheEmptyLine) {
  Wire wire;
  wire.io->SetReadTimeout(1);
  wire.send("Host: a\r\n");
  std::vector<std::string> lines;
  EXPECT_THROW(wire.io->Capture(lines, ""), EInReadTimeout);
}

TEST(IOHandlerTest, PeerClosingMidLineLeavesThePartialBytesBuffered) {
  Wire wire;
  wire.send("GET /par");
  wire.peer->Close();
  EXPECT_THROW(wire.io->ReadLn(), EInConnClosedGracefully);
  EXPECT_EQ(wire.io->InputBuffer().View(), "GET /par");
  EXPECT_TRUE(wire.io->Connected());  // unread input remains
  EXPECT_TRUE(wire.io->ClosedGracefully());
  wire.io->InputBuffer().Clear();
  EXPECT_FALSE(wire.io->Connected());
}

// The same request read whole, split in two at every offset, and one byte at a time.
TEST(IOHandlerTest, ReadsTheSameWhereverTheInputIsSplit) {
  const std::string message = "GET /a HTTP/1.1\r\nHost: x\r\nX: y\n\r\nbody!";
  auto read_all = [](Wire& wire) {
    std::string out = wire.io->ReadLn() + "|";
    std::vector<std::string> lines;
    wire.io->Capture(lines, "");
    for (const std::string& l : lines) {
      out += l + "|";
    }
    return out + wire.io->ReadString(5);
  };
  const std::string want = "GET /a HTTP/1.1|Host: x|X: y|body!";
  for (size_t split = 0; split <= message.size(); ++split) {
    SCOPED_TRACE(split);
    Wire wire;
    wire.send(message.substr(0, split));
    wire.send(message.substr(split));
    EXPECT_EQ(read_all(wire), want);
  }
  Wire bytewise;
  for (char c : message) {
    bytewise.send(std::string(1, c));
  }
  EXPECT_EQ(read_all(bytewise), want);
}

TEST(IOHandlerTest, DefaultEncodingIsAscii) {
  Wire wire;
  wire.send("caf\xE9\r\ncaf\xE9\r\n");
  EXPECT_EQ(wire.io->ReadLn(), "caf\xEF\xBF\xBD");
  EXPECT_EQ(wire.io->ReadLn("\n", kTimeoutDefault, -1, eight_bit_encoding()), "caf\xC3\xA9");
  wire.io->WriteLn("caf\xC3\xA9");
  wire.io->Write("\xC3\xA9", utf8_encoding());
  EXPECT_EQ(wire.received(), "caf?\r\n\xC3\xA9");
}

std::string stream_text(server::TSvMemoryStream& s) {
  return std::string(s.Memory(), static_cast<size_t>(s.GetSize()));
}

TEST(IOHandlerTest, WritesStreams) {
  Wire wire;
  server::TSvMemoryStream empty;
  wire.io->Write(empty, 0);
  EXPECT_EQ(wire.chunks().size(), 0u);

  server::TSvMemoryStream stream;
  stream.WriteBuffer("0123456789", 10);
  wire.io->Write(stream, 0);  // the whole stream from its start
  stream.SetPosition(7);
  wire.io->Write(stream, -1);  // the rest
  stream.SetPosition(2);
  wire.io->Write(stream, 3, true);  // three bytes after their 32-bit count
  EXPECT_EQ(wire.received(), std::string("0123456789789\0\0\0\x03" "234", 20));

  stream.SetPosition(8);
  EXPECT_THROW(wire.io->Write(stream, 5), EInNoDataToRead);
}

// Claims a size it does not hold, so size checks can be reached without gigabytes.
class HollowStream : public server::Stream {
 public:
  explicit HollowStream(int64_t size) : size_(size) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override { return count; }
  int64_t Seek(int64_t offset, server::SeekOrigin) override { return offset; }
  int64_t GetSize() override { return size_; }
  void SetSize(int64_t size) override { size_ = size; }

 private:
  int64_t size_;
};

TEST(IOHandlerTest, StreamSizesBeyondTheLimitsFail) {
  const int64_t three_gb = int64_t{3} << 30;
  Wire wire;
  HollowStream big(three_gb);
  EXPECT_THROW(wire.io->Write(big, 0, true), EInIOHandlerRequiresLargeStream);
  EXPECT_TRUE(wire.received().empty());
  wire.io->Settings().large_stream = true;
  EXPECT_THROW(wire.io->Write(big, 0, true), EInNoDataToRead);
  EXPECT_EQ(wire.received(), std::string("\0\0\0\0\xC0\0\0\0", 8));

  server::TSvMemoryStream stream;
  stream.WriteBuffer("x", 1);
  EXPECT_THROW(wire.io->ReadStream(stream, std::numeric_limits<int64_t>::max()),
               EInIOHandlerStreamDataTooLarge);
}

TEST(IOHandlerTest, StreamsLeaveInSendBufferSizedBlocks) {
  IOHandlerSettings settings;
  settings.send_buffer_size = 4;
  Wire wire(settings);
  server::TSvMemoryStream stream;
  stream.WriteBuffer("0123456789", 10);
  wire.io->Write(stream);
  EXPECT_EQ(wire.chunks(), (std::vector<std::string>{"0123", "4567", "89"}));
}

TEST(IOHandlerTest, WriteBufferCollectsUntilThresholdOrClose) {
  Wire wire;
  wire.io->WriteBufferOpen(4);
  wire.io->Write("ab");
  EXPECT_TRUE(wire.received().empty());
  wire.io->Write("cdefghij");
  EXPECT_EQ(wire.chunks(), (std::vector<std::string>{"abcd", "efgh"}));
  wire.io->WriteBufferClose();
  EXPECT_EQ(wire.received(), "ij");
  EXPECT_FALSE(wire.io->WriteBufferingActive());

  wire.io->WriteBufferOpen();
  wire.io->Write("dropped");
  wire.io->WriteBufferCancel();
  wire.io->Write(std::vector<std::string>{"HTTP/1.1 200 OK", "A: b", ""});
  EXPECT_EQ(wire.chunks(), (std::vector<std::string>{"HTTP/1.1 200 OK\r\nA: b\r\n\r\n"}));
}

TEST(IOHandlerTest, ReadsByteCountsIntoStreamsAndUntilDisconnect) {
  Wire wire;
  wire.send("head\nABC");
  EXPECT_EQ(wire.io->ReadLn(), "head");  // "ABC" is buffered already
  wire.send("DEFGH");
  wire.send("IJ");
  server::TSvMemoryStream body;
  body.WriteBuffer(">", 1);
  wire.io->ReadStream(body, 8);
  EXPECT_EQ(stream_text(body), ">ABCDEFGH");
  std::string bytes = "x";
  wire.io->ReadBytes(bytes, 1);
  EXPECT_EQ(bytes, "xI");
  wire.send("KLM");
  wire.peer->Close();
  server::TSvMemoryStream rest;
  wire.io->ReadStream(rest, -1, true);
  EXPECT_EQ(stream_text(rest), "JKLM");
}

TEST(IOHandlerTest, ReadTimeoutsEndWaits) {
  Wire wire;
  EXPECT_FALSE(wire.io->CheckForDataOnSource(0));
  wire.send("x");
  EXPECT_TRUE(wire.io->CheckForDataOnSource(0));
  wire.io->SetReadTimeout(1);
  std::string bytes;
  EXPECT_THROW(wire.io->ReadBytes(bytes, 2), EInReadTimeout);
  EXPECT_EQ(wire.io->ReadLn(), "");
  EXPECT_TRUE(wire.io->ReadLnTimedOut());
}

TEST(IOHandlerTest, WritingToAPeerThatHasGoneFailsAndClosesTheHandler) {
  Wire wire;
  wire.peer->Close();
  try {
    wire.io->Write("x");
    FAIL();
  } catch (const EInSocketError& e) {
    EXPECT_EQ(e.LastError(), kWSAECONNRESET);
  }
  EXPECT_FALSE(wire.io->Connected());
  EXPECT_THROW(wire.io->Write("y"), EInConnClosedGracefully);
}

TEST(IOHandlerTest, InterruptWakesAReadBlockedOnAnotherThread) {
  Wire wire;
  bool failed = false;
  std::thread reader([&] {
    try {
      wire.io->ReadLn();
    } catch (const EInException&) {
      failed = true;
    }
  });
  wire.io->Interrupt();
  reader.join();
  EXPECT_TRUE(failed);
}

// Upper-cases what arrives and marks what leaves.
class ShoutingIntercept : public TInConnectionIntercept {
 public:
  explicit ShoutingIntercept(int& disconnects) : disconnects_(disconnects) {}
  void Receive(std::string& bytes) override {
    for (char& c : bytes) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  void Send(std::string& bytes) override { bytes += "!"; }
  void Disconnect() override { ++disconnects_; }

 private:
  int& disconnects_;
};

TEST(IOHandlerTest, InterceptSeesEveryBlockBothWays) {
  int disconnects = 0;
  Wire wire;
  wire.io->SetIntercept(std::make_unique<ShoutingIntercept>(disconnects));
  wire.send("hello\n");
  EXPECT_EQ(wire.io->ReadLn(), "HELLO");
  wire.io->Write("bye");
  EXPECT_EQ(wire.received(), "bye!");
  wire.io->Close();
  wire.io->Close();
  EXPECT_EQ(disconnects, 1);
}

}  // namespace
}  // namespace appsrv::transport
