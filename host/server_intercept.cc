#include "host/server_intercept.h"

#include <thread>

#include "host/sent_bytes_hook.h"

namespace appsrv::host {

int64_t ThrottleDelayMs(size_t bytes, int32_t bytes_per_second, int64_t elapsed_ms) {
  if (bytes_per_second <= 0) {
    return 0;
  }
  const int64_t allowed = static_cast<int64_t>(bytes) * 1000 / bytes_per_second;
  return elapsed_ms < allowed ? allowed - elapsed_ms : 0;
}

ThrottleTiming ThrottleTiming::Steady() {
  return {[] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
          },
          [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); }};
}

TSvServerIntercept::TSvServerIntercept(int32_t bytes_per_second, ThrottleTiming timing)
    : FBytesPerSecond(bytes_per_second), timing_(std::move(timing)) {}

void TSvServerIntercept::Send(std::string& bytes) {
  if (FBytesPerSecond <= 0) {
    TInConnectionIntercept::Send(bytes);
  } else {
    const int64_t started = timing_.now_ms();
    TInConnectionIntercept::Send(bytes);
    const int64_t delay =
        ThrottleDelayMs(bytes.size(), FBytesPerSecond, timing_.now_ms() - started);
    if (delay > 0) {
      timing_.sleep(std::chrono::milliseconds(delay));
    }
  }
  if (SentBytesSink* sink = SentBytesHook()) {
    sink->LogBytes(static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX)));
  }
}

}  // namespace appsrv::host
