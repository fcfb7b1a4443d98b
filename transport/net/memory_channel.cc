#include "transport/net/memory_channel.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "transport/net/socket_errors.h"

namespace appsrv::transport {
namespace {

// The state both ends share: one queue of chunks per direction.
struct Pipe {
  std::mutex mu;
  std::condition_variable changed;
  std::deque<std::string> queue[2];  // guarded by mu: queue[i] is read by end i
  bool closed[2] = {false, false};   // guarded by mu: end i has closed
  bool ended[2] = {false, false};    // guarded by mu: end i sends no more (a half close)
};

class MemoryChannel : public ByteChannel {
 public:
  MemoryChannel(std::shared_ptr<Pipe> pipe, int side) : pipe_(std::move(pipe)), side_(side) {}
  ~MemoryChannel() override { Close(); }

  bool WaitReadable(int timeout_ms) override {
    std::unique_lock lock(pipe_->mu);
    auto ready = [&] { return readable_locked(); };
    if (timeout_ms < 0) {
      pipe_->changed.wait(lock, ready);
      return true;
    }
    return pipe_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
  }

  IoResult Receive(void* buffer, size_t size) override {
    std::unique_lock lock(pipe_->mu);
    pipe_->changed.wait(lock, [&] { return readable_locked(); });
    if (pipe_->closed[side_]) {
      return {-1, kWSAESHUTDOWN};
    }
    auto& in = pipe_->queue[side_];
    if (in.empty()) {
      return {0, 0};  // the peer closed and everything it sent has been read
    }
    std::string& chunk = in.front();
    size_t n = std::min(size, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    if (n == chunk.size()) {
      in.pop_front();
    } else {
      chunk.erase(0, n);
    }
    return {static_cast<int64_t>(n), 0};
  }

  IoResult Send(const void* data, size_t size) override {
    std::scoped_lock lock(pipe_->mu);
    if (pipe_->closed[side_] || pipe_->ended[side_]) {
      return {-1, kWSAESHUTDOWN};
    }
    if (pipe_->closed[1 - side_]) {
      return {-1, kWSAECONNRESET};
    }
    if (size > 0) {
      pipe_->queue[1 - side_].emplace_back(static_cast<const char*>(data), size);
    }
    pipe_->changed.notify_all();
    return {static_cast<int64_t>(size), 0};
  }

  bool EndSending() override {
    std::scoped_lock lock(pipe_->mu);
    if (pipe_->closed[side_]) {
      return false;
    }
    pipe_->ended[side_] = true;
    pipe_->changed.notify_all();
    return true;
  }

  void Close() override {
    std::scoped_lock lock(pipe_->mu);
    pipe_->closed[side_] = true;
    pipe_->changed.notify_all();
  }

  bool IsOpen() const override {
    std::scoped_lock lock(pipe_->mu);
    return !pipe_->closed[side_];
  }

 private:
  // REQUIRES: pipe_->mu held.
  bool readable_locked() const {
    return pipe_->closed[side_] || pipe_->closed[1 - side_] || pipe_->ended[1 - side_] ||
           !pipe_->queue[side_].empty();
  }

  std::shared_ptr<Pipe> pipe_;
  int side_;
};

}  // namespace

std::pair<std::unique_ptr<ByteChannel>, std::unique_ptr<ByteChannel>> make_memory_channel_pair() {
  auto pipe = std::make_shared<Pipe>();
  return {std::make_unique<MemoryChannel>(pipe, 0), std::make_unique<MemoryChannel>(pipe, 1)};
}

}  // namespace appsrv::transport
