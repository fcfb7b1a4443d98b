#include "host/server_intercept.h"

#include <gtest/gtest.h>

#include <vector>

#include "host/sent_bytes_hook.h"

namespace appsrv::host {
namespace {

TEST(ServerIntercept, DelayMakesUpTheTimeTheBufferIsAllowed) {
  struct Case {
    size_t bytes;
    int32_t bytes_per_second;
    int64_t elapsed_ms;
    int64_t delay_ms;
  };
  const Case cases[] = {
      {1000, 1000, 0, 1000},  // 8000 bits per second: a 1000-byte buffer takes a second
      {1000, 1000, 300, 700}, {1000, 1000, 1000, 0}, {1000, 1000, 5000, 0},
      {1000, 0, 0, 0},        {1000, -1, 0, 0},      {7, 4000, 0, 1},  // integer division
      {3, 4000, 0, 0},        {0, 1000, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bytes << " at " << c.bytes_per_second);
    EXPECT_EQ(ThrottleDelayMs(c.bytes, c.bytes_per_second, c.elapsed_ms), c.delay_ms);
  }
}

struct CountingSink : SentBytesSink {
  void LogBytes(int32_t n) override { counts.push_back(n); }
  std::vector<int32_t> counts;
};

TEST(ServerIntercept, PacesEachBufferAndReportsItsSize) {
  CountingSink sink;
  SetSentBytesHook(&sink);
  int64_t clock_ms = 0;
  std::vector<int64_t> sleeps;
  ThrottleTiming timing{[&] { return clock_ms += 100; },  // every reading moves 100 ms on
                        [&](std::chrono::milliseconds d) { sleeps.push_back(d.count()); }};
  TSvServerIntercept paced(1000, timing);
  std::string buffer(1000, 'x');
  paced.Send(buffer);
  std::string small(50, 'x');
  paced.Send(small);
  EXPECT_EQ(sleeps, (std::vector<int64_t>{900}));

  TSvServerIntercept unlimited(0, timing);
  unlimited.Send(buffer);
  EXPECT_EQ(sleeps.size(), 1U);
  EXPECT_EQ(sink.counts, (std::vector<int32_t>{1000, 50, 1000}));
  SetSentBytesHook(nullptr);
}

}  // namespace
}  // namespace appsrv::host
