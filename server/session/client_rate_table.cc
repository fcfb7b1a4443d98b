#include "server/session/client_rate_table.h"

#include <algorithm>
#include <cmath>

#include "server/session/client_key.h"

namespace appsrv::server {

double ClientRateTable::refilled(const Entry& e, base::DateTime now, double per_second,
                                 double burst) {
  // A wall clock set back earns nothing rather than taking tokens away.
  const double elapsed_seconds = std::max(0.0, (now - e.last) * 86400.0);
  return std::min(burst, e.tokens + elapsed_seconds * per_second);
}

RateVerdict ClientRateTable::Take(std::string_view address, base::DateTime now, double per_minute,
                                  double burst) {
  burst = std::max(burst, 1.0);
  const double per_second = per_minute / 60.0;
  std::string key = client_key(address);
  std::scoped_lock lock(mu_);
  forget_full_locked(now, per_second, burst);
  Order::iterator it;
  if (const auto found = index_.find(key); found != index_.end()) {
    it = found->second;
    it->tokens = refilled(*it, now, per_second, burst);
    it->last = now;
    order_.splice(order_.begin(), order_, it);
  } else {
    if (!order_.empty() && order_.size() >= max_clients_) {
      erase_locked(std::prev(order_.end()));
    }
    order_.push_front(Entry{std::move(key), burst, now});
    it = order_.begin();
    index_.emplace(it->key, it);
  }
  RateVerdict verdict;
  if (it->tokens >= 1.0) {
    it->tokens -= 1.0;
    verdict.granted = true;
  } else {
    verdict.retry_after_seconds =
        static_cast<int32_t>(std::clamp(std::ceil((1.0 - it->tokens) / per_second), 1.0, 86400.0));
  }
  return verdict;
}

void ClientRateTable::forget_full_locked(base::DateTime now, double per_second, double burst) {
  // The least recently seen entry is the first to fill up, unless it was emptier than the
  // next; either way every entry unseen for longer than a whole refill goes.
  while (!order_.empty() && refilled(order_.back(), now, per_second, burst) >= burst) {
    erase_locked(std::prev(order_.end()));
  }
}

void ClientRateTable::erase_locked(Order::iterator it) {
  index_.erase(it->key);
  order_.erase(it);
}

size_t ClientRateTable::size() const {
  std::scoped_lock lock(mu_);
  return order_.size();
}

}  // namespace appsrv::server
