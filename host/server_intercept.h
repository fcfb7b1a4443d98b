// TSvServerIntercept: the per-connection hook that simulates a slow connection by pacing every
// buffer the connection sends, and reports each buffer's size to the sent-bytes hook.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "transport/net/connection_intercept.h"

namespace appsrv::host {

// Milliseconds to sleep after a buffer of `bytes` went out in `elapsed_ms`, so that the
// connection sends no faster than `bytes_per_second` (0 or less: no limit).
int64_t ThrottleDelayMs(size_t bytes, int32_t bytes_per_second, int64_t elapsed_ms);

// The clock and the sleep the throttle uses; tests replace them.
struct ThrottleTiming {
  std::function<int64_t()> now_ms;
  std::function<void(std::chrono::milliseconds)> sleep;
  static ThrottleTiming Steady();
};

// Owned by one connection and used on its thread only. The speed is fixed for the life of the
// connection.
class TSvServerIntercept : public transport::TInConnectionIntercept {
 public:
  explicit TSvServerIntercept(int32_t bytes_per_second,
                              ThrottleTiming timing = ThrottleTiming::Steady());
  void Send(std::string& bytes) override;

  int32_t FBytesPerSecond;

 private:
  ThrottleTiming timing_;
};

}  // namespace appsrv::host
