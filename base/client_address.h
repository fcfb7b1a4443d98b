// Who sent a request: the connection's peer, or the client that a trusted proxy in front of
// the server names. The access log, the metrics page, error details and sessions all ask here.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace appsrv::base {

struct ClientAddress {
  std::string address;
  // The request carries a forwarded-client header (X-Forwarded-For, Forwarded, Client-IP and
  // the CGI-style HTTP_X_FORWARDED_FOR, HTTP_CLIENT_IP) that `address` was not taken from: it
  // claims to speak for someone the server cannot name, so it is not the peer's own request.
  bool unvouched_forwarding = false;
};

// `header_lines` are the request's raw "Name: value" lines. From a peer listed in `trusted`,
// the client is the last hop of the last X-Forwarded-For line (the address the proxy itself
// saw; the hops before it are the client's own words) when that hop is an IPv4 or IPv6
// address, written in its canonical form; otherwise, and from any other peer, it is the peer.
ClientAddress client_address(std::string_view peer, std::span<const std::string> header_lines,
                             std::span<const std::string> trusted);

// `text` in the canonical form of an IPv4 or IPv6 address, or "" when it is neither.
std::string canonical_ip_address(std::string_view text);

}  // namespace appsrv::base
