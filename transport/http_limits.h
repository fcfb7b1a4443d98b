// The limits the HTTP server puts on what one request may make it hold, in one place.
#pragma once

#include <cstdint>

namespace appsrv::transport {

struct HttpLimits {
  // Request line plus header lines, line ends included; beyond it the reply is 431 and the
  // connection closes, so that many long header lines cannot pile up.
  int64_t max_header_bytes = 64 * 1024;
  // Header lines of one request (and trailer lines of a chunked body), plus one.
  int32_t max_header_lines = 1024;
  // A form-encoded body is decoded in memory: beyond this the reply is 413.
  int64_t max_form_bytes = 32 * 1024 * 1024;
  // Any other body goes to a temporary file above 32 KiB: beyond this the reply is 413.
  int64_t max_body_bytes = int64_t{4} * 1024 * 1024 * 1024;
};

}  // namespace appsrv::transport
