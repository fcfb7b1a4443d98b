#include "server/session/auther.h"

#include "server/session/server_controller.h"

namespace appsrv::server {

bool AuthActive(const TSvServerControllerBase& controller) {
  const TSvAutherBase* auther = controller.Auther();
  return auther != nullptr && auther->AuthPolicy != TAuthPolicy::apRestrictNone;
}

}  // namespace appsrv::server
