// Reading the session identifier and track identifier a request carries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace appsrv::server {

struct SessionCarrier {
  std::string app_id;     // empty when the request names no session
  int64_t track_id = -1;  // -1 when none
};

// Splits a carrier text (a cookie value, a parameter, a query) at its first "_": the session
// identifier, then the track identifier in base 36 (TrackIDFromText).
SessionCarrier parse_session_carrier(std::string_view carrier);

// The path segment just before the first "/$": "/abc/$/x" -> "abc"; "" when the path has no
// "/$" or nothing before it.
std::string session_segment_of_path(std::string_view path);

}  // namespace appsrv::server
