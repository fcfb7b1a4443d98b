// The limits the HTTP server puts on what one request may make it hold, and on how long a
// connection may take, in one place.
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
  int64_t max_form_bytes = int64_t{8} << 20;
  // Any other body goes to a temporary file above 32 KiB: beyond this the reply is 413.
  int64_t max_body_bytes = int64_t{1} << 30;
  // A folded header line (one that starts with a blank) gets 400; off, it is kept as a line
  // of its own.
  bool refuse_folded_lines = true;
  // Time-outs in milliseconds; 0 or less: none. The request line and headers must be complete
  // this long after their first byte (a deadline for the whole block, not per read).
  int32_t header_timeout_ms = 30000;
  // The body may pause this long between bytes.
  int32_t body_idle_timeout_ms = 60000;
  // A send may make no progress this long.
  int32_t send_stall_timeout_ms = 60000;
  // A connection may wait this long for the first byte of its next request.
  int32_t idle_timeout_ms = 15000;
  // After the last reply of a connection whose client had sent more than the server read, the
  // server reads and drops what comes until the client closes, for at most this long: closing
  // with unread bytes resets the connection, and the reset can destroy the reply before the
  // client has read it. 0 or less: only what has arrived already is dropped.
  int32_t close_linger_ms = 2000;
};

}  // namespace appsrv::transport
