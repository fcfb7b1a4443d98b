#include "base/metrics.h"

#include <algorithm>
#include <chrono>

namespace appsrv::base {

void DurationHistogram::observe_us(uint64_t us) noexcept {
  const auto* bound = std::lower_bound(kUpperBoundsUs.begin(), kUpperBoundsUs.end(), us);
  counts_[static_cast<size_t>(bound - kUpperBoundsUs.begin())].fetch_add(1,
                                                                         std::memory_order_relaxed);
  sum_us_.fetch_add(us, std::memory_order_relaxed);
}

DurationHistogram::Snapshot DurationHistogram::snapshot() const noexcept {
  Snapshot s;
  for (size_t i = 0; i < kBuckets; ++i) {
    s.counts[i] = counts_[i].load(std::memory_order_relaxed);
    s.count += s.counts[i];
  }
  s.sum_us = sum_us_.load(std::memory_order_relaxed);
  return s;
}

std::string_view route_kind_name(RouteKind kind) {
  switch (kind) {
    case RouteKind::kAppService:
      return "appservice";
    case RouteKind::kSqlSelect:
      return "sqlselect";
    case RouteKind::kFiles:
      return "files";
    case RouteKind::kInternal:
      return "internal";
    case RouteKind::kFramework:
      break;
  }
  return "framework";
}

size_t status_class_index(int status) noexcept {
  if (status < 100 || status >= 600) {
    return kStatusClasses - 1;
  }
  return static_cast<size_t>(status / 100 - 1);
}

ServerMetrics& metrics() noexcept {
  // Atomics only: its destruction at exit does nothing that a late connection thread could see.
  static ServerMetrics figures;
  return figures;
}

int64_t monotonic_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ScopedDuration::ScopedDuration(DurationHistogram& histogram) noexcept
    : histogram_(histogram), start_ns_(monotonic_ns()) {}

ScopedDuration::~ScopedDuration() {
  histogram_.observe_us(static_cast<uint64_t>(std::max<int64_t>(monotonic_ns() - start_ns_, 0)) /
                        1000);
}

}  // namespace appsrv::base
