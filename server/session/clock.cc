#include "server/session/clock.h"

namespace appsrv::server {

namespace {

class SystemClock : public Clock {
 public:
  base::DateTime now() const override { return base::now(); }
};

}  // namespace

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

}  // namespace appsrv::server
