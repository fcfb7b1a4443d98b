// Program entry. The HTTP transport is not built yet, so the program does not serve: it wires
// the application into the pipeline as start-up will (content handlers, controller class,
// controller, request hook), reports the result and shuts down again.
#include <cstdio>
#include <exception>

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "app/ServerUnit1.h"
#include "render/session_forms.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/request_hook.h"
#include "server/session/server_controller.h"

int main() {
  using namespace appsrv;
  try {
    // Both registrations precede the controller, which locks the handler table.
    app::RegisterContentHandlers();
    app::RegisterServerController();
    app::RegisterMainForm();
    render::InstallPageRendering();
    server::TSvServerControllerBase& controller =
        server::InitServerController(server::ControllerEnvironment::Default());
    server::SetRequestHook(&server::ExecuteRequest);
    std::printf(
        "appserver: %s configured for port %d; the HTTP transport is not built yet, so "
        "nothing is served.\n",
        controller.AppName().c_str(), controller.Port());
    server::SetRequestHook(nullptr);
    server::FreeServerController();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "appserver: %s\n", e.what());
    server::FreeServerController();
    return 1;
  }
  return 0;
}
