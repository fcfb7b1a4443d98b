#include "app/DisplayText.h"

#include <gtest/gtest.h>

namespace appsrv::app {
namespace {

TEST(DisplayTextTest, MoneyText) {
  struct Case {
    double value;
    std::string_view want;
  };
  const Case cases[] = {
      {1234567.5, "1,234,567.50"},
      {0, "0.00"},
      {-0.0, "0.00"},
      {0.004, "0.00"},
      {0.005, "0.01"},
      {0.0049, "0.00"},
      {1.005, "1.01"},
      {2.675, "2.68"},
      {-2.675, "-2.68"},
      {-0.001, "0.00"},
      {999.995, "1,000.00"},
      {999999.999, "1,000,000.00"},
      {12, "12.00"},
      {123, "123.00"},
      {1234, "1,234.00"},
      {-1234567890123.25, "-1,234,567,890,123.25"},
      {1e15, "1,000,000,000,000,000.00"},
      {0.1, "0.10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(money_text(c.value), c.want);
  }
}

TEST(DisplayTextTest, ClockTextHasFixedFields) {
  base::DateTimeParts parts;
  parts.year = 2015;
  parts.month = 5;
  parts.day = 7;
  parts.hour = 14;
  parts.minute = 3;
  parts.second = 22;
  parts.millisecond = 123;
  EXPECT_EQ(clock_text(base::encode_date_time(parts)), "2015-05-07 14:03:22 123");
  parts.hour = 0;
  parts.minute = 0;
  parts.second = 0;
  parts.millisecond = 5;
  EXPECT_EQ(clock_text(base::encode_date_time(parts)), "2015-05-07 00:00:00 005");
  EXPECT_EQ(clock_text(base::now()).size(), 23u);
}

TEST(DisplayTextTest, LineBreaksRemoved) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  const Case cases[] = {
      {"one\r\ntwo", "onetwo"},
      {"\ra\nb\r", "ab"},
      {"tab\tstays", "tab\tstays"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(without_line_breaks(c.in), c.want);
  }
}

}  // namespace
}  // namespace appsrv::app
