// The process's operational figures: counters, gauges and duration histograms that every layer
// bumps on its hot path, read together by the metrics page and the console's status.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/request_refusal.h"

namespace appsrv::base {

// Every update is one relaxed atomic operation: no lock, no allocation. Readers see each
// figure on its own, not a consistent cut across figures.
class Counter {
 public:
  void add(uint64_t n = 1) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t value() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

class Gauge {
 public:
  void add(int64_t n = 1) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
  void sub(int64_t n = 1) noexcept { value_.fetch_sub(n, std::memory_order_relaxed); }
  int64_t value() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> value_{0};
};

// Durations in microseconds over fixed buckets from 100 µs to 10 s; the last bucket counts
// everything beyond.
class DurationHistogram {
 public:
  static constexpr std::array<uint64_t, 16> kUpperBoundsUs = {
      100,   250,    500,    1000,   2500,    5000,    10000,   25000,
      50000, 100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000};
  static constexpr size_t kBuckets = kUpperBoundsUs.size() + 1;

  struct Snapshot {
    std::array<uint64_t, kBuckets> counts{};  // per bucket, not cumulative
    uint64_t count = 0;                       // the sum of `counts`
    uint64_t sum_us = 0;
  };

  void observe_us(uint64_t us) noexcept;
  Snapshot snapshot() const noexcept;

 private:
  std::array<std::atomic<uint64_t>, kBuckets> counts_{};
  std::atomic<uint64_t> sum_us_{0};
};

// What a request was routed to, as the pipeline decides it.
enum class RouteKind { kAppService, kSqlSelect, kFiles, kInternal, kFramework };
inline constexpr size_t kRouteKinds = 5;
// "appservice", "sqlselect", "files", "internal", "framework".
std::string_view route_kind_name(RouteKind kind);

// Responses by the first digit of their status: 1xx .. 5xx (anything else counts as 5xx).
inline constexpr size_t kStatusClasses = 5;
size_t status_class_index(int status) noexcept;

// The figures themselves. Live sessions are not here: the session list counts them.
struct ServerMetrics {
  std::array<Counter, kStatusClasses> responses_by_class;  // written by the transport
  std::array<Counter, kRouteKinds> requests_by_route;      // counted by the pipeline
  std::array<Counter, kRequestRefusals> requests_refused;  // by RequestRefusal, the transport
  Counter bytes_sent;                                      // status lines, headers and bodies
  Counter connections_accepted;                            // including those refused at the cap
  Counter connections_refused_per_client;  // closed at accept: their client held its cap
  Counter connections_reclaimed;           // waiting ones closed to make room for a new one
  Gauge connections_open;
  Gauge connection_threads;
  Counter sessions_created;
  Counter sessions_expired;
  // Requests refused over one client's own limits: new sessions per minute, database requests
  // at once.
  Counter client_sessions_refused;
  Counter client_database_refused;
  DurationHistogram request_duration;
  DurationHistogram statement_duration;
  Counter exception_reports_written;
  Counter exception_reports_dropped;
  Counter access_log_lines_dropped;  // a full queue or a failed write
  Counter boundary_failures;         // caught by a catch-all at a boundary (base/boundary_note.h)
};

// The process-wide figures; they live until the process ends.
ServerMetrics& metrics() noexcept;

// Adds the time since construction to a histogram when it goes out of scope.
class ScopedDuration {
 public:
  explicit ScopedDuration(DurationHistogram& histogram) noexcept;
  ~ScopedDuration();
  ScopedDuration(const ScopedDuration&) = delete;
  ScopedDuration& operator=(const ScopedDuration&) = delete;

 private:
  DurationHistogram& histogram_;
  int64_t start_ns_;
};

// Monotonic time in nanoseconds, for durations.
int64_t monotonic_ns() noexcept;

}  // namespace appsrv::base
