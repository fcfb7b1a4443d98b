// The start-up both programs share: appserver opens the console window, appserver-service runs
// under systemd (or in the console with -GUI). Whatever the application registers with the
// framework is registered here, so the two programs cannot drift apart.
#pragma once

namespace appsrv::app {

// Registers the application (content handlers, server controller, main form), starts it in
// window mode when `force_ui`, else in service mode, and returns the process's exit status.
// Called once, from main().
int RunProgram(int argc, char** argv, bool force_ui);

}  // namespace appsrv::app
