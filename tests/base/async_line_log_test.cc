#include "base/async_line_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "tests/support/temp_folder.h"

namespace appsrv::base {
namespace {

class AsyncLineLogTest : public ::testing::Test {
 protected:
  appsrv::testing::TempFolder folder_{"appsrv-linelog"};
  const std::string root_ = folder_.path();

  // A writer that would wait far longer than any test: only Flush and a half-full queue wake it.
  AsyncLineLog::Options options(size_t max_queued_bytes = 1 << 20) const {
    AsyncLineLog::Options o;
    o.path = root_ + "access.log";
    o.max_queued_bytes = max_queued_bytes;
    o.write_interval = std::chrono::hours(1);
    return o;
  }
  std::vector<std::string> lines_of(const std::string& path) const {
    std::vector<std::string> lines = split(read_file(path), '\n');
    if (!lines.empty() && lines.back().empty()) {
      lines.pop_back();
    }
    return lines;
  }
};

TEST_F(AsyncLineLogTest, LinesFromManyThreadsArriveWholeAndNothingIsLost) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  {
    AsyncLineLog log(options());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < kEach; ++i) {
          EXPECT_TRUE(log.Append("thread " + std::to_string(t) + " line " + std::to_string(i) +
                                 " " + std::string(50, 'x')));
        }
      });
    }
    for (std::thread& t : threads) {
      t.join();
    }
  }  // the destructor writes what is queued
  const std::vector<std::string> lines = lines_of(root_ + "access.log");
  ASSERT_EQ(lines.size(), size_t{kThreads} * kEach);
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[static_cast<size_t>(t)]++) << "each thread's lines keep their order";
    EXPECT_TRUE(line.ends_with(std::string(50, 'x'))) << line;
  }
}

TEST_F(AsyncLineLogTest, AFullQueueDropsAndCountsInsteadOfWaiting) {
  Counter dropped;
  AsyncLineLog::Options o = options(100);
  o.dropped = &dropped;
  AsyncLineLog log(o);
  // 10 lines of 40 bytes: the writer never runs in between (it waits an hour, and a half-full
  // queue wakes it only after the line that fills it), so the queue holds two.
  int accepted = 0;
  for (int i = 0; i < 10; ++i) {
    accepted += log.Append(std::string(39, 'a' + static_cast<char>(i))) ? 1 : 0;
  }
  log.Flush();
  const std::vector<std::string> lines = lines_of(root_ + "access.log");
  EXPECT_EQ(lines.size(), static_cast<size_t>(accepted));
  EXPECT_EQ(log.Dropped(), static_cast<uint64_t>(10 - accepted));
  EXPECT_EQ(dropped.value(), log.Dropped());
  EXPECT_GT(log.Dropped(), 0u);
}

TEST_F(AsyncLineLogTest, ReopenAfterARenameWritesToTheNewFile) {
  AsyncLineLog log(options());
  log.Append("before");
  log.Flush();
  ASSERT_EQ(std::rename((root_ + "access.log").c_str(), (root_ + "access.log.1").c_str()), 0);
  log.Append("still old");
  log.Flush();
  request_log_reopen();
  log.Append("after");
  log.Flush();
  EXPECT_EQ(lines_of(root_ + "access.log.1"), (std::vector<std::string>{"before", "still old"}));
  EXPECT_EQ(lines_of(root_ + "access.log"), (std::vector<std::string>{"after"}));
}

TEST_F(AsyncLineLogTest, AFileThatCannotBeOpenedFailsAtOnce) {
  AsyncLineLog::Options o = options();
  o.path = root_ + "missing/folder/access.log";
  try {
    AsyncLineLog log(o);
    FAIL() << "opened";
  } catch (const Exception& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Could not open \"" + o.path + "\": "))
        << e.what();
  }
}

}  // namespace
}  // namespace appsrv::base
