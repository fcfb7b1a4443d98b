// The time the transport's deadlines are counted in, as a seam: a test decides expiry on a clock
// of its own instead of waiting for it.
#pragma once

#include <chrono>

namespace appsrv::transport {

// Monotonic time. Implementations are thread-safe: one clock serves every connection.
class DeadlineClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~DeadlineClock() = default;
  virtual time_point now() const = 0;
};

// std::chrono::steady_clock; lives for the whole process.
const DeadlineClock& steady_deadline_clock();

// Milliseconds from `now` until `deadline`, never negative, at most INT_MAX.
int ms_until(DeadlineClock::time_point deadline, DeadlineClock::time_point now);

}  // namespace appsrv::transport
