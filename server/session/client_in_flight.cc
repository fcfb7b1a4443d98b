#include "server/session/client_in_flight.h"

#include <utility>

#include "server/session/client_key.h"

namespace appsrv::server {

ClientInFlight::Ticket::Ticket(Ticket&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)), key_(std::move(other.key_)) {}

ClientInFlight::Ticket& ClientInFlight::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    give_back();
    owner_ = std::exchange(other.owner_, nullptr);
    key_ = std::move(other.key_);
  }
  return *this;
}

ClientInFlight::Ticket::~Ticket() { give_back(); }

void ClientInFlight::Ticket::give_back() noexcept {
  if (owner_ != nullptr) {
    std::exchange(owner_, nullptr)->leave(key_);
  }
}

std::optional<ClientInFlight::Ticket> ClientInFlight::TryEnter(std::string_view address,
                                                               int32_t cap) {
  std::string key = client_key(address);
  {
    std::scoped_lock lock(mu_);
    int32_t& count = held_[key];
    if (cap > 0 && count >= cap) {
      return std::nullopt;  // the entry holds `cap` tickets, never 0
    }
    ++count;
  }
  return Ticket(*this, std::move(key));
}

int32_t ClientInFlight::held(std::string_view address) const {
  std::scoped_lock lock(mu_);
  const auto it = held_.find(client_key(address));
  return it == held_.end() ? 0 : it->second;
}

size_t ClientInFlight::clients() const {
  std::scoped_lock lock(mu_);
  return held_.size();
}

void ClientInFlight::leave(const std::string& key) noexcept {
  std::scoped_lock lock(mu_);
  if (const auto it = held_.find(key); it != held_.end() && --it->second <= 0) {
    held_.erase(it);
  }
}

}  // namespace appsrv::server
