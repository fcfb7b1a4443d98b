// The limits and sizes of connection I/O, in one place, so that a server (or a test) can set
// small values for every connection it accepts.
#pragma once

#include <cstdint>

#include "transport/net/deadline_clock.h"
#include "transport/net/text_encoding.h"

namespace appsrv::transport {

// A timeout argument that means "the handler's ReadTimeout".
constexpr int kTimeoutDefault = -1;
// A timeout value that means "wait without limit".
constexpr int kTimeoutInfinite = -2;

enum class TInMaxLineAction { maException, maSplit };

struct IOHandlerSettings {
  // Longest line ReadLn accepts, terminator excluded; 0 or less = no limit. Unterminated input
  // longer than this fails as well, so a peer cannot make a read buffer without end.
  int32_t max_line_length = 32768;
  TInMaxLineAction max_line_action = TInMaxLineAction::maException;
  // Capture stores at most this many lines + 1; 0 or less = no limit.
  int32_t max_captured_lines = -1;
  // Milliseconds a read waits for data; -1 and 0 = no limit.
  int32_t read_timeout_ms = -1;
  // A send that can move nothing for this long fails; 0 or less = no limit. Set once on the
  // listening sockets: the sockets they accept inherit it.
  int32_t send_timeout_ms = 0;
  int32_t recv_buffer_size = 32768;
  int32_t send_buffer_size = 32768;
  // Stream transfers of 2 GB and more are allowed.
  bool large_stream = false;
  // Encoding of string operations that are given none; nullptr = ASCII.
  const IInTextEncoding* default_encoding = nullptr;
  // What the read and send deadlines are counted in; never null, and it outlives the handlers.
  const DeadlineClock* clock = &steady_deadline_clock();
};

}  // namespace appsrv::transport
