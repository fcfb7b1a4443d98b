// A byte channel for fuzz targets: the peer's bytes arrive in the given pieces, then the peer
// stops sending (end of stream) while still taking everything the server writes. No threads,
// so one input always runs the same way.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "transport/net/byte_channel.h"
#include "transport/net/socket_errors.h"

namespace appsrv::fuzz {

class ScriptedChannel : public transport::ByteChannel {
 public:
  // Cuts `input` into pieces of `piece` bytes (0: one piece).
  ScriptedChannel(std::string_view input, size_t piece, std::string& sent) : sent_(sent) {
    if (piece == 0) {
      piece = input.size();
    }
    for (size_t at = 0; at < input.size(); at += piece) {
      pieces_.emplace_back(input.substr(at, piece));
    }
  }

  bool WaitReadable(int) override { return true; }

  transport::IoResult Receive(void* buffer, size_t size) override {
    if (closed_) {
      return {-1, transport::kWSAESHUTDOWN};
    }
    if (pieces_.empty()) {
      return {0, 0};
    }
    std::string& piece = pieces_.front();
    const size_t n = std::min(size, piece.size());
    std::memcpy(buffer, piece.data(), n);
    piece.erase(0, n);
    if (piece.empty()) {
      pieces_.pop_front();
    }
    return {static_cast<int64_t>(n), 0};
  }

  transport::IoResult Send(const void* data, size_t size) override {
    if (closed_) {
      return {-1, transport::kWSAESHUTDOWN};
    }
    sent_.append(static_cast<const char*>(data), size);
    return {static_cast<int64_t>(size), 0};
  }

  void Close() override { closed_ = true; }
  bool IsOpen() const override { return !closed_; }

 private:
  std::deque<std::string> pieces_;
  std::string& sent_;
  bool closed_ = false;
};

}  // namespace appsrv::fuzz
