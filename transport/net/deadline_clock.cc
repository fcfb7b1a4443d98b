#include "transport/net/deadline_clock.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace appsrv::transport {
namespace {

class SteadyDeadlineClock : public DeadlineClock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const DeadlineClock& steady_deadline_clock() {
  static const SteadyDeadlineClock clock;
  return clock;
}

int ms_until(DeadlineClock::time_point deadline, DeadlineClock::time_point now) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

}  // namespace appsrv::transport
