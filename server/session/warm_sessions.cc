#include "server/session/warm_sessions.h"

#include <algorithm>

#include "server/session/session.h"

namespace appsrv::server {

bool WarmSessions::Admit(TSvApplication& s, base::DateTime now, size_t capacity) {
  std::scoped_lock lock(mu_);
  const auto mine =
      std::find_if(places_.begin(), places_.end(), [&](const Place& p) { return p.session == &s; });
  if (mine != places_.end()) {
    std::rotate(mine, mine + 1, places_.end());
    places_.back().last_used = now;
    return true;
  }
  if (capacity == 0) {
    return false;
  }
  // Also shrinks the set when the capacity was lowered.
  while (places_.size() >= capacity) {
    const auto evicted = std::find_if(places_.begin(), places_.end(), release_if_idle);
    if (evicted == places_.end()) {
      return false;
    }
    places_.erase(evicted);
  }
  places_.push_back({&s, now});
  return true;
}

size_t WarmSessions::ReleaseIdle(base::DateTime now, std::chrono::milliseconds idle_for) {
  const double idle_days = idle_for.count() / base::kMillisecondsPerDay;
  std::scoped_lock lock(mu_);
  const size_t before = places_.size();
  // A microsecond of slack keeps the day-fraction arithmetic from missing an exact boundary.
  std::erase_if(places_, [&](const Place& p) {
    return now - p.last_used + 1e-6 / 86400 >= idle_days && release_if_idle(p);
  });
  return before - places_.size();
}

void WarmSessions::Forget(const TSvApplication* s) noexcept {
  std::scoped_lock lock(mu_);
  std::erase_if(places_, [&](const Place& p) { return p.session == s; });
}

size_t WarmSessions::size() const {
  std::scoped_lock lock(mu_);
  return places_.size();
}

bool WarmSessions::release_if_idle(const Place& place) noexcept {
  TSvApplication& s = *place.session;
  if (!s.TryLock()) {
    return false;
  }
  if (s.FData) {
    s.FData->ReleaseWarmResources();
  }
  s.Unlock();
  return true;
}

}  // namespace appsrv::server
