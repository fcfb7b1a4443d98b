#include "base/parse_int.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace appsrv::base {
namespace {

TEST(ParseInt, TakesOnlyWholeDecimalTextThatFits) {
  struct Case {
    std::string_view text;
    std::optional<int32_t> expected;
  };
  const Case cases[] = {
      {"0", 0},
      {"8888", 8888},
      {"-12", -12},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},  // one past the top
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"12abc", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"--1", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_int<int32_t>(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(ParseInt, UnsignedTypesRefuseASignAndKeepTheirRange) {
  EXPECT_EQ(parse_int<uint16_t>("65535"), 65535);
  EXPECT_EQ(parse_int<uint16_t>("99999"), std::nullopt);  // would wrap to 34463
  EXPECT_EQ(parse_int<uint16_t>("-1"), std::nullopt);
  EXPECT_EQ(parse_int<uint64_t>("-0"), std::nullopt);
  EXPECT_EQ(parse_int<int64_t>("9223372036854775807"), INT64_MAX);
}

TEST(ParseHex, TakesOnlyWholeHexTextThatFits) {
  struct Case {
    std::string_view text;
    std::optional<uint16_t> expected;
  };
  const Case cases[] = {
      {"0", 0},
      {"1a", 0x1A},
      {"FfFf", 0xFFFF},
      {"10000", std::nullopt},  // one digit past the type
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"0x1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1g", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_hex<uint16_t>(c.text), c.expected) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace appsrv::base
