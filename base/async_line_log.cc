#include "base/async_line_log.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "base/exception.h"
#include "base/files.h"

namespace appsrv::base {
namespace {

// Bumped by request_log_reopen; each log compares it with the generation its file was opened
// in. Lock-free, so a signal handler may bump it.
std::atomic<uint64_t> g_reopen_generation{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

int open_log_file(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

}  // namespace

void request_log_reopen() noexcept { g_reopen_generation.fetch_add(1); }

AsyncLineLog::AsyncLineLog(Options options) : options_(std::move(options)) {
  opened_at_ = g_reopen_generation.load();
  if (options_.path.empty()) {
    fd_ = STDOUT_FILENO;
  } else {
    file_.reset(open_log_file(options_.path));
    if (!file_.valid()) {
      throw Exception("Could not open \"" + options_.path + "\": " + errno_text(errno));
    }
    fd_ = file_.get();
  }
  writer_ = std::thread([this] { run(); });
}

AsyncLineLog::~AsyncLineLog() {
  {
    std::scoped_lock lock(mu_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

bool AsyncLineLog::Append(std::string line) {
  line += '\n';
  bool wake = false;
  {
    std::scoped_lock lock(mu_);
    if (queued_bytes_ + line.size() > options_.max_queued_bytes) {
      ++appended_;
      ++done_;
      count_dropped(1);
      return false;
    }
    queued_bytes_ += line.size();
    queue_.push_back(std::move(line));
    ++appended_;
    // The writer otherwise wakes on its interval: a wake-up per line would cost every request
    // a system call.
    wake = queued_bytes_ >= options_.max_queued_bytes / 2;
  }
  if (wake) {
    wake_.notify_one();
  }
  return true;
}

void AsyncLineLog::Flush() {
  std::unique_lock lock(mu_);
  const uint64_t target = appended_;
  flush_wanted_ = true;
  wake_.notify_one();
  written_.wait(lock, [&] { return done_ >= target; });
}

void AsyncLineLog::run() {
  // Requests come first: a batch written at the wrong moment would stall one of them on a
  // busy machine. A writer that falls behind drops lines, which are counted.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
  std::vector<std::string> batch;
  std::unique_lock lock(mu_);
  while (true) {
    wake_.wait_for(lock, options_.write_interval, [&] {
      return stop_ || flush_wanted_ || queued_bytes_ >= options_.max_queued_bytes / 2;
    });
    batch.swap(queue_);
    queued_bytes_ = 0;
    flush_wanted_ = false;
    const bool stopping = stop_;
    lock.unlock();
    reopen_if_asked();
    write_batch(batch);
    const uint64_t handled = batch.size();
    batch.clear();
    lock.lock();
    done_ += handled;
    written_.notify_all();
    if (stopping) {
      return;
    }
  }
}

void AsyncLineLog::reopen_if_asked() {
  const uint64_t generation = g_reopen_generation.load();
  if (generation == opened_at_) {
    return;
  }
  opened_at_ = generation;
  if (fd_ == STDOUT_FILENO) {
    return;
  }
  // A file that cannot be opened now (a folder gone read-only) leaves the old one in use:
  // lines still land somewhere, and the next reopen tries again.
  const int fd = open_log_file(options_.path);
  if (fd >= 0) {
    file_.reset(fd);
    fd_ = fd;
  }
}

void AsyncLineLog::write_batch(const std::vector<std::string>& lines) {
  if (lines.empty()) {
    return;
  }
  write_buffer_.clear();
  for (const std::string& line : lines) {
    write_buffer_ += line;
  }
  if (write_all(fd_, write_buffer_) != 0) {
    count_dropped(lines.size());
  }
  // A burst can leave a large buffer behind; it is not kept for the quiet time after.
  if (write_buffer_.capacity() > (size_t{1} << 20)) {
    std::string().swap(write_buffer_);
  }
}

void AsyncLineLog::count_dropped(uint64_t n) {
  dropped_.fetch_add(n, std::memory_order_relaxed);
  if (options_.dropped != nullptr) {
    options_.dropped->add(n);
  }
}

}  // namespace appsrv::base
