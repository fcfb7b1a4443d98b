#include "host/application_state.h"

#include <atomic>

namespace appsrv::host {
namespace {

std::atomic<bool> g_terminated{false};
std::atomic<int> g_exit_code{0};

}  // namespace

void TerminateApplication() { g_terminated.store(true); }
bool ApplicationTerminated() { return g_terminated.load(); }

void SetExitCode(int code) { g_exit_code.store(code); }
int ExitCode() { return g_exit_code.load(); }

}  // namespace appsrv::host
