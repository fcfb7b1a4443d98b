#include "server/exchange/request_packet_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/files.h"
#include "server/exchange/http_packet.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

TEST(RequestPacketWriterTest, WritesTheFieldsInPacketOrder) {
  testing::ProcessTempFolder dir;
  RequestPacketFields fields;
  fields.user_agent = "UA";
  fields.path_info = "/p";
  fields.server_port = 8888;
  fields.method = "GET";
  fields.raw_headers = {"Host: h"};
  fields.files = {{"a.txt", "/tmp/up", "text/plain", "f", "3"}};
  fields.has_content = true;
  std::vector<char> buffer(kExchangeBufferSize);
  write_request_packet(fields, buffer.data(), kExchangeBufferSize);

  auto reader = THttpPacket::GetStream(buffer.data(), kExchangeBufferSize);
  TStreamHelper& in = *reader;
  THttpPacket::CheckSig(in);
  const std::vector<std::string> texts_before_port = {"UA", "", "", "", "", "", "/p", ""};
  for (const std::string& want : texts_before_port) {
    EXPECT_EQ(in.ReadText(), want);
  }
  EXPECT_EQ(in.ReadInteger(), 8888);
  EXPECT_EQ(in.ReadText(), "");
  EXPECT_EQ(in.ReadText(), "GET");
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(in.ReadText(), "");
  }
  std::vector<std::string> lines;
  EXPECT_EQ(in.ReadStrings(lines), 1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(in.ReadStrings(lines), 0);
  }
  EXPECT_EQ(in.ReadWord(), 1);
  for (const char* want : {"a.txt", "/tmp/up", "text/plain", "f", "3"}) {
    EXPECT_EQ(in.ReadText(), want);
  }
  EXPECT_EQ(in.ReadByte(), 1);
}

TEST(RequestPacketWriterTest, LargeRequestTravelsAsAFile) {
  testing::ProcessTempFolder dir;
  RequestPacketFields fields;
  fields.query_fields.assign(2000, std::string(40, 'q'));
  std::vector<char> buffer(kExchangeBufferSize);
  write_request_packet(fields, buffer.data(), kExchangeBufferSize);
  EXPECT_EQ(buffer[8], 1);
  EXPECT_EQ(testing::file_names(dir.tmp()).size(), 1u);
  THttpPacket::GetStream(buffer.data(), kExchangeBufferSize);
  EXPECT_TRUE(testing::file_names(dir.tmp()).empty());
}

TEST(RequestPacketWriterTest, TooManyFilesFail) {
  RequestPacketFields fields;
  fields.files.resize(kMaxPacketFiles + 1);
  std::vector<char> buffer(kExchangeBufferSize);
  expect_failure([&] { write_request_packet(fields, buffer.data(), kExchangeBufferSize); },
                 "Too many uploaded files.");
}

}  // namespace
}  // namespace appsrv::server
