// A log file that request threads add whole lines to without waiting for the disk: lines wait
// in a bounded queue in memory and one writer thread of the log's own writes them out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/metrics.h"
#include "base/unique_fd.h"

namespace appsrv::base {

// Append and Flush are safe from any thread. A line that would take the queue past its bound
// is dropped and counted, as are lines whose write fails. The writer wakes every
// `write_interval` (sooner once the queue is half full) and then writes everything queued in
// one go, reopening the file first when request_log_reopen() was called since its last open.
class AsyncLineLog {
 public:
  struct Options {
    std::string path;  // "" writes to standard output
    size_t max_queued_bytes = size_t{8} << 20;
    std::chrono::milliseconds write_interval{100};
    Counter* dropped = nullptr;  // counts the dropped lines as well, when given
  };

  // Opens (creates, appends to) the file and starts the writer. Throws Exception
  // "Could not open \"<path>\": <system text>".
  explicit AsyncLineLog(Options options);
  // Writes what is queued, then stops the writer.
  ~AsyncLineLog();
  AsyncLineLog(const AsyncLineLog&) = delete;
  AsyncLineLog& operator=(const AsyncLineLog&) = delete;

  // Queues `line` (a line end is added); false when it was dropped.
  bool Append(std::string line);
  // Returns once every line queued before the call has been written (or dropped).
  void Flush();
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  const std::string& path() const { return options_.path; }

 private:
  void run();
  // Writer thread only.
  void reopen_if_asked();
  void write_batch(const std::vector<std::string>& lines);
  void count_dropped(uint64_t n);

  const Options options_;
  UniqueFd file_;             // the log file (none for standard output); as fd_
  int fd_ = -1;               // written by the writer thread only once it runs
  uint64_t opened_at_ = 0;    // writer thread: the reopen generation the file belongs to
  std::string write_buffer_;  // writer thread
  std::atomic<uint64_t> dropped_{0};

  std::mutex mu_;
  std::condition_variable wake_;     // the writer waits here
  std::condition_variable written_;  // Flush waits here
  std::vector<std::string> queue_;   // guarded by mu_
  size_t queued_bytes_ = 0;          // guarded by mu_
  uint64_t appended_ = 0;            // guarded by mu_: lines taken into the queue so far
  uint64_t done_ = 0;                // guarded by mu_: lines written or dropped so far
  bool flush_wanted_ = false;        // guarded by mu_
  bool stop_ = false;                // guarded by mu_
  std::thread writer_;               // last: starts once everything above exists
};

// Asks every AsyncLineLog to reopen its file before its next write, as log rotation needs.
// Async-signal-safe: a SIGHUP handler may call it.
void request_log_reopen() noexcept;

}  // namespace appsrv::base
