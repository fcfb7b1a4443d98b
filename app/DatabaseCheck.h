// The application's readiness: whether the database every session opens is there and answers.
#pragma once

#include <string>

#include "server/session/server_controller.h"

namespace appsrv::app {

// Opens a connection of its own over `connection_text` and runs "SELECT 1". Thread-safe.
// `what` names the database ("Database: /opt/appserver/TEST.mdb (SQLite 3.40.1)"); `failure`
// says why it did not open or answer.
server::ReadinessReport CheckDatabase(const std::string& connection_text);

}  // namespace appsrv::app
