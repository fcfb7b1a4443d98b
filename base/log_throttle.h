// Keeps a condition that recurs with every request (descriptors running out, failing requests)
// from flooding the log: at most a few lines per interval, and the next line that gets through
// says how many reports were held back before it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace appsrv::base {

// Thread-safe.
class LogThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  // At most `lines_per_interval` lines (at least one) in each interval, which starts with the
  // first line written after the previous one ended.
  explicit LogThrottle(Clock::duration interval = std::chrono::minutes(1),
                       uint64_t lines_per_interval = 1)
      : interval_(interval), lines_per_interval_(lines_per_interval > 0 ? lines_per_interval : 1) {}

  // Reports the condition at `now`. When a line is due: how many reports the line stands for,
  // this one and those held back since the last line. Otherwise nullopt, and the report is
  // counted for the next line.
  std::optional<uint64_t> due(Clock::time_point now = Clock::now());

 private:
  const Clock::duration interval_;
  const uint64_t lines_per_interval_;
  std::mutex mu_;
  std::optional<Clock::time_point> interval_start_;  // guarded by mu_
  uint64_t lines_in_interval_ = 0;                   // guarded by mu_
  uint64_t held_back_ = 0;                           // guarded by mu_
};

}  // namespace appsrv::base
