// Waking a waiting loop: a pipe that other threads and the close signals (SIGINT, SIGTERM)
// write one-byte messages to, and the signal handlers that do so.
#pragma once

#include "base/unique_fd.h"

namespace appsrv::host {

// Both ends non-blocking and close-on-exec; the owner polls read_fd().
class WakePipe {
 public:
  // Throws base::Exception when the pipe cannot be made.
  WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int read_fd() const { return read_fd_.get(); }
  int write_fd() const { return write_fd_.get(); }
  // Safe from any thread. A full pipe drops the byte: its reader has plenty to wake it.
  void Post(char message) const;

 private:
  base::UniqueFd read_fd_;
  base::UniqueFd write_fd_;
};

// While it exists, SIGINT and SIGTERM set Requested() and write `message` to `wake_fd` (which
// may drop it when full, so the waiting loop checks Requested() whenever it wakes) instead of
// ending the process, SIGHUP asks the log files to reopen (log rotation) and SIGPIPE is ignored (a peer
// that goes away must not end the server). Created and destroyed on the main thread, one at a
// time; the destructor restores the earlier handlers.
class CloseSignals {
 public:
  CloseSignals(int wake_fd, char message);
  ~CloseSignals();
  CloseSignals(const CloseSignals&) = delete;
  CloseSignals& operator=(const CloseSignals&) = delete;

  // True once SIGINT or SIGTERM arrived since construction. Safe from any thread.
  bool Requested() const;
};

}  // namespace appsrv::host
