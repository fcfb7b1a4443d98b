#include "transport/net/paced_deadline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

namespace appsrv::transport {
namespace {

using std::chrono::milliseconds;

const PacedDeadline::TimePoint kStart{std::chrono::hours(1)};

// Milliseconds from the start to the deadline, -1 for none.
int64_t deadline_ms(const PaceRule& rule, int64_t received) {
  PacedDeadline d(rule, kStart);
  d.SetReceived(received);
  const std::optional<PacedDeadline::TimePoint> at = d.Deadline();
  return at ? std::chrono::duration_cast<milliseconds>(*at - kStart).count() : -1;
}

TEST(PacedDeadlineTest, BytesAtTheMinimumRateMoveTheDeadlineUpToItsCap) {
  const PaceRule header{20000, 40000, 500};  // 20 s, extendable to 40 s at 500 bytes/s
  const PaceRule body{20000, 0, 500};        // 20 s, then 500 bytes/s without end
  struct Case {
    const char* what;
    PaceRule rule;
    int64_t received;
    int64_t expected_ms;
  };
  const Case cases[] = {
      {"header, nothing yet", header, 0, 20000},
      {"header, a byte short of a second", header, 499, 20000},
      {"header, one second earned", header, 500, 21000},
      {"header, 10 s earned", header, 5250, 30000},
      {"header, at the cap", header, 10000, 40000},
      {"header, beyond the cap", header, 1000000, 40000},
      {"body, nothing yet", body, 0, 20000},
      {"body, 100 s earned", body, 50000, 120000},
      {"body, a huge count", body, std::numeric_limits<int64_t>::max(), 20000 + (int64_t{1} << 40) / 1000 * 1000},
      {"no rate: the first bound only", {3000, 40000, 0}, 1000000, 3000},
      {"a cap below the first bound", {3000, 1000, 500}, 1000000, 3000},
      {"no first bound: none", {0, 40000, 500}, 1000, -1},
      {"a negative count counts as none", header, -5, 20000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(deadline_ms(c.rule, c.received), c.expected_ms) << c.what;
  }
}

TEST(PacedDeadlineTest, TimeLeftCountsDownToZeroAndBytesGiveSomeBack) {
  PacedDeadline d({2000, 4000, 100}, kStart);
  EXPECT_EQ(d.MsLeft(kStart), 2000);
  EXPECT_EQ(d.MsLeft(kStart + milliseconds(1500)), 500);
  EXPECT_EQ(d.MsLeft(kStart + milliseconds(2500)), 0);
  d.SetReceived(100);  // one more second
  EXPECT_EQ(d.MsLeft(kStart + milliseconds(2500)), 500);
  EXPECT_EQ(PacedDeadline({0, 0, 0}, kStart).MsLeft(kStart), std::nullopt);
}

}  // namespace
}  // namespace appsrv::transport
