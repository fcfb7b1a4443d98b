#include "server/session/configuration_lock.h"

#include <atomic>

namespace appsrv::server {

namespace {
std::atomic<bool> locked{false};
}  // namespace

bool configuration_locked() { return locked.load(); }

void set_configuration_locked(bool value) { locked.store(value); }

}  // namespace appsrv::server
