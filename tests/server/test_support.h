// Helpers shared by the server tests: a settable clock and a private temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <string>

#include "base/date_time.h"
#include "base/files.h"
#include "server/clock.h"
#include "server/server_controller.h"

namespace appsrv::server::testing {

// A clock that moves only when told to.
class FakeClock : public Clock {
 public:
  explicit FakeClock(base::DateTime start = base::encode_date(2024, 5, 6) + 0.5) : now_(start) {}
  base::DateTime now() const override { return now_.load(); }
  void advance_seconds(double s) { now_.store(now_.load() + s / 86400.0); }

 private:
  std::atomic<base::DateTime> now_;
};

// A fresh folder under /tmp with "app/" and "tmp/" inside, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    char tmpl[] = "/tmp/appsrv-server-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    root_ = std::string(tmpl) + "/";
    base::force_directories(app(), 0700);
    base::force_directories(tmp(), 0700);
  }
  ~TempFolder() { base::remove_tree(root_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string root() const { return root_; }
  std::string app() const { return root_ + "app/"; }
  std::string tmp() const { return root_ + "tmp/"; }

  // An environment over these folders and `clock`, without the background timeout thread.
  ControllerEnvironment environment(const Clock& clock) const {
    ControllerEnvironment env;
    env.application_folder = app();
    env.application_file = "appserver";
    env.temp_folder = tmp();
    env.clock = &clock;
    env.start_timeout_thread = false;
    return env;
  }

 private:
  std::string root_;
};

}  // namespace appsrv::server::testing
