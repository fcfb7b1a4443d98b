#include "base/encoding.h"

#include <gtest/gtest.h>

namespace appsrv::base {
namespace {

TEST(EncodingTest, Base36) {
  struct Case {
    uint64_t value;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"}, {35, "Z"}, {36, "10"}, {1295, "ZZ"}, {UINT64_MAX, "3W5E11264SGSF"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(to_base36(c.value), c.text);
    EXPECT_EQ(from_base36(c.text), c.value);
  }
  EXPECT_EQ(from_base36("zz"), 1295u);
  EXPECT_FALSE(from_base36(""));
  EXPECT_FALSE(from_base36("1-2"));
  EXPECT_FALSE(from_base36("3W5E11264SGSG"));  // one past the largest value
}

TEST(EncodingTest, Base64RoundTrip) {
  struct Case {
    const char* plain;
    const char* coded;
  };
  const Case cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"user:pass", "dXNlcjpwYXNz"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plain);
    EXPECT_EQ(base64_encode(c.plain), c.coded);
    EXPECT_EQ(base64_decode(c.coded), c.plain);
  }
  EXPECT_EQ(base64_decode("Zm9v\r\nYmFy"), "foobar");
}

TEST(EncodingTest, HexAndFloatText) {
  EXPECT_EQ(to_hex_upper(0), "0");
  EXPECT_EQ(to_hex_upper(0xABC), "ABC");
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {{0, "0"},
                        {5, "5"},
                        {0.5, "0.5"},
                        {-2.25, "-2.25"},
                        {0.1 + 0.2, "0.3"},
                        {1e20, "1E20"},
                        {1.5e-7, "1.5E-7"},
                        {123456789012345.0, "123456789012345"},
                        {1000, "1000"},
                        {-150, "-150"},
                        {1e14, "100000000000000"},
                        {1e15, "1E15"},
                        {1.5e15, "1.5E15"},
                        {0.00001, "0.00001"},
                        {0.000012, "0.000012"},
                        {9.9e-6, "9.9E-6"},
                        {-0.0, "0"},
                        {1234.5678, "1234.5678"},
                        {2.0 / 3, "0.666666666666667"},
                        {1e300, "1E300"},
                        {-1.25e-300, "-1.25E-300"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(float_text(c.value), c.text);
  }
}

}  // namespace
}  // namespace appsrv::base
