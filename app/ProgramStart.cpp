#include "app/ProgramStart.h"

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "app/ServerUnit1.h"
#include "host/application_state.h"
#include "host/command_line.h"
#include "host/start.h"

namespace appsrv::app {

int RunProgram(int argc, char** argv, bool force_ui) {
  host::SetProgramArguments(argc, argv);
  // Both registrations precede the controller, which locks the handler table.
  RegisterContentHandlers();
  RegisterServerController();
  // Without it a browser opening the root gets "Application main form is not defined".
  RegisterMainForm();
  host::TSvStart::Execute(force_ui);
  return host::ExitCode();
}

}  // namespace appsrv::app
