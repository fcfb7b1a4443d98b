#include "base/log_throttle.h"

namespace appsrv::base {

std::optional<uint64_t> LogThrottle::due(Clock::time_point now) {
  std::scoped_lock lock(mu_);
  if (!interval_start_ || now - *interval_start_ >= interval_) {
    interval_start_ = now;
    lines_in_interval_ = 0;
  }
  if (lines_in_interval_ == lines_per_interval_) {
    ++held_back_;
    return std::nullopt;
  }
  ++lines_in_interval_;
  const uint64_t reports = held_back_ + 1;
  held_back_ = 0;
  return reports;
}

}  // namespace appsrv::base
