// ClientSlots: the connections each client (peer address) holds at once, counted at accept, so
// that one client cannot take every connection slot of a server.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace appsrv::transport {

// A peer address as 16 bytes, IPv4 as IPv4-mapped IPv6, so that "192.0.2.1" and
// "::ffff:192.0.2.1" are one client.
using ClientKey = std::array<uint8_t, 16>;

// The key of a textual IPv4 or IPv6 address; nullopt when the text is not one.
std::optional<ClientKey> client_key(std::string_view address);

// Thread-safe. Configure only while no slot is held (the server is inactive); a slot must not
// outlive the table that gave it.
class ClientSlots {
 public:
  // One connection's place in its client's count; gives it back when destroyed. Move-only.
  class Slot {
   public:
    Slot() = default;
    Slot(Slot&& other) noexcept;
    Slot& operator=(Slot&& other) noexcept;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot();

   private:
    friend class ClientSlots;
    Slot(ClientSlots* table, const ClientKey& key) : table_(table), key_(key) {}
    void release() noexcept;

    ClientSlots* table_ = nullptr;  // null: counts nothing
    ClientKey key_{};
  };

  ClientSlots() = default;
  ClientSlots(const ClientSlots&) = delete;
  ClientSlots& operator=(const ClientSlots&) = delete;

  // `max_per_client` 0 or less: no cap. The `exempt` addresses (proxies, which speak for many
  // clients) are never counted; entries that are not addresses are ignored.
  void Configure(int32_t max_per_client, const std::vector<std::string>& exempt);
  int32_t MaxPerClient() const { return max_per_client_; }

  // A slot for one more connection from `peer_ip`; nullopt when that client holds the cap
  // already. Without a cap, for an exempt peer or for a peer that is not an address: a slot
  // that counts nothing.
  std::optional<Slot> Take(std::string_view peer_ip);
  // Connections counted for `peer_ip` now.
  int32_t Count(std::string_view peer_ip) const;

 private:
  struct KeyHash {
    size_t operator()(const ClientKey& key) const noexcept;
  };

  void give_back(const ClientKey& key) noexcept;

  // Set by Configure only.
  int32_t max_per_client_ = 0;
  std::vector<ClientKey> exempt_;

  mutable std::mutex mu_;
  std::unordered_map<ClientKey, int32_t, KeyHash> counts_;  // guarded by mu_; no zero counts
};

}  // namespace appsrv::transport
