#include "server/exchange/http_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/files.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

// A payload of exactly `size` bytes: the signature, then filler.
std::unique_ptr<THsmStream> payload_of(int64_t size) {
  auto payload = new_packet_stream();
  TStreamHelper out(*payload);
  THttpPacket::WriteSig(out);
  out.Write(std::string(static_cast<size_t>(size - 8), 'p'));
  return payload;
}

std::vector<char> int_bytes(std::initializer_list<int32_t> values) {
  std::vector<char> bytes;
  for (const int32_t v : values) {
    char b[4];
    std::memcpy(b, &v, 4);
    bytes.insert(bytes.end(), b, b + 4);
  }
  return bytes;
}

class HttpPacketTest : public testing::PacketTest {};

TEST_F(HttpPacketTest, PayloadOfTheFlushSizeFillsTheBufferInline) {
  auto payload = payload_of(kPacketFlushSize);
  ASSERT_FALSE(payload->IsFlushed());
  THttpPacket::Encode(*payload, buffer_.data(), kExchangeBufferSize);
  EXPECT_EQ(buffer_[8], 0);
  EXPECT_EQ(buffer_[kExchangeBufferSize - 1], 'p');

  auto reader = THttpPacket::GetStream(buffer_.data(), kExchangeBufferSize);
  THttpPacket::CheckSig(*reader);
  std::string rest(kPacketFlushSize - 8, '\0');
  reader->stream().ReadBuffer(rest.data(), static_cast<int64_t>(rest.size()));
  EXPECT_EQ(rest, std::string(kPacketFlushSize - 8, 'p'));
}

TEST_F(HttpPacketTest, OneMoreByteTravelsAsAFileThatTheReaderDeletes) {
  auto payload = payload_of(kPacketFlushSize + 1);
  ASSERT_TRUE(payload->IsFlushed());
  const std::string path = payload->Pathname();
  THttpPacket::Encode(*payload, buffer_.data(), kExchangeBufferSize);
  EXPECT_EQ(buffer_[8], 1);
  payload.reset();
  ASSERT_TRUE(base::file_exists(path));  // handed over: the writer leaves it

  {
    auto reader = THttpPacket::GetStream(buffer_.data(), kExchangeBufferSize);
    THttpPacket::CheckSig(*reader);
    EXPECT_EQ(reader->stream().GetSize(), kPacketFlushSize + 1);
    EXPECT_TRUE(base::file_exists(path));
  }
  EXPECT_FALSE(base::file_exists(path));
  EXPECT_TRUE(testing::file_names(dir_.tmp()).empty());
}

TEST_F(HttpPacketTest, PayloadThatCannotBeEncodedLeavesNoFile) {
  {
    auto payload = payload_of(kPacketFlushSize + 100);
    expect_failure([&] { THttpPacket::Encode(*payload, buffer_.data(), 20); },
                   "aBytes is not large enough to hold stream.");
  }
  EXPECT_TRUE(testing::file_names(dir_.tmp()).empty());
}

TEST_F(HttpPacketTest, BufferTooSmallForAnInlinePayload) {
  auto payload = payload_of(100);
  expect_failure([&] { THttpPacket::Encode(*payload, buffer_.data(), 108); },
                 "aBytes is not large enough to hold stream.");
  THttpPacket::Encode(*payload, buffer_.data(), 109);
}

TEST_F(HttpPacketTest, MalformedEnvelopes) {
  struct Case {
    const char* what;
    std::vector<char> bytes;
    const char* message;
  };
  std::vector<char> kind2 = int_bytes({kPacketSignature, kPacketVersion});
  kind2.push_back(2);
  const Case kCases[] = {
      {"no signature", int_bytes({0x07220806, kPacketVersion, 0}), "No stream signature found."},
      {"version 5", int_bytes({kPacketSignature, 5, 0}), "Stream version mismatch."},
      {"kind 2", kind2, "Unknown packet type."},
      {"empty", {}, "Stream read error"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    expect_failure(
        [&] { THttpPacket::GetStream(c.bytes.data(), static_cast<int32_t>(c.bytes.size())); },
        c.message);
    expect_failure(
        [&] { TPacketReader reader(c.bytes.data(), static_cast<int32_t>(c.bytes.size())); },
        c.message);
  }
}

// Writes the signature and `size - 8` bytes of filler, counting its calls.
struct FillerWriter {
  int64_t size;
  int calls = 0;
  void operator()(TStreamHelper& out) {
    ++calls;
    THttpPacket::WriteSig(out);
    out.Write(std::string(static_cast<size_t>(size - 8), 'p'));
  }
};

// `length` bytes of the payload read back through TPacketReader, after its signature.
std::string payload_after_signature(const char* bytes, int32_t size, int64_t length) {
  TPacketReader reader(bytes, size);
  THttpPacket::CheckSig(reader.in());
  std::string text(static_cast<size_t>(length), '\0');
  reader.in().stream().ReadBuffer(text.data(), length);
  return text;
}

TEST_F(HttpPacketTest, WritePayloadPutsWhatFitsInPlaceAndSpillsTheRest) {
  struct Case {
    const char* what;
    int64_t size;
    int32_t buffer_size;
    int calls;  // 1: written in place; 2: written again into a packet stream
    char kind;  // the envelope's payload kind
  };
  const Case kCases[] = {
      {"small", 100, kExchangeBufferSize, 1, 0},
      {"the flush size", kPacketFlushSize, kExchangeBufferSize, 1, 0},
      {"one byte more", kPacketFlushSize + 1, kExchangeBufferSize, 2, 1},
      {"a larger buffer keeps the flush size", kPacketFlushSize + 1, kExchangeBufferSize * 2, 2, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<char> buffer(static_cast<size_t>(c.buffer_size));
    FillerWriter writer{c.size};
    THttpPacket::WritePayload(std::ref(writer), buffer.data(), c.buffer_size);
    EXPECT_EQ(writer.calls, c.calls);
    EXPECT_EQ(buffer[8], c.kind);
    EXPECT_EQ(payload_after_signature(buffer.data(), c.buffer_size, c.size - 8),
              std::string(static_cast<size_t>(c.size - 8), 'p'));
  }
  // Every spilled file went with its reader.
  EXPECT_TRUE(testing::file_names(dir_.tmp()).empty());
}

TEST_F(HttpPacketTest, WritePayloadThatDoesNotFitFailsAndLeavesTheEnvelope) {
  std::memcpy(buffer_.data(), "keep", 4);
  expect_failure([&] { THttpPacket::WritePayload(FillerWriter{101}, buffer_.data(), 108); },
                 "aBytes is not large enough to hold stream.");
  EXPECT_EQ(std::string(buffer_.data(), 4), "keep");
  expect_failure(
      [&] {
        THttpPacket::WritePayload([](TStreamHelper&) { throw base::Exception("writer failed"); },
                                  buffer_.data(), kExchangeBufferSize);
      },
      "writer failed");
  EXPECT_EQ(std::string(buffer_.data(), 4), "keep");
  EXPECT_TRUE(testing::file_names(dir_.tmp()).empty());

  THttpPacket::WritePayload(FillerWriter{100}, buffer_.data(), 109);
  EXPECT_EQ(payload_after_signature(buffer_.data(), 109, 92), std::string(92, 'p'));
}

TEST_F(HttpPacketTest, InlineReaderCannotGrowTheBuffer) {
  auto payload = payload_of(20);
  THttpPacket::Encode(*payload, buffer_.data(), kExchangeBufferSize);
  auto reader = THttpPacket::GetStream(buffer_.data(), kExchangeBufferSize);
  expect_failure([&] { reader->WriteInteger(1); }, "TPointerStream classes cannot be reallocated.");
}

}  // namespace
}  // namespace appsrv::server
