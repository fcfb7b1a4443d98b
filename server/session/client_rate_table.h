// Per-client token buckets: how many new sessions each client address may start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/date_time.h"

namespace appsrv::server {

// Clients remembered at once. Strangers choose their addresses (many IPv6 addresses, or the
// forwarded header behind a trusted proxy), so the table must not grow with them: at about
// 150 bytes an entry this is some 10 MB at most.
inline constexpr size_t kMaxTrackedClients = 65536;

// The outcome of asking for a token.
struct RateVerdict {
  bool granted = false;
  int32_t retry_after_seconds = 0;  // when refused: when the next token will be there
};

// A bucket per client key (client_key()) holding up to `burst` tokens that refill at
// `per_minute`; a new client starts with a full bucket. Entries whose bucket has filled up
// again are forgotten (they say nothing a new entry would not), and beyond `max_clients` the
// least recently seen client is forgotten. Time comes from the caller (the session layer's
// clock), so tests drive it. Thread-safe.
class ClientRateTable {
 public:
  explicit ClientRateTable(size_t max_clients = kMaxTrackedClients) : max_clients_(max_clients) {}
  ClientRateTable(const ClientRateTable&) = delete;
  ClientRateTable& operator=(const ClientRateTable&) = delete;

  // Takes a token from `address`'s bucket at `now`. A burst below 1 counts as 1; `per_minute`
  // must be above 0.
  RateVerdict Take(std::string_view address, base::DateTime now, double per_minute, double burst);
  // Clients remembered now.
  size_t size() const;

 private:
  struct Entry {
    std::string key;
    double tokens = 0;
    base::DateTime last = 0;  // when `tokens` was last brought up to date
  };
  using Order = std::list<Entry>;  // most recently seen first

  // The tokens `e` holds at `now`, at most `burst`.
  static double refilled(const Entry& e, base::DateTime now, double per_second, double burst);
  // REQUIRES: mu_ held.
  void forget_full_locked(base::DateTime now, double per_second, double burst);
  // REQUIRES: mu_ held.
  void erase_locked(Order::iterator it);

  const size_t max_clients_;
  mutable std::mutex mu_;
  Order order_;  // guarded by mu_
  // Keys view the entries' own `key`, which stay put in their list nodes. Guarded by mu_.
  std::unordered_map<std::string_view, Order::iterator> index_;
};

}  // namespace appsrv::server
