// The application's server controller: its configured values and the session events that
// give every session its data module and a browser the pages accept.
#pragma once

#include <memory>

#include "server/session/browser.h"
#include "server/session/server_controller.h"

namespace appsrv::app {

// Built once by start-up from the class registered with RegisterServerController(); the
// events run on the thread that fires them and touch only the session they are given.
class TSvServerController : public server::TSvServerControllerBase {
 public:
  explicit TSvServerController(server::ControllerEnvironment env);
  ~TSvServerController() override;

  // Puts a new TSvUserSession into the session's FData slot.
  void SvServerControllerBaseNewSession(server::TSvApplication& aSession);
  void SvServerControllerBaseCloseSession(server::TSvApplication& ASession);
  // Replaces the classified browser: unrecognised agents become Internet Explorer 8.0, an
  // unsupported Safari, Chrome or Firefox is raised to its own minimum version, and every
  // other browser becomes Internet Explorer of the old browser's minimum version, accepted
  // even when that version is below Internet Explorer's own minimum.
  void SvServerControllerBaseBrowserCheck(server::TSvApplication& aSession,
                                          std::unique_ptr<server::TBrowser>& rBrowser);

 protected:
  void LoadDesignValues() override;
};

// The browser the application puts in place of `browser` (see
// SvServerControllerBaseBrowserCheck).
std::unique_ptr<server::TBrowser> application_browser(const server::TBrowser& browser);

// Makes TSvServerController the class start-up builds; called once before start-up.
void RegisterServerController();

}  // namespace appsrv::app
