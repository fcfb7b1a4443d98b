#include "host/framework_init.h"

#include <string_view>

#include "host/app_log.h"
#include "render/session_forms.h"
#include "server/pipeline/controller_start.h"
#include "server/session/server_controller.h"

namespace appsrv::host {
namespace {

FrameworkInitProc g_init_hook = nullptr;

// The framework's module initialisation: the slot is filled before main() runs, as linking the
// framework does; constant-initialised above, so the order of static initialisers is no issue.
const bool g_hook_registered = (SetFrameworkInitHook(&InitializeFramework), true);

}  // namespace

void SetFrameworkInitHook(FrameworkInitProc proc) { g_init_hook = proc; }

FrameworkInitProc FrameworkInitHook() {
  (void)g_hook_registered;
  return g_init_hook;
}

void InitializeFramework() {
  server::ControllerEnvironment env = server::ControllerEnvironment::Default();
  env.log_line = [](std::string_view line) { AppendApplicationLog(line, "log"); };
  env.operator_line = &OperatorLine;
  server::InitServerController(std::move(env));
  // The pipeline reaches the session's forms ("/$/", "/$/call") through this registration.
  render::InstallPageRendering();
}

}  // namespace appsrv::host
