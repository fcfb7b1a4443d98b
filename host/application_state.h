// What the running program as a whole has been told: whether it is to end without opening its
// window, and the status the process ends with. Safe from any thread.
#pragma once

namespace appsrv::host {

// Asks the program to end; start-up then opens no window.
void TerminateApplication();
bool ApplicationTerminated();

// The status main() returns; 0 until something that failed sets it.
void SetExitCode(int code);
int ExitCode();

}  // namespace appsrv::host
