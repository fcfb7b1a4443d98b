#include "host/descriptor_limit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>

namespace appsrv::host {
namespace {

TEST(DescriptorLimitTest, RaisesTheSoftLimitToTheHardOne) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 300) {
    GTEST_SKIP() << "hard limit too low to lower the soft one";
  }
  rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);

  const DescriptorLimit raised = raise_descriptor_limit();
  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(now.rlim_cur, saved.rlim_max);
  EXPECT_EQ(raised.soft_before, 256u);
  EXPECT_EQ(raised.soft, saved.rlim_max);
  EXPECT_EQ(raised.hard, saved.rlim_max);
  EXPECT_EQ(raised.error, 0);
}

TEST(DescriptorLimitTest, LineSaysBothLimitsAndWhatChanged) {
  struct Case {
    DescriptorLimit limit;
    std::string_view line;
  };
  const Case kCases[] = {
      {{1024, 20000, 20000, 0}, "Open file limit: 20000 (hard limit 20000, raised from 1024)"},
      {{4096, 4096, 4096, 0}, "Open file limit: 4096 (hard limit 4096)"},
      {{1024, 1024, 524288, EPERM},
       "Open file limit: 1024 (hard limit 524288, not raised: Operation not permitted)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(DescriptorLimitLine(c.limit), c.line);
  }
}

}  // namespace
}  // namespace appsrv::host
