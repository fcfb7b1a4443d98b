#include "json/integer_text.h"

#include <gtest/gtest.h>

#include <limits>

#include "base/text.h"

namespace appsrv::json {
namespace {

TEST(IntegerTextTest, ReadsDecimalAndHexadecimalTexts) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  struct Case {
    std::string_view text;
    std::optional<int64_t> want;
  };
  const Case cases[] = {
      {"12", 12},
      {" +12", 12},
      {"   -7", -7},
      {"007", 7},
      {"$1F", 31},
      {"0x1F", 31},
      {"0X1f", 31},
      {"x1F", 31},
      {"X1F", 31},
      {"-$10", -16},
      {"9223372036854775807", kMax},
      {"-9223372036854775808", kMin},
      {"$7FFFFFFFFFFFFFFF", kMax},
      {"-0x8000000000000000", kMin},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"$8000000000000000", std::nullopt},
      {"12 ", std::nullopt},
      {"1.5", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"12abc", std::nullopt},
      {"\t12", std::nullopt},
      {"+-1", std::nullopt},
      {"1F", std::nullopt},
      {"0x1G", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_integer_text(c.text), c.want);
    EXPECT_EQ(parse_integer_text(base::utf8_to_utf16(c.text)), c.want);
  }
  // A non-ASCII digit is not a digit.
  EXPECT_EQ(parse_integer_text(u"\uFF11"), std::nullopt);
}

}  // namespace
}  // namespace appsrv::json
