#include "server/exchange/reply_packet_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/exception.h"
#include "server/exchange/http_packet.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

// Writes a reply payload by hand, the way Commit lays it out, up to the cookie list.
class ReplyPayload {
 public:
  explicit ReplyPayload(uint8_t type) : stream_(new_packet_stream()), out_(*stream_) {
    THttpPacket::WriteSig(out_);
    out_.WriteByte(type);
    out_.WriteWord(201);
    out_.WriteText("Made");
    out_.WriteText("text/plain");
    out_.WriteText("realm");
    out_.WriteText("A: 1\r\nB:2\r\n");
  }
  TStreamHelper& out() { return out_; }
  void encode(std::vector<char>& buffer) {
    THttpPacket::Encode(*stream_, buffer.data(), static_cast<int32_t>(buffer.size()));
  }

 private:
  std::unique_ptr<THsmStream> stream_;
  TStreamHelper out_;
};

class ReplyPacketReaderTest : public testing::PacketTest {};

TEST_F(ReplyPacketReaderTest, ReadsEveryItem) {
  ReplyPayload p(rtInline);
  p.out().WriteInteger(2);
  for (const char* expiry : {"0", "-1"}) {
    p.out().WriteText("n");
    p.out().WriteText("v");
    p.out().WriteText("/");
    p.out().WriteText(expiry);
    p.out().WriteText("d");
    p.out().WriteBoolean(true);
    p.out().WriteBoolean(false);
  }
  p.out().WriteInteger(5);
  p.out().Write("hello");
  p.encode(buffer_);

  const ReplyPacket r = read_reply_packet(buffer_.data(), kExchangeBufferSize);
  EXPECT_EQ(r.data_type, rtInline);
  EXPECT_EQ(r.code, 201);
  EXPECT_EQ(r.code_text, "Made");
  EXPECT_EQ(r.content_type, "text/plain");
  EXPECT_EQ(r.auth_realm, "realm");
  EXPECT_EQ(r.headers, (std::vector<std::string>{"A: 1", "B:2"}));
  ASSERT_EQ(r.cookies.size(), 2u);
  EXPECT_EQ(r.cookies[0].name, "n");
  EXPECT_EQ(r.cookies[0].value, "v");
  EXPECT_EQ(r.cookies[0].path, "/");
  EXPECT_EQ(r.cookies[0].expires, 0.0);
  EXPECT_EQ(r.cookies[0].domain, "d");
  EXPECT_TRUE(r.cookies[0].http_only);
  EXPECT_FALSE(r.cookies[0].secure);
  EXPECT_EQ(r.cookies[1].expires, -1.0);
  EXPECT_EQ(r.body_text(), "hello");
}

TEST_F(ReplyPacketReaderTest, BodyKinds) {
  struct Case {
    uint8_t type;
    bool has_file;
  };
  const Case kCases[] = {{rtFile, true}, {rtCacheFile, true}, {rtNoData, false}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    ReplyPayload p(c.type);
    p.out().WriteInteger(0);
    if (c.has_file) {
      p.out().WriteText("/cache/body.bin");
      p.out().WriteBoolean(true);
    }
    p.encode(buffer_);
    const ReplyPacket r = read_reply_packet(buffer_.data(), kExchangeBufferSize);
    EXPECT_EQ(r.data_type, c.type);
    EXPECT_EQ(r.file_path, c.has_file ? "/cache/body.bin" : "");
    EXPECT_EQ(r.file_delete, c.has_file);
    EXPECT_EQ(r.body, nullptr);
  }
}

TEST_F(ReplyPacketReaderTest, RejectedReplies) {
  struct Case {
    uint8_t type;
    const char* message;
  };
  const Case kCases[] = {{rtNone, "Uninitialized reply."}, {5, "Unknown reply type."}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.message);
    ReplyPayload p(c.type);
    p.out().WriteInteger(0);
    p.encode(buffer_);
    expect_failure([&] { read_reply_packet(buffer_.data(), kExchangeBufferSize); }, c.message);
  }
}

// Up to the flush size the body is read into memory, past it into a spilling stream; a packet
// that large travels through its own file.
TEST_F(ReplyPacketReaderTest, InlineBodiesOfEverySizeReadBackWhole) {
  for (const size_t size : {size_t{1}, size_t{kPacketFlushSize} - 100, size_t{kPacketFlushSize},
                            size_t{kPacketFlushSize} + 1, size_t{100000}}) {
    std::string body(size, 'x');
    body.front() = 'a';
    body.back() = 'z';
    ReplyPayload p(rtInline);
    p.out().WriteInteger(0);
    p.out().WriteInteger(static_cast<int32_t>(size));
    p.out().Write(body);
    p.encode(buffer_);
    const ReplyPacket r = read_reply_packet(buffer_.data(), kExchangeBufferSize);
    ASSERT_NE(r.body, nullptr) << size;
    EXPECT_EQ(r.body->Position(), 0) << size;
    EXPECT_EQ(r.body_text(), body) << size;
  }
}

TEST_F(ReplyPacketReaderTest, InlineBodyLongerThanThePacketFails) {
  ReplyPayload p(rtInline);
  p.out().WriteInteger(0);
  p.out().WriteInteger(1 << 30);
  p.encode(buffer_);
  EXPECT_THROW(read_reply_packet(buffer_.data(), kExchangeBufferSize), base::Exception);
}

TEST_F(ReplyPacketReaderTest, BadCookieExpiryFails) {
  ReplyPayload p(rtNoData);
  p.out().WriteInteger(1);
  for (const char* text : {"n", "v", "/", "soon", ""}) {
    p.out().WriteText(text);
  }
  p.out().WriteBoolean(false);
  p.out().WriteBoolean(false);
  p.encode(buffer_);
  expect_failure([&] { read_reply_packet(buffer_.data(), kExchangeBufferSize); },
                 "'soon' is not a valid floating point value");
}

}  // namespace
}  // namespace appsrv::server
