#include "server/pipeline/compress_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/exception.h"
#include "tests/server/inflate_util.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

using testing::inflate_all;

// Text that compresses but is not one repeated byte.
std::string sample(size_t size) {
  std::string s;
  uint32_t x = 12345;
  while (s.size() < size) {
    x = x * 1103515245 + 12345;
    s += "word" + std::to_string((x >> 16) % 97) + ' ';
  }
  s.resize(size);
  return s;
}

TEST(CompressStreamTest, RoundTripsInBothFormats) {
  struct Case {
    size_t size;
    int level;
    bool deflate_format;
  };
  constexpr Case kCases[] = {
      {0, 6, false},     {0, 6, true},      {1, 1, false},     {1000, 9, true},
      {32768, 1, false}, {32769, 9, false}, {200000, 6, true}, {200000, 9, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.size << " bytes, level " << c.level
                                      << (c.deflate_format ? ", deflate" : ", gzip"));
    const std::string input = sample(c.size);
    const std::string packed = compress_bytes(input, c.level, c.deflate_format);
    ASSERT_GE(packed.size(), 2u);
    if (c.deflate_format) {
      EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x78);
      EXPECT_EQ(inflate_all(packed, 15), input);  // zlib framing only
    } else {
      EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1F);
      EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x8B);
      EXPECT_EQ(inflate_all(packed, 31), input);  // gzip framing only
    }
  }
}

TEST(CompressStreamTest, MapsLevelsOntoZlibLevels) {
  // The second byte of a zlib header records the level class: 0x01 fastest, 0x9C default,
  // 0xDA best.
  struct Case {
    int level;
    unsigned char flags;
  };
  constexpr Case kCases[] = {
      {1, 0x01}, {9, 0xDA}, {6, 0x9C}, {0, 0x9C}, {5, 0x9C}, {2, 0x9C}, {-3, 0x9C}, {10, 0x9C},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.level);
    const std::string packed = compress_bytes(sample(5000), c.level, true);
    EXPECT_EQ(static_cast<unsigned char>(packed[1]), c.flags);
  }
}

TEST(CompressStreamTest, StreamsInBlocksOfAtMost32768Bytes) {
  const std::string input = sample(100000);
  size_t pos = 0;
  size_t largest_read = 0;
  size_t largest_write = 0;
  std::string packed;
  ZCompressStream(
      [&](char* buffer, size_t capacity) {
        largest_read = std::max(largest_read, capacity);
        const size_t n = std::min<size_t>(std::min<size_t>(capacity, 7000), input.size() - pos);
        std::copy_n(input.data() + pos, n, buffer);
        pos += n;
        return n;
      },
      [&](const char* data, size_t size) {
        largest_write = std::max(largest_write, size);
        packed.append(data, size);
      },
      0, false);
  EXPECT_EQ(largest_read, 32768u);
  EXPECT_LE(largest_write, 32768u);
  EXPECT_EQ(inflate_all(packed), input);
}

TEST(CompressStreamTest, MissingProcedureFails) {
  const CompressStreamProc saved = SvCompressStreamProc;
  SvCompressStreamProc = nullptr;
  expect_failure([&] { compress_bytes("abc", 9, false); }, "SvCompressStreamProc is not set");
  SvCompressStreamProc = saved;
}

TEST(CompressStreamTest, GunzipUndoesGzipAndRefusesDamagedInput) {
  const std::string input(100000, 'x');
  const std::string packed = compress_bytes(input, 9, false);
  EXPECT_EQ(gunzip_bytes(packed), input);
  EXPECT_EQ(gunzip_bytes(compress_bytes("", 9, false)), "");
  const std::string truncated = packed.substr(0, packed.size() / 2);
  const std::string not_gzip = "plain text";
  for (const std::string* bad : {&truncated, &not_gzip}) {
    EXPECT_THROW(gunzip_bytes(*bad), base::Exception);
  }
}

}  // namespace
}  // namespace appsrv::server
