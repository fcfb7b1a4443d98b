// The process-wide sent-bytes hook: every connection's send path reports the size of each
// buffer it sent to the one object registered here (the standalone server).
#pragma once

#include <cstdint>

namespace appsrv::host {

class SentBytesSink {
 public:
  // Runs on connection threads, many at once.
  virtual void LogBytes(int32_t ABytes) = 0;

 protected:
  ~SentBytesSink() = default;
};

// The slot is atomic; the registered object must stay alive until every connection that may
// call it has ended, or until it is replaced.
void SetSentBytesHook(SentBytesSink* sink);
SentBytesSink* SentBytesHook();

}  // namespace appsrv::host
