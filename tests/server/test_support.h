// Helpers shared by the server tests: a settable clock, private folders, expected failures.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/exception.h"
#include "base/files.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/temp_files.h"
#include "server/session/clock.h"
#include "server/session/server_controller.h"
#include "tests/support/temp_folder.h"

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

// A fresh folder under the system's temporary folder with "app/" and "tmp/" inside, removed
// afterwards.
class TempFolder {
 public:
  TempFolder() {
    base::force_directories(app(), 0700);
    base::force_directories(tmp(), 0700);
  }

  std::string root() const { return folder_.path(); }
  std::string app() const { return root() + "app/"; }
  std::string tmp() const { return root() + "tmp/"; }

  // An environment over these folders and `clock` (the system clock when null), without the
  // background timeout thread.
  ControllerEnvironment environment(const Clock* clock = nullptr) const {
    ControllerEnvironment env;
    env.application_folder = app();
    env.application_file = "appserver";
    env.temp_folder = tmp();
    env.clock = clock;
    env.start_timeout_thread = false;
    return env;
  }
  ControllerEnvironment environment(const Clock& clock) const { return environment(&clock); }

 private:
  appsrv::testing::TempFolder folder_{"appsrv-server"};
};

// A TempFolder whose tmp/ is the process's temporary-file folder while it lives; the folder
// before comes back afterwards.
class ProcessTempFolder : public TempFolder {
 public:
  ProcessTempFolder() : saved_(temp_folder()) { set_temp_folder(tmp()); }
  ~ProcessTempFolder() { set_temp_folder(saved_); }

 private:
  std::string saved_;
};

// An exchange buffer whose spilled packets go to a private folder.
class PacketTest : public ::testing::Test {
 protected:
  ProcessTempFolder dir_;
  std::vector<char> buffer_ = std::vector<char>(kExchangeBufferSize);
};

// The names of the entries in `folder`, sorted.
inline std::vector<std::string> file_names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The message of the base::Exception `act` throws; a test failure when it throws none.
inline std::string failure_message(const std::function<void()>& act) {
  try {
    act();
  } catch (const base::Exception& e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return "(no exception)";
}

// Expects `act` to throw a base::Exception saying exactly `message`.
inline void expect_failure(const std::function<void()>& act, std::string_view message) {
  EXPECT_EQ(failure_message(act), message);
}

// Expects `act` to throw a base::Exception whose message starts with `prefix`; the system's
// error text follows it.
inline void expect_failure_starting(const std::function<void()>& act, std::string_view prefix) {
  const std::string message = failure_message(act);
  EXPECT_EQ(message.substr(0, prefix.size()), prefix) << message;
}

}  // namespace appsrv::server::testing
