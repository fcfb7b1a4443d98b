#include "transport/http/http_body_framing.h"

#include <gtest/gtest.h>

namespace appsrv::transport {
namespace {

TEST(BodyFraming, ContentLengthValuesAndConflicts) {
  struct Case {
    std::vector<std::string> values;
    int64_t value;
    bool conflicting;
  };
  const Case kCases[] = {
      {{}, -1, false},
      {{"0"}, 0, false},
      {{" 42 "}, 42, false},
      {{"9223372036854775807"}, INT64_MAX, false},
      {{"9223372036854775808"}, -1, false},
      {{"-1"}, -1, false},
      {{"+5"}, -1, false},
      {{"5x"}, -1, false},
      {{"5, 5"}, -1, false},
      {{"5", "5"}, 5, false},
      {{"5", "6"}, 5, true},
      {{"5", "abc"}, 5, true},
      {{"5", "05"}, 5, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.values));
    const ContentLength got = parse_content_length(c.values);
    EXPECT_EQ(got.value, c.value);
    EXPECT_EQ(got.conflicting, c.conflicting);
  }
}

TEST(BodyFraming, TransferEncodingChoosesFraming) {
  EXPECT_EQ(body_framing(""), BodyFraming::kLength);
  EXPECT_EQ(body_framing("Identity"), BodyFraming::kLength);
  EXPECT_EQ(body_framing("chunked"), BodyFraming::kChunked);
  EXPECT_EQ(body_framing("gzip, Chunked"), BodyFraming::kChunked);
  EXPECT_EQ(body_framing("gzip"), BodyFraming::kUnsupported);
}

TEST(BodyFraming, ChunkSizeLines) {
  struct Case {
    std::string_view line;
    std::optional<int64_t> size;
  };
  const Case kCases[] = {
      {"5", 5},
      {"5;ext=1", 5},
      {" a ; name=\"v\"", 10},
      {"FF", 255},
      {"0", 0},
      {"000", 0},
      {"7fffffffffffffff", INT64_MAX},
      {"8000000000000000", std::nullopt},
      {"", std::nullopt},
      {";ext", std::nullopt},
      {"xyz", std::nullopt},
      {"5 5", std::nullopt},
      {"-5", std::nullopt},
      {"+5", std::nullopt},
      {"0x5", std::nullopt},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(parse_chunk_size(c.line), c.size);
  }
}

}  // namespace
}  // namespace appsrv::transport
