#include "server/http/http_date_parser.h"

#include <gtest/gtest.h>

namespace appsrv::server {
namespace {

using base::DateTime;

DateTime local_of_utc(int y, int mo, int d, int h, int mi, int s) {
  return base::utc_to_local(base::encode_date(y, mo, d) + base::encode_time(h, mi, s));
}

TEST(HttpDateParserTest, AcceptedForms) {
  struct Case {
    std::string_view text;
    int y, mo, d, h, mi, s;  // UTC
  };
  // clang-format off
  const Case kCases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT",         1994, 11,  6,  8, 49, 37},  // RFC 1123
      {"Sunday, 06-Nov-94 08:49:37 GMT",        1994, 11,  6,  8, 49, 37},  // RFC 850
      {"Sun Nov  6 08:49:37 1994",              1994, 11,  6,  8, 49, 37},  // asctime
      {"06 Nov 1994 08:49:37 GMT",              1994, 11,  6,  8, 49, 37},  // no day name
      {"sun, 06 nov 1994 08:49:37 gmt",         1994, 11,  6,  8, 49, 37},
      {"Sun, 06 Nov 1994 08:49:37 UTC",         1994, 11,  6,  8, 49, 37},
      {"Sun, 06 Nov 1994 08:49:37",             1994, 11,  6,  8, 49, 37},  // no zone: GMT
      {"Sun, 06 Nov 1994 08:49 GMT",            1994, 11,  6,  8, 49,  0},
      {"Sun, 06 Nov 1994 08.49.37 GMT",         1994, 11,  6,  8, 49, 37},
      {"Sun, 06 Nov 1994 08:49:37.250 GMT",     1994, 11,  6,  8, 49, 37},
      {"Sun, 06 Nov 1994 08:49:37 +0100",       1994, 11,  6,  7, 49, 37},
      {"Sun, 06 Nov 1994 08:49:37 -0500",       1994, 11,  6, 13, 49, 37},
      {"Sun, 06 Nov 1994 08:49:37 +01:30",      1994, 11,  6,  7, 19, 37},
      {"Sun, 06 Nov 1994 08:49:37 EST",         1994, 11,  6, 13, 49, 37},
      {"Sun, 06 Nov 1994 08:49:37 CEST",        1994, 11,  6,  6, 49, 37},
      {"Sun, 06 Nov 1994 23:30:00 -0100",       1994, 11,  7,  0, 30,  0},  // next day in UTC
      {"Sun, 06 Nov 1994 08:49:37 PM GMT",      1994, 11,  6, 20, 49, 37},
      {"Sun, 06 Nov 1994 12:05:00 AM GMT",      1994, 11,  6,  0,  5,  0},
      {"Sun, 06 Nov 1994 12:05:00 pm GMT",      1994, 11,  6, 12,  5,  0},
      {"Thu, 01 Jan 49 00:00:00 GMT",           2049,  1,  1,  0,  0,  0},
      {"Sun, 01 Jan 50 00:00:00 GMT",           1950,  1,  1,  0,  0,  0},
      {"Mon, 01 Jan 101 00:00:00 GMT",          2001,  1,  1,  0,  0,  0},
      {"Sat, 29 Feb 2020 10:00:00 GMT",         2020,  2, 29, 10,  0,  0},
      {"Son, 06 DEZ 2020 10:00:00 GMT",         2020, 12,  6, 10,  0,  0},
      {"06 Eno 2020 10:00:00 GMT",              2020,  1,  6, 10,  0,  0},
      {"6 f\xC3\x89vr. 2020 10:00:00 GMT",      2020,  2,  6, 10,  0,  0},
      {"6 Ao\xC3\x9Bt 2020 10:00:00 GMT",       2020,  8,  6, 10,  0,  0},
      {"6 juin 2020 10:00:00 GMT",              2020,  6,  6, 10,  0,  0},
      {"6 Okt 2020 10:00:00 GMT",               2020, 10,  6, 10,  0,  0},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    const std::optional<DateTime> got = parse_http_date(c.text);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(same_second(*got, local_of_utc(c.y, c.mo, c.d, c.h, c.mi, c.s)))
        << base::iso_date_time_text(*got);
  }
}

TEST(HttpDateParserTest, UnparsableTextsCountAsModified) {
  // clang-format off
  const std::string_view kTexts[] = {
      "",
      "garbage",
      "Sun, 31 Feb 1994 08:49:37 GMT",     // no such day
      "Sun, 06 Xyz 1994 08:49:37 GMT",     // no such month
      "Sun, 06 Nov 1994 25:00:00 GMT",
      "Sun, 06 Nov 1994 08:60:00 GMT",
      "Sun, 06 Nov 1994 GMT",              // no time
      "Sun, 06 Nov 08:49:37 GMT",          // no year
      "Sun, 06 Nov 1994 13:00:00 PM GMT",
      "Sun, 06 Nov 1994 08:49:37 GMT junk",
      "Sun, 06 Nov Dec 1994 08:49:37 GMT", // two months
      "Sun, 06 Nov 1994 08:49:37 +2500",
      "Sun, 06 Nov 1994 08:49:37 GMT (x)",
      "Sun, 06 Nov 19945 08:49:37 GMT",
  };
  // clang-format on
  for (const std::string_view text : kTexts) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_http_date(text).has_value());
  }
}

TEST(HttpDateParserTest, MonthNamesOfEveryLanguage) {
  struct Case {
    std::string_view name;
    int month;
  };
  // clang-format off
  const Case kCases[] = {
      {"JAN", 1},  {"ENO", 1},  {"JANV", 1},
      {"FEB", 2},  {"FBRO", 2}, {"F\xC3\x89V", 2}, {"F\xC3\x89VR", 2},
      {"MAR", 3},  {"MRZ", 3},  {"MZO", 3},  {"MRT", 3},  {"MARS", 3},
      {"APR", 4},  {"AB", 4},   {"AVR", 4},
      {"MAY", 5},  {"MAI", 5},  {"MEI", 5},  {"MAJ", 5},
      {"JUN", 6},  {"JUNE", 6}, {"JUIN", 6},
      {"JUL", 7},  {"JULY", 7}, {"JUIL", 7}, {"JUI", 7},
      {"AUG", 8},  {"AGTO", 8}, {"AO\xC3\x9B", 8}, {"AO\xC3\x9BT", 8},
      {"SEP", 9},  {"SEPT", 9}, {"SBRE", 9}, {"AVG", 9},
      {"OCT", 10}, {"OKT", 10}, {"OBRE", 10},
      {"NOV", 11}, {"NBRE", 11},
      {"DEC", 12}, {"DEZ", 12}, {"DBRE", 12}, {"D\xC3\x89\x43", 12},
      {"dec", 12}, {"Mrz", 3},  {"d\xC3\x89\x63", 12},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(month_from_name(c.name), c.month);
  }
  for (const std::string_view other : {"September", "JA", "", "MON", "GMT", "d\xC3\xA9\x63"}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(month_from_name(other).has_value());
  }
}

TEST(HttpDateParserTest, SameSecondIgnoresMilliseconds) {
  const DateTime t = base::encode_date(2024, 5, 1) + base::encode_time(10, 20, 30);
  EXPECT_TRUE(same_second(t, t + 999.0 / base::kMillisecondsPerDay));
  EXPECT_FALSE(same_second(t, t + 1000.0 / base::kMillisecondsPerDay));
  EXPECT_FALSE(same_second(t, t - 1.0 / base::kMillisecondsPerDay));
}

}  // namespace
}  // namespace appsrv::server
