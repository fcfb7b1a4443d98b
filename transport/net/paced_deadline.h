// The deadline of one part of an exchange (a request's header block or body, a reply) that a
// peer may stretch only by keeping bytes moving: a first bound from the part's start, moved
// later by one second for every so many bytes received (or, for a reply, sent), up to a last
// bound. Pure arithmetic over the caller's time and byte count, so that
// a test needs neither a clock nor a socket.
#pragma once

#include <cstdint>
#include <optional>

#include "transport/net/deadline_clock.h"

namespace appsrv::transport {

struct PaceRule {
  // The part must be done this long after its start unless bytes extend it; 0 or less: no
  // deadline at all.
  int32_t first_ms = 0;
  // However many bytes come, the part must be done this long after its start; 0 or less: no
  // cap. A cap below first_ms counts as first_ms.
  int32_t max_ms = 0;
  // Every this many bytes received move the deadline one second later; 0 or less: bytes never
  // extend it.
  int32_t min_rate_bytes_per_sec = 0;
};

// Thread-compatible: one connection's thread owns it.
class PacedDeadline {
 public:
  using TimePoint = DeadlineClock::time_point;

  PacedDeadline(const PaceRule& rule, TimePoint start) : rule_(rule), start_(start) {}

  // The bytes of the part moved in all since its start.
  void SetReceived(int64_t bytes) { received_ = bytes < 0 ? 0 : bytes; }
  // The time by which the part must be done; nullopt when it has none.
  std::optional<TimePoint> Deadline() const;
  // Milliseconds left at `now` (0 once past); nullopt when there is no deadline.
  std::optional<int64_t> MsLeft(TimePoint now) const;

 private:
  PaceRule rule_;
  TimePoint start_;
  int64_t received_ = 0;
};

}  // namespace appsrv::transport
