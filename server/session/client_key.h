// The key under which the per-client limits count a client address.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace appsrv::server {

// Longest key kept: longer than any address text, so that a forwarded header naming something
// else cannot make one table entry large.
inline constexpr size_t kMaxClientKeyBytes = 64;

// An IPv6 address counts by its /64 prefix ("2001:db8:1:2::/64"): one host is usually handed a
// whole /64 and can choose any address in it. An IPv4 address, an IPv4-mapped IPv6 address
// (as its IPv4 address) and anything else count as their text, cut to kMaxClientKeyBytes.
std::string client_key(std::string_view address);

}  // namespace appsrv::server
