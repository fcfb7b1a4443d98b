// Helpers shared by the host tests: a private application folder and a process-wide server
// controller built over it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "base/files.h"
#include "tests/support/temp_folder.h"
#include "server/pipeline/controller_start.h"
#include "server/session/server_controller.h"

namespace appsrv::host::testing {

// A fresh folder with "app/" and "tmp/" inside, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    base::force_directories(app());
    base::force_directories(tmp());
  }

  std::string app() const { return folder_.path() + "app/"; }
  std::string tmp() const { return folder_.path() + "tmp/"; }

 private:
  appsrv::testing::TempFolder folder_{"appsrv-host"};
};

// The process-wide controller, of the framework's own class, over a private folder whose
// port.ini holds `port_ini` (none when empty); freed afterwards.
class ProcessController {
 public:
  explicit ProcessController(const std::string& port_ini = "") {
    if (!port_ini.empty()) {
      base::write_file(folder_.app() + "port.ini", port_ini);
    }
    server::SetServerControllerClass<server::TSvServerControllerBase>();
    server::ControllerEnvironment env;
    env.application_folder = folder_.app();
    env.application_file = "appserver";
    env.temp_folder = folder_.tmp();
    env.start_timeout_thread = false;
    controller_ = &server::InitServerController(std::move(env));
  }
  ~ProcessController() { server::FreeServerController(); }
  ProcessController(const ProcessController&) = delete;
  ProcessController& operator=(const ProcessController&) = delete;

  server::TSvServerControllerBase& operator*() { return *controller_; }
  server::TSvServerControllerBase* operator->() { return controller_; }
  const TempFolder& folder() const { return folder_; }

 private:
  TempFolder folder_;
  server::TSvServerControllerBase* controller_;
};

}  // namespace appsrv::host::testing
