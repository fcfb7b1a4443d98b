#include "server/pipeline/compressor.h"

#include <gtest/gtest.h>

#include "base/exception.h"
#include "server/exchange/memory_stream.h"
#include "server/exchange/stream_helper.h"
#include "server/pipeline/compress_stream.h"
#include "tests/server/inflate_util.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

std::string body_text(size_t size) {
  std::string s;
  while (s.size() < size) {
    s += "<p>line " + std::to_string(s.size()) + "</p>\n";
  }
  s.resize(size);
  return s;
}

std::unique_ptr<Stream> body_stream(const std::string& bytes) {
  auto s = std::make_unique<TSvMemoryStream>();
  s->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  return s;
}

std::string stream_bytes(Stream& s) {
  TStreamHelper helper(s);
  return helper.GetAsString();
}

TEST(CompressorTest, MatchesContentTypePatterns) {
  struct Case {
    const char* pattern;
    const char* type;
    bool match;
  };
  constexpr Case kCases[] = {
      {"*/*", "image/png", true},
      {"text/*", "text/html; charset=UTF-8", true},
      {"text/*", "text/json; charset=utf-8", true},
      {"text/*", "TEXT/html", false},
      {"text/*", "application/xml", false},
      {"*/xml", "text/xml", true},
      {"*/xml", "text/xml; charset=UTF-8", false},
      {"application/x-javascript", "application/x-javascript", true},
      {"application/x-javascript", "application/x-javascript; charset=UTF-8", false},
      {"application/x-javascript", "", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.type);
    EXPECT_EQ(ContentTypeMatches(c.pattern, c.type), c.match);
  }
}

TEST(CompressorTest, CompressesOnlyWhatTheRulesAllow) {
  struct Case {
    const char* name;
    int32_t code;
    const char* accept;
    bool allow_gzip;
    bool allow_deflate;
    int min_size;
    size_t size;
    const char* type;
    const char* existing_encoding;
    const char* want;  // "" when left alone
  };
  constexpr Case kCases[] = {
      {"gzip preferred", 200, "gzip, deflate", true, true, 1024, 2000, "text/html; charset=UTF-8",
       "", "gzip"},
      {"deflate only", 200, "deflate", true, true, 1024, 2000, "text/html; charset=UTF-8", "",
       "deflate"},
      {"x-gzip named", 200, "x-gzip", true, true, 1024, 2000, "text/plain", "", "x-gzip"},
      {"x-deflate named", 200, "x-deflate", true, true, 1024, 2000, "text/plain", "", "x-deflate"},
      {"upper case", 200, "GZIP", true, true, 1024, 2000, "text/plain", "", "gzip"},
      {"X-GZIP is not x-gzip", 200, "X-GZIP", true, true, 1024, 2000, "text/plain", "", "gzip"},
      {"X-Deflate is not x-deflate", 200, "X-Deflate", true, true, 1024, 2000, "text/plain", "",
       "deflate"},
      {"x-gzip among others", 200, "deflate, x-gzip", true, true, 1024, 2000, "text/plain", "",
       "x-gzip"},
      {"gzip wins over x-deflate", 200, "gzip, x-deflate", true, true, 1024, 2000, "text/plain", "",
       "gzip"},
      {"gzip not allowed", 200, "gzip, deflate", false, true, 1024, 2000, "text/plain", "",
       "deflate"},
      {"nothing allowed", 200, "gzip, deflate", false, false, 1024, 2000, "text/plain", "", ""},
      {"not accepted", 200, "br", true, true, 1024, 2000, "text/plain", "", ""},
      {"too small", 200, "gzip", true, true, 1024, 500, "text/html; charset=UTF-8", "", ""},
      {"exactly min size", 200, "gzip", true, true, 1024, 1024, "text/plain", "", "gzip"},
      {"no minimum", 200, "gzip", true, true, 0, 10, "text/plain", "", "gzip"},
      {"not found", 404, "gzip", true, true, 1024, 2000, "text/html", "", ""},
      {"image", 200, "gzip", true, true, 1024, 2000, "image/png", "", ""},
      {"script", 200, "gzip", true, true, 1024, 2000, "application/x-javascript", "", "gzip"},
      {"script charset", 200, "gzip", true, true, 1024, 2000,
       "application/x-javascript; charset=UTF-8", "", ""},
      {"already gzip", 200, "gzip", true, true, 1024, 2000, "application/x-javascript", "gzip", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    TSvCompressionOptions options;
    options.SetAllowGZip(c.allow_gzip);
    options.SetAllowDeflate(c.allow_deflate);
    options.MinSize = c.min_size;
    options.Level = 6;
    const TSvCompressor compressor(options);
    const std::string bytes = body_text(c.size);
    // An existing Vary line stays; compression appends its own.
    std::vector<std::string> headers = {"X-Other: 1", "Vary: Cookie"};
    if (*c.existing_encoding != '\0') {
      headers.push_back(std::string("content-encoding: ") + c.existing_encoding);
    }
    const std::vector<std::string> headers_before = headers;
    CompressResponse response;
    response.code = c.code;
    response.content_type = c.type;
    response.custom_headers = &headers;
    response.body = body_stream(bytes);
    compressor.Compress(c.accept, response);

    EXPECT_EQ(response.content_encoding, c.want);
    if (*c.want == '\0') {
      EXPECT_EQ(headers, headers_before);
      EXPECT_EQ(response.content_length, -1);
      EXPECT_EQ(stream_bytes(*response.body), bytes);
      continue;
    }
    std::vector<std::string> want_headers = headers_before;
    want_headers.push_back("Vary: Accept-Encoding");
    EXPECT_EQ(headers, want_headers);
    const std::string packed = stream_bytes(*response.body);
    EXPECT_EQ(response.content_length, static_cast<int64_t>(packed.size()));
    EXPECT_EQ(response.body->Position(), 0);
    const bool gzip = std::string_view(c.want).find("gzip") != std::string_view::npos;
    EXPECT_EQ(testing::inflate_all(packed, gzip ? 31 : 15), bytes);
  }
}

TEST(CompressorTest, SwitchingBothFormatsOffDisablesCompression) {
  TSvCompressionOptions options;
  options.SetAllowGZip(false);
  options.SetAllowDeflate(false);
  EXPECT_FALSE(options.Enabled());
}

TEST(CompressorTest, FailsWithoutTheProcedureAndKeepsTheBody) {
  const TSvCompressor compressor{TSvCompressionOptions()};
  const CompressStreamProc saved = SvCompressStreamProc;
  SvCompressStreamProc = nullptr;
  CompressResponse response;
  response.code = 200;
  response.content_type = "text/html";
  response.body = body_stream(body_text(2000));
  expect_failure([&] { compressor.Compress("gzip", response); }, "SvCompressStreamProc is not set");
  SvCompressStreamProc = saved;
  EXPECT_EQ(response.content_encoding, "");
  EXPECT_EQ(stream_bytes(*response.body), body_text(2000));
}

TEST(CompressorTest, InstanceKeepsASnapshotOfTheOptions) {
  TSvCompressionOptions options;
  options.MinSize = 77;
  TSvCompressor::Init(options);
  options.MinSize = 5;
  ASSERT_NE(TSvCompressor::Instance(), nullptr);
  EXPECT_EQ(TSvCompressor::Instance()->options().MinSize, 77);
  TSvCompressor::Finalize();
  EXPECT_EQ(TSvCompressor::Instance(), nullptr);
}

}  // namespace
}  // namespace appsrv::server
