// The program's transport host class: the HTTP bridge's host, which opens the HTTP (and HTTPS)
// listeners on the controller's ports when it is created.
#pragma once

#include "host/standalone_server.h"

namespace appsrv::host {

HttpHostClass TSaServerArdoClass();

}  // namespace appsrv::host
