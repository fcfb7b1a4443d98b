#include "base/log_throttle.h"

#include <gtest/gtest.h>

namespace appsrv::base {
namespace {

using std::chrono::seconds;

TEST(LogThrottleTest, OneLinePerIntervalCountingTheReportsHeldBack) {
  LogThrottle throttle(seconds(60));
  const LogThrottle::Clock::time_point start{};
  struct Report {
    int at_seconds;
    std::optional<uint64_t> line;  // reports the line stands for; nullopt: held back
  };
  // clang-format off
  const Report kReports[] = {
      {0,   1},             // the first report is written at once
      {1,   std::nullopt},
      {59,  std::nullopt},
      {60,  3},             // a minute after the last line: it and the two held back
      {61,  std::nullopt},
      {500, 2},
      {560, 1},
  };
  // clang-format on
  for (const Report& r : kReports) {
    SCOPED_TRACE(r.at_seconds);
    EXPECT_EQ(throttle.due(start + seconds(r.at_seconds)), r.line);
  }
}

TEST(LogThrottleTest, SeveralLinesPerIntervalThenTheCountOfThoseHeldBack) {
  LogThrottle throttle(seconds(60), 3);
  const LogThrottle::Clock::time_point start{};
  struct Report {
    int at_seconds;
    std::optional<uint64_t> line;
  };
  // clang-format off
  const Report kReports[] = {
      {0,  1}, {1,  1}, {2,  1},
      {3,  std::nullopt}, {4,  std::nullopt}, {59, std::nullopt},
      {60, 4},              // a new interval: this report and the three held back
      {61, 1}, {62, 1},
      {63, std::nullopt},
      {200, 2},
  };
  // clang-format on
  for (const Report& r : kReports) {
    SCOPED_TRACE(r.at_seconds);
    EXPECT_EQ(throttle.due(start + seconds(r.at_seconds)), r.line);
  }
}

}  // namespace
}  // namespace appsrv::base
