// The framework initialisation hook and the procedure the framework puts into it: creates the
// process-wide server controller from the registered class, with the application log file as
// its log.
#pragma once

namespace appsrv::host {

using FrameworkInitProc = void (*)();

// The process-wide slot; written on the main thread before any request can arrive, read
// without a lock afterwards. The framework fills it with InitializeFramework when the program
// starts.
void SetFrameworkInitHook(FrameworkInitProc proc);
FrameworkInitProc FrameworkInitHook();

// Builds the server controller, which names the calling thread "Sv Main Thread"; throws "No
// server controller is defined." without a registered class, or the controller's own failure.
void InitializeFramework();

}  // namespace appsrv::host
