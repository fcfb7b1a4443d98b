#include "transport/net/client_slots.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace appsrv::transport {

std::optional<ClientKey> client_key(std::string_view address) {
  // inet_pton needs a terminated string; no address is longer than this.
  char text[INET6_ADDRSTRLEN] = {};
  if (address.empty() || address.size() >= sizeof(text)) {
    return std::nullopt;
  }
  std::memcpy(text, address.data(), address.size());
  ClientKey key{};
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text, &v6) == 1) {
    std::memcpy(key.data(), &v6, key.size());
    return key;
  }
  in_addr v4{};
  if (::inet_pton(AF_INET, text, &v4) == 1) {
    key[10] = 0xff;
    key[11] = 0xff;
    std::memcpy(key.data() + 12, &v4, sizeof(v4));
    return key;
  }
  return std::nullopt;
}

ClientSlots::Slot::Slot(Slot&& other) noexcept
    : table_(std::exchange(other.table_, nullptr)), key_(other.key_) {}

ClientSlots::Slot& ClientSlots::Slot::operator=(Slot&& other) noexcept {
  if (this != &other) {
    release();
    table_ = std::exchange(other.table_, nullptr);
    key_ = other.key_;
  }
  return *this;
}

ClientSlots::Slot::~Slot() { release(); }

void ClientSlots::Slot::release() noexcept {
  if (table_ != nullptr) {
    std::exchange(table_, nullptr)->give_back(key_);
  }
}

size_t ClientSlots::KeyHash::operator()(const ClientKey& key) const noexcept {
  uint64_t high = 0;
  uint64_t low = 0;
  std::memcpy(&high, key.data(), sizeof(high));
  std::memcpy(&low, key.data() + sizeof(high), sizeof(low));
  return std::hash<uint64_t>()(high ^ (low * 0x9E3779B97F4A7C15ULL));
}

void ClientSlots::Configure(int32_t max_per_client, const std::vector<std::string>& exempt) {
  max_per_client_ = max_per_client;
  exempt_.clear();
  for (const std::string& address : exempt) {
    if (const std::optional<ClientKey> key = client_key(address)) {
      exempt_.push_back(*key);
    }
  }
}

std::optional<ClientSlots::Slot> ClientSlots::Take(std::string_view peer_ip) {
  if (max_per_client_ <= 0) {
    return Slot();
  }
  const std::optional<ClientKey> key = client_key(peer_ip);
  if (!key || std::find(exempt_.begin(), exempt_.end(), *key) != exempt_.end()) {
    return Slot();
  }
  std::scoped_lock lock(mu_);
  int32_t& count = counts_[*key];
  if (count >= max_per_client_) {
    return std::nullopt;
  }
  ++count;
  return Slot(this, *key);
}

int32_t ClientSlots::Count(std::string_view peer_ip) const {
  const std::optional<ClientKey> key = client_key(peer_ip);
  if (!key) {
    return 0;
  }
  std::scoped_lock lock(mu_);
  const auto it = counts_.find(*key);
  return it == counts_.end() ? 0 : it->second;
}

void ClientSlots::give_back(const ClientKey& key) noexcept {
  std::scoped_lock lock(mu_);
  const auto it = counts_.find(key);
  if (it != counts_.end() && --it->second <= 0) {
    counts_.erase(it);
  }
}

}  // namespace appsrv::transport
