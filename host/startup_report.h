// What the console and the journal say at start besides the listeners: port.ini keys that were
// ignored, and what the application depends on (its database) and whether it answers.
#pragma once

#include <string>
#include <vector>

#include "server/session/server_controller.h"

namespace appsrv::host {

struct StartupLine {
  bool warning = false;
  std::string text;
};

// Runs the controller's readiness probe once (it may take as long as the database takes to
// answer or refuse).
std::vector<StartupLine> StartupReport(const server::TSvServerControllerBase& controller);

}  // namespace appsrv::host
