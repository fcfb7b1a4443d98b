// One line of the access log in the combined format that nginx and Apache write, followed by
// the request's duration in microseconds and the start of its session identifier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace appsrv::transport {

// Characters of the session identifier a line keeps: enough to follow one session through the
// log, too few to take it over.
inline constexpr size_t kLoggedSessionIdChars = 6;
// Request text longer than this is cut (and ends in "...") so that one line stays small.
inline constexpr size_t kMaxLoggedFieldBytes = 4096;

// Views into the request and response; they must outlive the call that formats them.
struct AccessLogEntry {
  std::string_view client;        // the client's address
  std::time_t when = 0;           // the request's arrival
  std::string_view request_line;  // "" when none was read
  int status = 0;
  int64_t body_bytes = 0;
  std::string_view referer;
  std::string_view user_agent;
  int64_t duration_us = 0;
  std::string_view session_id;  // whole; "" when the request has none
};

// client - - [dd/Mon/yyyy:hh:mm:ss +zzzz] "request line" status bytes "referer" "user agent"
// microseconds session. Absent text is "-". Request text is escaped: '"', '\', control bytes
// and bytes from 0x7F up become \xHH, so that nothing a client sends can end a field or start
// a line. The session identifier appears only as its first characters, also inside the
// request line and the referer (the rest becomes "*").
std::string format_access_log_line(const AccessLogEntry& entry);

// Appends `text` escaped as above, cut at kMaxLoggedFieldBytes.
void append_escaped(std::string& out, std::string_view text);

}  // namespace appsrv::transport
