#include "host/ardo_host.h"

namespace appsrv::host {

// Filled in once the HTTP bridge is part of the build.
HttpHostClass TSaServerArdoClass() { return {}; }

}  // namespace appsrv::host
