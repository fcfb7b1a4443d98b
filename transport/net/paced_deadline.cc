#include "transport/net/paced_deadline.h"

#include <algorithm>

namespace appsrv::transport {

std::optional<PacedDeadline::TimePoint> PacedDeadline::Deadline() const {
  if (rule_.first_ms <= 0) {
    return std::nullopt;
  }
  int64_t ms = rule_.first_ms;
  if (rule_.min_rate_bytes_per_sec > 0) {
    // Whole seconds only, as earned: a byte short of the rate buys nothing yet. Counted in
    // seconds first, so that no byte count can overflow the milliseconds.
    const int64_t seconds = received_ / rule_.min_rate_bytes_per_sec;
    const int64_t most = (int64_t{1} << 40) / 1000;  // beyond any cap, far from overflow
    ms += std::min(seconds, most) * 1000;
    if (rule_.max_ms > 0) {
      ms = std::min<int64_t>(ms, std::max(rule_.max_ms, rule_.first_ms));
    }
  }
  return start_ + std::chrono::milliseconds(ms);
}

std::optional<int64_t> PacedDeadline::MsLeft(TimePoint now) const {
  const std::optional<TimePoint> deadline = Deadline();
  if (!deadline) {
    return std::nullopt;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now);
  return std::max<int64_t>(left.count(), 0);
}

}  // namespace appsrv::transport
