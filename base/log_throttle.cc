#include "base/log_throttle.h"

namespace appsrv::base {

std::optional<uint64_t> LogThrottle::due(Clock::time_point now) {
  std::scoped_lock lock(mu_);
  if (last_line_ && now - *last_line_ < interval_) {
    ++held_back_;
    return std::nullopt;
  }
  last_line_ = now;
  const uint64_t reports = held_back_ + 1;
  held_back_ = 0;
  return reports;
}

}  // namespace appsrv::base
