#include "server/session/client_rate_table.h"

#include <gtest/gtest.h>

#include <string>

#include "base/date_time.h"

namespace appsrv::server {
namespace {

constexpr double kSecond = 1.0 / 86400;
const base::DateTime kStart = base::encode_date(2024, 5, 6) + 0.5;

// How many tokens `address` gets at `now` before the first refusal.
int drain(ClientRateTable& table, const std::string& address, base::DateTime now, double per_minute,
          double burst) {
  int granted = 0;
  while (table.Take(address, now, per_minute, burst).granted) {
    ++granted;
  }
  return granted;
}

TEST(ClientRateTableTest, BurstThenRefillAtTheRateForEachClientApart) {
  struct Case {
    double per_minute;
    double burst;
    int burst_granted;
    int retry_after;  // after the burst
  };
  const Case kCases[] = {
      {60, 3, 3, 1},
      {6, 2, 2, 10},
      {300, 60, 60, 1},
      {1, 0, 1, 60},  // a burst below 1 still lets a token through
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.per_minute) + "/min, burst " + std::to_string(c.burst));
    ClientRateTable table;
    EXPECT_EQ(drain(table, "192.0.2.1", kStart, c.per_minute, c.burst), c.burst_granted);
    const RateVerdict refused = table.Take("192.0.2.1", kStart, c.per_minute, c.burst);
    EXPECT_FALSE(refused.granted);
    EXPECT_EQ(refused.retry_after_seconds, c.retry_after);
    // Another client has its own bucket.
    EXPECT_TRUE(table.Take("192.0.2.2", kStart, c.per_minute, c.burst).granted);
    // Just short of one token's refill time there is still none; once the promised wait is
    // over there is.
    const double token_seconds = 60 / c.per_minute;
    const base::DateTime almost = kStart + (token_seconds - 0.01) * kSecond;
    EXPECT_FALSE(table.Take("192.0.2.1", almost, c.per_minute, c.burst).granted);
    const base::DateTime later = kStart + (c.retry_after + 0.01) * kSecond;
    EXPECT_TRUE(table.Take("192.0.2.1", later, c.per_minute, c.burst).granted);
  }
}

TEST(ClientRateTableTest, AddressesOfOneIPv6PrefixShareABucket) {
  ClientRateTable table;
  EXPECT_TRUE(table.Take("2001:db8:0:1::1", kStart, 60, 1).granted);
  EXPECT_FALSE(table.Take("2001:db8:0:1::2", kStart, 60, 1).granted);
  EXPECT_TRUE(table.Take("2001:db8:0:2::1", kStart, 60, 1).granted);
  EXPECT_EQ(table.size(), 2u);
}

TEST(ClientRateTableTest, ClientsWhoseBucketFilledUpAgainAreForgotten) {
  ClientRateTable table;
  for (int i = 0; i < 100; ++i) {
    drain(table, "192.0.2." + std::to_string(i), kStart, 60, 5);
  }
  EXPECT_EQ(table.size(), 100u);
  // A token a second: four seconds leave every bucket short of full, five fill them.
  table.Take("198.51.100.1", kStart + 4 * kSecond, 60, 5);
  EXPECT_EQ(table.size(), 101u);
  table.Take("198.51.100.1", kStart + 5.01 * kSecond, 60, 5);
  EXPECT_EQ(table.size(), 1u);
}

TEST(ClientRateTableTest, BeyondTheCapTheLeastRecentlySeenClientIsForgotten) {
  ClientRateTable table(2);
  EXPECT_TRUE(table.Take("192.0.2.1", kStart, 60, 1).granted);
  EXPECT_TRUE(table.Take("192.0.2.2", kStart, 60, 1).granted);
  // Seen again (and refused), the first is now the more recent of the two.
  EXPECT_FALSE(table.Take("192.0.2.1", kStart, 60, 1).granted);
  EXPECT_TRUE(table.Take("192.0.2.3", kStart, 60, 1).granted);
  EXPECT_EQ(table.size(), 2u);
  EXPECT_FALSE(table.Take("192.0.2.1", kStart, 60, 1).granted);  // remembered
  EXPECT_TRUE(table.Take("192.0.2.2", kStart, 60, 1).granted);   // forgotten: a fresh bucket
  EXPECT_EQ(table.size(), 2u);
}

TEST(ClientRateTableTest, AClockSetBackEarnsNoTokens) {
  ClientRateTable table;
  EXPECT_EQ(drain(table, "192.0.2.1", kStart, 60, 2), 2);
  EXPECT_EQ(drain(table, "192.0.2.1", kStart - 3600 * kSecond, 60, 2), 0);
  EXPECT_EQ(drain(table, "192.0.2.1", kStart - 3598.99 * kSecond, 60, 2), 1);
}

}  // namespace
}  // namespace appsrv::server
