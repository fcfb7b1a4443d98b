#include "host/service_module.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "base/exception.h"
#include "base/files.h"
#include "host/app_log.h"
#include "host/application_state.h"
#include "host/command_line.h"
#include "host/service_thread.h"
#include "host/service_unit.h"
#include "tests/host/host_test_support.h"
#include "tests/support/notify_socket.h"

namespace appsrv::host {
namespace {

using std::chrono::seconds;

// What a fake transport host saw; filled from the worker thread.
struct Probe {
  bool http_active = true;
  std::string fail_with;        // the constructor throws this when not empty
  bool return_nothing = false;  // the class gives no host
  std::shared_future<void> gate;
  appsrv::testing::NotifySocket* notify = nullptr;
  std::atomic<int> created{0};
  std::atomic<int> destroyed{0};
  std::atomic<bool> notified_before_created{false};
  std::thread::id destroyed_on;
};

class FakeHost final : public TransportHost {
 public:
  explicit FakeHost(Probe& probe) : probe_(probe) {
    if (probe_.gate.valid()) {
      probe_.gate.wait();
    }
    if (!probe_.fail_with.empty()) {
      throw base::Exception(probe_.fail_with);
    }
    // sd_notify has sent its datagram when it returns: anything sent before the listeners
    // are open is already waiting here.
    if (probe_.notify != nullptr && probe_.notify->Receive(std::chrono::milliseconds(0))) {
      probe_.notified_before_created = true;
    }
    probe_.created.fetch_add(1);
  }
  ~FakeHost() override {
    probe_.destroyed_on = std::this_thread::get_id();
    probe_.destroyed.fetch_add(1);
  }
  bool HttpActive() const override { return probe_.http_active; }
  bool HttpsActive() const override { return false; }
  void SetBitsPerSec(int32_t) override {}
  void SetUseServerIntercept(bool) override {}

 private:
  Probe& probe_;
};

HttpHostClass fake_class(Probe& probe) {
  return [&probe]() -> std::unique_ptr<TransportHost> {
    if (probe.return_nothing) {
      return nullptr;
    }
    return std::make_unique<FakeHost>(probe);
  };
}

TEST(ServiceThread, HoldsTheHostUntilTerminatedAndFreesItOnItsOwnThread) {
  Probe probe;
  std::promise<void> running;
  TSvServiceThread thread(fake_class(probe));
  thread.OnRunning = [&](TransportHost& host) {
    EXPECT_TRUE(host.HttpActive());
    running.set_value();
  };
  thread.OnFailed = [](const std::string& message) { ADD_FAILURE() << message; };
  thread.Start();
  ASSERT_EQ(running.get_future().wait_for(seconds(20)), std::future_status::ready);
  EXPECT_EQ(probe.created, 1);
  EXPECT_EQ(probe.destroyed, 0);

  thread.Terminate();
  thread.WaitFor();
  EXPECT_EQ(probe.destroyed, 1);
  EXPECT_NE(probe.destroyed_on, std::this_thread::get_id());
}

TEST(ServiceThread, AStopWhileTheListenersOpenFreesTheHostWithoutReportingRunning) {
  Probe probe;
  std::promise<void> open;
  probe.gate = open.get_future().share();
  bool ran = false;
  {
    TSvServiceThread thread(fake_class(probe));
    thread.OnRunning = [&](TransportHost&) { ran = true; };
    thread.Start();
    thread.Terminate();
    open.set_value();
    // The destructor waits for the thread.
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(probe.created, 1);
  EXPECT_EQ(probe.destroyed, 1);
}

TEST(ServiceThread, AHostThatCannotBeCreatedIsReportedAndEndsTheThread) {
  struct Case {
    const char* fail_with;
    bool return_nothing;
    const char* message;
  };
  const Case cases[] = {
      {"Could not bind socket. Address and port are already in use.", false,
       "Could not bind socket. Address and port are already in use."},
      {"", true, "HttpClass is nil."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Probe probe;
    probe.fail_with = c.fail_with;
    probe.return_nothing = c.return_nothing;
    std::string failed;
    bool ran = false;
    TSvServiceThread thread(fake_class(probe));
    thread.OnRunning = [&](TransportHost&) { ran = true; };
    thread.OnFailed = [&](const std::string& message) { failed = message; };
    thread.Start();
    thread.WaitFor();  // ends by itself
    EXPECT_EQ(failed, c.message);
    EXPECT_FALSE(ran);
  }
}

// Service mode as systemd drives it, in this process: NOTIFY_SOCKET names a socket the test
// reads, and SIGTERM stops the service.
class ServiceRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("NOTIFY_SOCKET", notify_.address().c_str(), 1);
    SetExitCode(0);
    base::delete_file(application_log_path("log"));
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    SetExitCode(0);
    base::delete_file(application_log_path("log"));
  }

  appsrv::testing::NotifySocket notify_;
  testing::ProcessController controller_{"[PORTS]\nPort=8123\n"};
};

TEST_F(ServiceRun, ReportsReadyOnceServingAndStopsOnSigterm) {
  Probe probe;
  probe.notify = &notify_;
  TSvServiceModule module("App", "App", "An app", fake_class(probe));
  std::atomic<bool> ended{false};
  std::thread run([&] {
    module.Run();
    ended = true;
  });
  // Stops the service however the test ends; only SIGTERM ends Run.
  struct StopAtEnd {
    std::thread& run;
    std::atomic<bool>& ended;
    ~StopAtEnd() {
      if (!ended) {
        ::kill(::getpid(), SIGTERM);
      }
      if (run.joinable()) {
        run.join();
      }
    }
  } stop_at_end{run, ended};

  const std::optional<std::string> ready = notify_.WaitFor("READY=1", seconds(20));
  EXPECT_FALSE(probe.notified_before_created);
  ASSERT_TRUE(ready.has_value());
  EXPECT_EQ(*ready, "READY=1\nSTATUS=Serving HTTP on port 8123");
  EXPECT_TRUE(module.mStartTried);

  ::kill(::getpid(), SIGTERM);
  EXPECT_EQ(notify_.Receive(seconds(20)), "STOPPING=1");
  run.join();
  EXPECT_EQ(probe.destroyed, 1);
  EXPECT_EQ(ExitCode(), 0);
}

TEST_F(ServiceRun, AHostThatCannotServeEndsTheServiceWithAFailure) {
  struct Case {
    const char* fail_with;
    bool http_active;
    const char* error;
  };
  const Case cases[] = {
      {"Address in use", true, "Error: Address in use"},
      {"", false, "Error: No listener is active."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    base::delete_file(application_log_path("log"));
    SetExitCode(0);
    Probe probe;
    probe.fail_with = c.fail_with;
    probe.http_active = c.http_active;
    TSvServiceModule module("App", "App", "An app", fake_class(probe));
    module.Run();  // returns without a signal

    EXPECT_EQ(ExitCode(), kConfigurationExitCode);
    EXPECT_EQ(probe.destroyed, probe.created.load());
    EXPECT_EQ(notify_.Receive(seconds(0)), std::string("STATUS=") + c.error);
    EXPECT_EQ(notify_.Receive(seconds(0)), std::nullopt);  // never READY
    const std::string log = base::read_file(application_log_path("log"));
    std::string text;
    for (size_t i = 0; i < log.size(); i += 2) {
      text += log[i];
    }
    EXPECT_TRUE(text.ends_with(std::string(c.error) + "\r\n")) << text;
  }
}

TEST_F(ServiceRun, InstallAndUninstallAreChosenBySwitch) {
  testing::TempFolder units;
  ::setenv("APPSRV_UNIT_FOLDER", units.tmp().c_str(), 1);
  Probe probe;
  const std::string unit = units.tmp() + "App.service";
  struct Case {
    std::vector<const char*> argv;
    bool unit_there;
    int exit_code;
  };
  const Case cases[] = {
      {{"prog", "/install", "-silent"}, true, 0},
      {{"prog", "-INSTALL", "-SILENT"}, true, 1},  // exists already
      {{"prog", "-Uninstall", "-Silent"}, false, 0},
      {{"prog", "-UNINSTALL", "-SILENT"}, false, 1},  // gone already
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv[1]);
    SetExitCode(0);
    SetProgramArguments(static_cast<int>(c.argv.size()), c.argv.data());
    EXPECT_TRUE(TSvServiceModule::ServiceInit("App", "App", fake_class(probe), "An app"));
    EXPECT_EQ(base::file_exists(unit), c.unit_there);
    EXPECT_EQ(ExitCode(), c.exit_code);
  }
  SetProgramArguments(0, nullptr);
  ::unsetenv("APPSRV_UNIT_FOLDER");
  EXPECT_EQ(probe.created, 0);
  // Without a transport host class there is nothing to serve or install.
  EXPECT_FALSE(TSvServiceModule::ServiceInit("App", "App", HttpHostClass(), "An app"));
}

}  // namespace
}  // namespace appsrv::host
