// Keeps a condition that recurs with every request (descriptors running out) from flooding the
// log: one line per interval, which says how many times the condition came up since the last.
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

  explicit LogThrottle(Clock::duration interval = std::chrono::minutes(1)) : interval_(interval) {}

  // Reports the condition at `now`. When a line is due (the first report, then the first one
  // once the interval has passed since the last line): how many reports the line stands for,
  // this one included. Otherwise nullopt, and the report is counted for the next line.
  std::optional<uint64_t> due(Clock::time_point now = Clock::now());

 private:
  const Clock::duration interval_;
  std::mutex mu_;
  std::optional<Clock::time_point> last_line_;  // guarded by mu_
  uint64_t held_back_ = 0;                      // guarded by mu_
};

}  // namespace appsrv::base
