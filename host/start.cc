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
#include "server/pipeline/controller_start.h"
#include "server/pipeline/request_hook.h"
#include "server/session/server_controller.h"

namespace appsrv::host {
namespace {

// The application log is the last place failures can go; when even that fails there is
// nothing left to tell but standard error.
void log_failure(const std::string& line) noexcept {
  try {
    AppendApplicationLog(line, "log");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n(application log: %s)\n", line.c_str(), e.what());
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
    try {
      form.Start(TSaServerArdoClass());
    } catch (const std::exception& e) {
      const std::string line = std::string("Error: ") + e.what();
      form.Log(line);
      log_failure(line);
    }
    form.RunMessageLoop();
  } catch (const std::exception& e) {
    log_failure(std::string("Error: ") + e.what());
  }
}

}  // namespace appsrv::host
