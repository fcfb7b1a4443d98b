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

TEST(BodyFraming, OnlyDigitsMakeALength) {
  struct Case {
    std::vector<std::string> values;
    bool malformed;
  };
  const Case kCases[] = {
      {{}, false},
      {{"0"}, false},
      {{" 44 "}, false},
      {{"44", "44"}, false},
      {{"+44"}, true},
      {{"-0"}, true},
      {{"0x10"}, true},
      {{"4 4"}, true},
      {{"44, 44"}, true},
      {{""}, true},
      {{"9223372036854775808"}, true},
      {{"44", "+44"}, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.values));
    EXPECT_EQ(parse_content_length(c.values).malformed, c.malformed);
  }
}

TEST(BodyFraming, ChunkedMustBeTheLastCodingAndNamedOnce) {
  struct Case {
    std::string_view list;
    BodyFraming framing;
  };
  const Case kCases[] = {
      {"chunked", BodyFraming::kChunked},
      {"CHUNKED", BodyFraming::kChunked},
      {"identity, chunked", BodyFraming::kChunked},
      {" , chunked ,", BodyFraming::kChunked},
      {"identity", BodyFraming::kLength},
      {"identity, identity", BodyFraming::kLength},
      {"", BodyFraming::kLength},
      {"chunked, gzip", BodyFraming::kUnsupported},
      {"chunked, identity", BodyFraming::kUnsupported},
      {"chunked, chunked", BodyFraming::kUnsupported},
      {"xchunkedx", BodyFraming::kUnsupported},
      {"chunkedx", BodyFraming::kUnsupported},
      {"chunked;q=1", BodyFraming::kUnsupported},
      {"chunked chunked", BodyFraming::kUnsupported},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(body_framing(c.list), c.framing);
  }
}

TEST(BodyFraming, FaultsThatLeaveTheEndOfTheBodyUnknown) {
  using Lines = std::vector<std::string>;
  struct Case {
    Lines transfer_encodings;
    Lines content_lengths;
    bool http11;
    FramingFault fault;
  };
  const Case kCases[] = {
      {{}, {}, true, FramingFault::kNone},
      {{}, {"4"}, true, FramingFault::kNone},
      {{}, {"4", "4"}, true, FramingFault::kNone},
      {{"chunked"}, {}, true, FramingFault::kNone},
      {{"identity", "chunked"}, {}, true, FramingFault::kNone},
      {{"identity"}, {}, true, FramingFault::kNone},
      {{}, {"+44"}, true, FramingFault::kMalformedLength},
      {{}, {"4, 4"}, true, FramingFault::kMalformedLength},
      {{}, {"4", "5"}, true, FramingFault::kConflictingLengths},
      {{}, {"4", "x"}, true, FramingFault::kConflictingLengths},
      {{"chunked"}, {"4"}, true, FramingFault::kLengthBesideCoding},
      {{"identity", "chunked"}, {"4"}, true, FramingFault::kLengthBesideCoding},
      {{"identity"}, {"4"}, true, FramingFault::kLengthBesideCoding},
      {{"chunked"}, {}, false, FramingFault::kCodingBeforeHttp11},
      {{"chunked, gzip"}, {}, true, FramingFault::kUnsupportedCoding},
      {{"chunked", "gzip"}, {}, true, FramingFault::kUnsupportedCoding},
      {{"chunked", "chunked"}, {}, true, FramingFault::kUnsupportedCoding},
      {{"xchunkedx"}, {}, true, FramingFault::kUnsupportedCoding},
      {{"gzip, chunked"}, {}, true, FramingFault::kUnsupportedCoding},
      {{"gzip"}, {}, true, FramingFault::kUnsupportedCoding},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.transfer_encodings) + " " +
                 ::testing::PrintToString(c.content_lengths) + (c.http11 ? " 1.1" : " 1.0"));
    EXPECT_EQ(framing_fault(c.transfer_encodings, c.content_lengths, c.http11), c.fault);
  }
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
