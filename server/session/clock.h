// The wall clock as a seam, so that session expiry can be tested without waiting.
#pragma once

#include "base/date_time.h"

namespace appsrv::server {

// Local time as days since 1899-12-30. Implementations are thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual base::DateTime now() const = 0;
};

// The real local clock; lives for the whole process.
Clock& system_clock();

}  // namespace appsrv::server
