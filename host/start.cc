#include "host/start.h"

#include <cstdio>
#include <exception>
#include <string>

#include "base/exception.h"
#include "host/app_log.h"
#include "host/application_state.h"
#include "host/ardo_host.h"
#include "host/command_line.h"
#include "host/console_host.h"
#include "host/descriptor_limit.h"
#include "host/large_blocks.h"
#include "host/framework_init.h"
#include "host/service_module.h"
#include "host/service_unit.h"
#include "host/startup_report.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/request_hook.h"
#include "server/session/server_controller.h"

namespace appsrv::host {
namespace {

// A start-up failure ends the program, and whoever started it must be able to tell: the status
// is not 0 and standard error (the terminal, nohup.out, the journal) carries the same line as
// the application log, which a UTF-16 file beside the program hides from most readers.
void report_start_failure(const std::string& message, int exit_code) noexcept {
  const std::string line = "Error: " + message;
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  SetExitCode(exit_code);
  try {
    AppendApplicationLog(line, "log");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "(application log: %s)\n", e.what());
    std::fflush(stderr);
  }
}

}  // namespace

TSvStart::TSvStart(bool aForceUI) : mShowUI(aForceUI || HasSwitch("GUI")) {}

void TSvStart::Execute(bool aForceUI) {
  {
    TSvStart start(aForceUI);
    start.Run();
  }
  server::FreeServerController();
}

void TSvStart::Run() {
  try {
    // Before anything opens files: the window or the service manager's journal says so below.
    const DescriptorLimit& descriptors = RaiseDescriptorLimit();
    ReturnLargeBlocksToTheSystem();
    const FrameworkInitProc init = FrameworkInitHook();
    if (init == nullptr) {
      throw base::Exception("Application is not initialized.");
    }
    init();
    server::SetRequestHook(&server::ExecuteRequest);
    if (!mShowUI) {
      const server::TSvServerControllerBase& controller = *server::ServerController();
      mShowUI = !TSvServiceModule::ServiceInit(controller.AppName(), controller.AppName(),
                                               TSaServerArdoClass(), controller.Description());
    }
    // Service mode may have told the application to end: then no window opens.
    if (ApplicationTerminated() || !mShowUI) {
      return;
    }
    TFormSvMain form;
    form.Log(DescriptorLimitLine(descriptors));
    for (const StartupLine& line : StartupReport(*server::ServerController())) {
      form.Log(line.text);
    }
    // A window without its listeners would answer "status" and "url" as if it served, and
    // end with status 0: a failure to open them ends the program like any start-up failure.
    form.Start(TSaServerArdoClass());
    form.RunMessageLoop();
  } catch (const std::exception& e) {
    // Under systemd a failed start is one of settings (port.ini, TMPDIR, the listeners), which
    // a restart would meet again: the unit does not restart on kConfigurationExitCode.
    report_start_failure(e.what(), mShowUI ? 1 : kConfigurationExitCode);
  }
}

}  // namespace appsrv::host
