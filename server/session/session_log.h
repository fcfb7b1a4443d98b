// The session event log: creation, request and destruction events appended to
// "<application folder><program name>_session.log" in the packet layer's primitive encodings.
#pragma once

#include <string>

#include "server/session/session.h"

namespace appsrv::server {

class TSvServerControllerBase;

// The log file's full path for the controller's application folder and program name.
std::string SessionLogPath(const TSvServerControllerBase& controller);

// Appends one event under a process-wide lock; a new file first gets its header. A file that
// cannot be opened or written fails no request: the controller notes it (NoteSessionLogFailure).
void WriteSessionEvent(const TSvServerControllerBase& controller, const TSvApplication& session,
                       TSessionEvent event) noexcept;

}  // namespace appsrv::server
