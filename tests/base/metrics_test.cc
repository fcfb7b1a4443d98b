#include "base/metrics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace appsrv::base {
namespace {

TEST(DurationHistogram, EachObservationLandsInTheFirstBucketThatHoldsIt) {
  struct Case {
    uint64_t us;
    size_t bucket;
  };
  constexpr size_t kLast = DurationHistogram::kBuckets - 1;
  // clang-format off
  constexpr Case kCases[] = {
    {0,          0},
    {100,        0},     // a bound belongs to its own bucket ("le")
    {101,        1},
    {250,        1},
    {999,        3},
    {1000,       3},
    {10000000,   kLast - 1},
    {10000001,   kLast},
    {UINT64_MAX / 4, kLast},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.us);
    DurationHistogram h;
    h.observe_us(c.us);
    const DurationHistogram::Snapshot s = h.snapshot();
    EXPECT_EQ(s.count, 1u);
    EXPECT_EQ(s.sum_us, c.us);
    for (size_t i = 0; i < DurationHistogram::kBuckets; ++i) {
      EXPECT_EQ(s.counts[i], i == c.bucket ? 1u : 0u) << "bucket " << i;
    }
  }
}

// Many threads at once lose no update: the figures are atomics, not guarded copies.
TEST(Metrics, ConcurrentUpdatesAreAllCounted) {
  Counter counter;
  Gauge gauge;
  DurationHistogram histogram;
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        counter.add();
        gauge.add(2);
        gauge.sub();
        histogram.observe_us(static_cast<uint64_t>(i % 3000));
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(counter.value(), uint64_t{kThreads} * kEach);
  EXPECT_EQ(gauge.value(), int64_t{kThreads} * kEach);
  EXPECT_EQ(histogram.snapshot().count, uint64_t{kThreads} * kEach);
}

TEST(Metrics, StatusClassesAndRouteNames) {
  struct Case {
    int status;
    size_t index;
  };
  constexpr Case kCases[] = {{100, 0}, {200, 1}, {204, 1}, {304, 2}, {404, 3},
                             {499, 3}, {500, 4}, {99, 4},  {600, 4}, {0, 4}};
  for (const Case& c : kCases) {
    EXPECT_EQ(status_class_index(c.status), c.index) << c.status;
  }
  EXPECT_EQ(route_kind_name(RouteKind::kAppService), "appservice");
  EXPECT_EQ(route_kind_name(RouteKind::kSqlSelect), "sqlselect");
  EXPECT_EQ(route_kind_name(RouteKind::kFiles), "files");
  EXPECT_EQ(route_kind_name(RouteKind::kInternal), "internal");
  EXPECT_EQ(route_kind_name(RouteKind::kFramework), "framework");
}

}  // namespace
}  // namespace appsrv::base
