// The few sessions that may keep warm resources between their requests.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <vector>

#include "base/date_time.h"

namespace appsrv::server {

class TSvApplication;

// What a session's data may keep warm (SessionData::HoldsWarmResources: a database
// connection's file mapping) makes its next request faster, but each copy counts in full in
// the process's resident memory. So only the most recently used sessions keep it, at most
// `capacity` at any moment however many sessions there are, and sessions idle for a short while
// give it back (ReleaseIdle, from the idle pass).
//
// Lock order: mu_ may be taken while holding one session's lock (the session being admitted);
// under mu_ sessions are only tried (TryLock), never waited for. A place never outlives its
// session: the session forgets its place first thing when it is destroyed.
class WarmSessions {
 public:
  // `s`, locked by the caller, has ended a request and holds warm resources at `now`: true
  // when it may keep them. It keeps its place, takes a free one, or takes the place of the
  // least recently used session that is not serving a request, whose warm resources are given
  // back first. False when there is no place (`capacity` 0, or every place held by a busy
  // session): the caller gives its own back then.
  bool Admit(TSvApplication& s, base::DateTime now, size_t capacity);
  // Gives back the warm resources of the sessions whose last admission was `idle_for` or more
  // before `now` and frees their places; sessions serving a request are left for their own
  // request end. Returns how many places it freed.
  size_t ReleaseIdle(base::DateTime now, std::chrono::milliseconds idle_for);
  // Frees the place of `s`, if it has one; nothing is given back (the session is being
  // destroyed, and its data with it).
  void Forget(const TSvApplication* s) noexcept;
  // Places held right now.
  size_t size() const;

 private:
  struct Place {
    TSvApplication* session;
    base::DateTime last_used;
  };
  // Gives back what the session in `place` keeps warm, when nobody holds that session; true
  // when it did. REQUIRES: mu_ held.
  static bool release_if_idle(const Place& place) noexcept;

  mutable std::mutex mu_;
  std::vector<Place> places_;  // guarded by mu_; least recently used first
};

}  // namespace appsrv::server
