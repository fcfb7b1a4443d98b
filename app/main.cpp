// Program entry: registers the application with the framework and starts the server with its
// console window.
#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "host/application_state.h"
#include "host/command_line.h"
#include "host/start.h"

int main(int argc, char** argv) {
  using namespace appsrv;
  host::SetProgramArguments(argc, argv);
  // Both registrations precede the controller, which locks the handler table.
  app::RegisterContentHandlers();
  app::RegisterServerController();
  host::TSvStart::Execute(true);
  return host::ExitCode();
}
