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
  // this long after their first byte (a deadline for the whole block, not per read)...
  int32_t header_timeout_ms = 20000;
  // ...moved one second later for every header_min_rate_bytes_per_sec bytes received, up to
  // this long after their first byte: a slow but steady client with large headers gets more
  // time, a client that trickles does not. 0 or less: no cap; a rate of 0 or less: no moving.
  int32_t header_max_timeout_ms = 40000;
  int32_t header_min_rate_bytes_per_sec = 500;
  // The body may pause this long between bytes.
  int32_t body_idle_timeout_ms = 60000;
  // A body must be complete body_rate_grace_ms after it starts, plus one second for every
  // body_min_rate_bytes_per_sec bytes received: after its grace it keeps at least that rate on
  // average. Either 0 or less: no such deadline.
  int32_t body_rate_grace_ms = 20000;
  int32_t body_min_rate_bytes_per_sec = 500;
  // A send may make no progress this long.
  int32_t send_stall_timeout_ms = 60000;
  // A reply must be sent send_timeout_ms after it starts plus one second for every
  // send_min_rate_bytes_per_sec bytes of it sent: a client slower on average than that rate
  // cannot keep a large reply going for ever, one that keeps it up meets the deadline however
  // large the reply. A time-out of 0 or less: no such deadline; a rate of 0 or less: the
  // time-out bounds the whole reply.
  int32_t send_timeout_ms = 60000;
  int32_t send_min_rate_bytes_per_sec = 1000;
  // A connection may wait this long for the first byte of its next request.
  int32_t idle_timeout_ms = 15000;
  // After the last reply of a connection whose client had sent more than the server read, the
  // server reads and drops what comes until the client closes, for at most this long: closing
  // with unread bytes resets the connection, and the reset can destroy the reply before the
  // client has read it. 0 or less: only what has arrived already is dropped.
  int32_t close_linger_ms = 2000;
};

}  // namespace appsrv::transport
