#include "base/date_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <vector>

namespace appsrv::base {
namespace {

// Pins the process time zone for the test's duration.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) {
      old_ = old;
    }
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(DateTimeTest, DayCountsFromTheClassicEpoch) {
  struct Case {
    int y, m, d;
    double days;
  };
  const Case cases[] = {{1899, 12, 30, 0},
                        {1900, 1, 1, 2},
                        {1970, 1, 1, 25569},
                        {2000, 2, 29, 36585},
                        {1899, 12, 29, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.days);
    EXPECT_EQ(encode_date(c.y, c.m, c.d), c.days);
    const DateTimeParts p = decode_date_time(c.days);
    EXPECT_EQ(p.year, c.y);
    EXPECT_EQ(p.month, c.m);
    EXPECT_EQ(p.day, c.d);
  }
}

TEST(DateTimeTest, TimeOfDayRoundTrips) {
  const DateTime t = encode_date(1994, 11, 6) + encode_time(8, 49, 37, 250);
  const DateTimeParts p = decode_date_time(t);
  EXPECT_EQ(p.hour, 8);
  EXPECT_EQ(p.minute, 49);
  EXPECT_EQ(p.second, 37);
  EXPECT_EQ(p.millisecond, 250);
  EXPECT_EQ(p.day_of_week, 0);  // a Sunday
  EXPECT_EQ(iso_date_time_text(t), "1994-11-06 08:49:37");
  EXPECT_EQ(decode_date_time(encode_time(23, 59, 59, 999) + 1e-12).second, 59);
  EXPECT_TRUE(is_valid_date(2000, 2, 29));
  EXPECT_FALSE(is_valid_date(1900, 2, 29));
}

// The date and time text is the date text, a blank and the time text, at every edge of the
// range the digits are put in for and beyond it.
TEST(DateTimeTest, DateTimeTextJoinsDateAndTime) {
  const struct {
    DateTime value;
    const char* text;  // nullptr: only compared with the joined texts
  } cases[] = {
      {encode_date(1994, 11, 6) + encode_time(8, 49, 37), "1994-11-06 08:49:37"},
      {encode_date(1, 1, 1), "0001-01-01 00:00:00"},
      {encode_date(9999, 12, 31) + encode_time(23, 59, 59, 999), "9999-12-31 23:59:59"},
      {encode_date(1899, 12, 29) + encode_time(12, 0, 0), nullptr},
      {-700000.25, nullptr},
      {3000000.5, nullptr},
      {0.0, "1899-12-30 00:00:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(iso_date_time_text(c.value), iso_date_text(c.value) + " " + iso_time_text(c.value));
    if (c.text != nullptr) {
      EXPECT_EQ(iso_date_time_text(c.value), c.text);
    }
  }
}

TEST(DateTimeTest, HttpDateConvertsLocalTimeToGmt) {
  ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
  // Winter: one hour ahead of GMT. Summer: two hours.
  EXPECT_EQ(http_date(encode_date(1994, 11, 6) + encode_time(9, 49, 37)),
            "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(http_date(encode_date(2024, 7, 1) + encode_time(1, 30, 0)),
            "Sun, 30 Jun 2024 23:30:00 GMT");
  const DateTime local = encode_date(2024, 7, 1) + encode_time(12, 0, 0);
  EXPECT_NEAR(utc_to_local(local_to_utc(local)), local, 1e-9);
  EXPECT_EQ(http_date_utc(encode_date(2024, 1, 5) + encode_time(3, 4, 5, 999)),
            "Fri, 05 Jan 2024 03:04:05 GMT");
}

TEST(DateTimeTest, LocalToUnixAgreesWithTheZoneRulesAroundOffsetChanges) {
  ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const DateTime times[] = {
      encode_date(2024, 7, 1) + encode_time(12, 0, 0),    // summer, far from a change
      encode_date(2024, 1, 15) + encode_time(0, 0, 1),    // winter
      encode_date(2024, 3, 30) + encode_time(12, 0, 0),   // the day before the spring change
      encode_date(2024, 3, 31) + encode_time(2, 30, 0),   // inside the skipped hour
      encode_date(2024, 3, 31) + encode_time(3, 0, 0),    // just after it
      encode_date(2024, 10, 27) + encode_time(2, 30, 0),  // inside the repeated hour
      encode_date(2024, 10, 28) + encode_time(1, 0, 0),   // the day after the autumn change
      encode_date(1970, 1, 1) + encode_time(0, 59, 59),   // the epoch in this zone
  };
  for (const DateTime local : times) {
    std::tm t{};
    const DateTimeParts p = decode_date_time(local);
    t.tm_year = p.year - 1900;
    t.tm_mon = p.month - 1;
    t.tm_mday = p.day;
    t.tm_hour = p.hour;
    t.tm_min = p.minute;
    t.tm_sec = p.second;
    t.tm_isdst = -1;
    EXPECT_EQ(local_to_unix(local), mktime(&t)) << iso_date_time_text(local);
  }
}

TEST(DateTimeTest, NowAgreesWithUtcNow) {
  ZoneGuard zone("UTC0");
  EXPECT_NEAR(now(), utc_now(), 2.0 / 86400);
}

TEST(DateTimeTest, ParsesIsoDateAndTimeTexts) {
  struct Case {
    std::string_view text;
    bool ok, has_date, has_time;
    int year, month, day, hour, minute, second, millisecond;
  };
  const Case cases[] = {
      {"2001-02-03T04:05:06", true, true, true, 2001, 2, 3, 4, 5, 6, 0},
      {"2001-02-03 04:05:06.5", true, true, true, 2001, 2, 3, 4, 5, 6, 500},
      {"2026-01-02T03:04:05.123000000", true, true, true, 2026, 1, 2, 3, 4, 5, 123},
      {"1999-12-31", true, true, false, 1999, 12, 31, 0, 0, 0, 0},
      {"23:59:58", true, false, true, 1899, 12, 30, 23, 59, 58, 0},
      {"07:30", true, false, true, 1899, 12, 30, 7, 30, 0, 0},
      {"2001-02-30", false, false, false, 0, 0, 0, 0, 0, 0, 0},
      {"2001-02-03T24:00:00", false, false, false, 0, 0, 0, 0, 0, 0, 0},
      {"2001-02-03X04:05:06", false, false, false, 0, 0, 0, 0, 0, 0, 0},
      {"2001-02-03T04:05:06Z", false, false, false, 0, 0, 0, 0, 0, 0, 0},
      {"12:00:00.", false, false, false, 0, 0, 0, 0, 0, 0, 0},
      {"1 OR 1=1", false, false, false, 0, 0, 0, 0, 0, 0, 0},
      {"", false, false, false, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<IsoDateTime> got = parse_iso_date_time(c.text);
    ASSERT_EQ(got.has_value(), c.ok);
    if (!c.ok) {
      continue;
    }
    EXPECT_EQ(got->has_date, c.has_date);
    EXPECT_EQ(got->has_time, c.has_time);
    const DateTimeParts& p = got->parts;
    EXPECT_EQ(
        std::vector<int>({p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond}),
        std::vector<int>({c.year, c.month, c.day, c.hour, c.minute, c.second, c.millisecond}));
  }
}

}  // namespace
}  // namespace appsrv::base
