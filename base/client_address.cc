#include "base/client_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <optional>

#include "base/text.h"

namespace appsrv::base {
namespace {

constexpr std::string_view kForwardedFor = "X-Forwarded-For";
constexpr std::string_view kForwardingNames[] = {kForwardedFor, "Forwarded", "Client-IP",
                                                 "HTTP_X_FORWARDED_FOR", "HTTP_CLIENT_IP"};

// The value of `line` when its name is `name`.
std::optional<std::string_view> value_if_named(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':' ||
      !iequals(line.substr(0, name.size()), name)) {
    return std::nullopt;
  }
  return line.substr(name.size() + 1);
}

}  // namespace

std::string canonical_ip_address(std::string_view text) {
  // inet_pton wants a terminated string, and an address is short.
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) {
    return {};
  }
  const std::string terminated(text);
  char out[INET6_ADDRSTRLEN] = {};
  in_addr v4{};
  if (::inet_pton(AF_INET, terminated.c_str(), &v4) == 1) {
    return ::inet_ntop(AF_INET, &v4, out, sizeof out) != nullptr ? out : "";
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, terminated.c_str(), &v6) == 1) {
    return ::inet_ntop(AF_INET6, &v6, out, sizeof out) != nullptr ? out : "";
  }
  return {};
}

ClientAddress client_address(std::string_view peer, std::span<const std::string> header_lines,
                             std::span<const std::string> trusted) {
  bool forwarding = false;
  std::optional<std::string_view> forwarded_for;  // the last line's
  for (const std::string& line : header_lines) {
    for (std::string_view name : kForwardingNames) {
      if (const std::optional<std::string_view> value = value_if_named(line, name)) {
        forwarding = true;
        if (name == kForwardedFor) {
          forwarded_for = value;
        }
      }
    }
  }
  const bool from_trusted = std::find(trusted.begin(), trusted.end(), peer) != trusted.end();
  if (from_trusted && forwarded_for) {
    // A proxy appends the address it saw, as a line of its own or after a comma.
    std::string_view hop = *forwarded_for;
    if (const size_t comma = hop.rfind(','); comma != std::string_view::npos) {
      hop.remove_prefix(comma + 1);
    }
    std::string address = canonical_ip_address(trim(hop));
    if (!address.empty()) {
      return {std::move(address), false};
    }
  }
  return {std::string(peer), forwarding};
}

}  // namespace appsrv::base
