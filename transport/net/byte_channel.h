// The seam through which an I/O handler moves bytes: a socket, a TLS session, or an in-memory
// pair for tests and fuzzing. Protocol code reads and writes through an I/O handler only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace appsrv::transport {

class TInSocketHandle;

// Outcome of one receive or send: `bytes` > 0 moved; `bytes` 0 and `error` 0 after a receive
// means the peer closed; `error` != 0 is a Windows Sockets style code (10054...).
struct IoResult {
  int64_t bytes = 0;
  int error = 0;
  bool timed_out = false;  // ReceiveWithin: nothing came in time
};

// One connection's byte stream. Receive/Send/WaitReadable are called by the one thread that
// serves the connection; Close may be called from any thread, any number of times, and wakes
// a thread blocked in WaitReadable or Receive.
class ByteChannel {
 public:
  ByteChannel() = default;
  ByteChannel(const ByteChannel&) = delete;
  ByteChannel& operator=(const ByteChannel&) = delete;
  virtual ~ByteChannel() = default;

  // True when a receive would not block (data, end of stream or an error are waiting).
  // `timeout_ms` -1 waits without limit, 0 only looks.
  virtual bool WaitReadable(int timeout_ms) = 0;
  // Waits until data, the end of the stream or an error is there (or Close is called), then
  // receives up to `size` bytes.
  virtual IoResult Receive(void* buffer, size_t size) = 0;
  // Receive, waiting at most `timeout_ms` (-1: without limit) for something to arrive;
  // `timed_out` and nothing else set when nothing did.
  virtual IoResult ReceiveWithin(void* buffer, size_t size, int timeout_ms) {
    if (timeout_ms >= 0 && !WaitReadable(timeout_ms)) {
      IoResult r;
      r.timed_out = true;
      return r;
    }
    return Receive(buffer, size);
  }
  // True while a receive hands bytes over only in whole units (TLS records): bytes can then
  // have arrived while nothing can be received yet.
  virtual bool ReceivesInRecords() const { return false; }
  // Sends some of the bytes (at least one unless it fails); never raises SIGPIPE.
  virtual IoResult Send(const void* data, size_t size) = 0;
  // The bytes sent from now on are the last, and EndSending follows them at once: their last
  // partial packet may wait for the end of the stream and leave with it, one packet instead of
  // two. Nothing for channels that cannot hold bytes back.
  virtual void LastSendsFollow() {}
  // Ends this side's stream after everything sent (a half close): the peer reads the end while
  // this side may still receive. False when the channel cannot, or is closed.
  virtual bool EndSending() { return false; }
  virtual void Close() = 0;
  // False once closed on this side.
  virtual bool IsOpen() const = 0;
  // The socket underneath, or nullptr for channels without one.
  virtual TInSocketHandle* Binding() { return nullptr; }
};

}  // namespace appsrv::transport
