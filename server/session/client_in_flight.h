// Per-client counts of requests holding a scarce resource at once (the database).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace appsrv::server {

// Counts, per client key (client_key()), the tickets handed out and not yet given back. A
// client has an entry only while it holds a ticket, so the table is bounded by the requests
// being served. Thread-safe; outlives its tickets.
class ClientInFlight {
 public:
  // One request's place among its client's; gives it back when destroyed. Move-only.
  class Ticket {
   public:
    Ticket(Ticket&& other) noexcept;
    Ticket& operator=(Ticket&& other) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket();

   private:
    friend class ClientInFlight;
    Ticket(ClientInFlight& owner, std::string key) : owner_(&owner), key_(std::move(key)) {}
    void give_back() noexcept;

    ClientInFlight* owner_;  // null once moved from
    std::string key_;
  };

  ClientInFlight() = default;
  ClientInFlight(const ClientInFlight&) = delete;
  ClientInFlight& operator=(const ClientInFlight&) = delete;

  // A ticket for `address`, or nullopt when it already holds `cap` of them (cap <= 0: no cap).
  std::optional<Ticket> TryEnter(std::string_view address, int32_t cap);
  // Tickets `address` holds now.
  int32_t held(std::string_view address) const;
  // Clients holding a ticket now.
  size_t clients() const;

 private:
  void leave(const std::string& key) noexcept;

  mutable std::mutex mu_;
  std::unordered_map<std::string, int32_t> held_;  // guarded by mu_; never holds a 0
};

}  // namespace appsrv::server
