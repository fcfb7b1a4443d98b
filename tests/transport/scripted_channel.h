// A peer on virtual time for deadline tests: its pieces arrive at set moments of a test clock,
// and a wait that nothing ends moves the clock on by its length instead of sleeping. A server
// driven through it runs on the test's own thread, fast, and a deadline either passes or not.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "transport/net/byte_channel.h"
#include "transport/net/deadline_clock.h"
#include "transport/net/socket_errors.h"

namespace appsrv::transport::testing {

// Time that moves only when a test (or a ScriptedChannel) moves it.
class ManualClock : public DeadlineClock {
 public:
  time_point now() const override { return now_.load(); }
  void Advance(std::chrono::milliseconds by) { now_.store(now_.load() + by); }
  void AdvanceTo(time_point t) { now_.store(std::max(now_.load(), t)); }

 private:
  std::atomic<time_point> now_{time_point{std::chrono::hours(1)}};
};

// The server's end of a connection whose peer sends `pieces` `gap_ms` apart on `clock`, the
// first at once, and then stays silent for `silence_ms` before it closes; with `end_sending`
// it half-closes right after its last piece instead. The peer closes as soon as the server
// ends its side, as a client reading to the end of the stream does. Each piece is received
// whole or in parts, never together with the next. What the server sends is appended to `sent`,
// which outlives the channel. One thread only.
class ScriptedChannel : public ByteChannel {
 public:
  ScriptedChannel(ManualClock& clock, const std::vector<std::string>& pieces, int gap_ms,
                  bool end_sending, int silence_ms, std::string& sent)
      : clock_(clock), sent_(sent) {
    time_point at = clock.now();
    for (const std::string& piece : pieces) {
      if (!piece.empty()) {
        pieces_.push_back({at, piece});
      }
      at += std::chrono::milliseconds(gap_ms);
    }
    // The peer's last sleep follows its last piece, as the first follows its first.
    end_ = end_sending ? at : at + std::chrono::milliseconds(silence_ms);
  }

  bool WaitReadable(int timeout_ms) override {
    if (closed_ || (next_ < pieces_.size() && pieces_[next_].at <= clock_.now()) ||
        end_ <= clock_.now()) {
      return true;
    }
    const time_point event = next_ < pieces_.size() ? pieces_[next_].at : end_;
    if (timeout_ms < 0 || clock_.now() + std::chrono::milliseconds(timeout_ms) >= event) {
      clock_.AdvanceTo(event);
      return true;
    }
    clock_.Advance(std::chrono::milliseconds(timeout_ms));
    return false;
  }

  IoResult Receive(void* buffer, size_t size) override {
    WaitReadable(-1);
    if (closed_) {
      return {-1, kWSAESHUTDOWN};
    }
    if (next_ >= pieces_.size() || pieces_[next_].at > clock_.now()) {
      return {0, 0};  // the peer closed and everything it sent has been read
    }
    std::string& bytes = pieces_[next_].bytes;
    const size_t n = std::min(size, bytes.size());
    std::memcpy(buffer, bytes.data(), n);
    bytes.erase(0, n);
    if (bytes.empty()) {
      ++next_;
    }
    return {static_cast<int64_t>(n), 0};
  }

  IoResult Send(const void* data, size_t size) override {
    if (closed_ || ended_) {
      return {-1, kWSAESHUTDOWN};
    }
    sent_.append(static_cast<const char*>(data), size);
    return {static_cast<int64_t>(size), 0};
  }

  bool EndSending() override {
    if (closed_) {
      return false;
    }
    ended_ = true;
    end_ = std::min(end_, clock_.now());
    return true;
  }
  void Close() override { closed_ = true; }
  bool IsOpen() const override { return !closed_; }

 private:
  using time_point = DeadlineClock::time_point;
  struct Piece {
    time_point at;
    std::string bytes;
  };

  ManualClock& clock_;
  std::string& sent_;
  std::vector<Piece> pieces_;
  size_t next_ = 0;  // the first piece not yet received whole
  time_point end_;   // when the peer closes, once it has sent everything
  bool ended_ = false;
  bool closed_ = false;
};

}  // namespace appsrv::transport::testing
