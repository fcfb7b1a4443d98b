// The service program as systemd runs it: NOTIFY_SOCKET names a datagram socket the test owns,
// SIGTERM stops it; and its INSTALL and UNINSTALL switches over a private unit folder.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/app_folder.h"
#include "tests/support/child_process.h"
#include "tests/support/http_client.h"
#include "tests/support/notify_socket.h"

namespace appsrv::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::string_view kServing = "READY=1\nSTATUS=Serving HTTP on port ";

// Every line the program writes until it ends, and its exit status.
struct Ending {
  std::vector<std::string> lines;
  std::optional<int> status;
};

Ending run_to_end(ChildProcess& process) {
  while (process.ReadLine(seconds(60))) {
  }
  return {process.Output(), process.Wait(seconds(60))};
}

bool accepts_connections(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return connected;
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(Service, ReportsReadyWhenServingAndStopsOnSigterm) {
  AppFolder folder;
  NotifySocket notify;
  const auto service = folder.LaunchService({}, {notify.env()});

  const std::optional<std::string> ready = notify.WaitFor("READY=1", seconds(60));
  ASSERT_TRUE(ready.has_value()) << "no READY";
  ASSERT_TRUE(ready->starts_with(kServing)) << *ready;
  const auto port = static_cast<uint16_t>(std::stoi(ready->substr(kServing.size())));
  // The listener is up by the time READY arrives: the first request is answered, and earns
  // the session cookie that the function call then carries.
  const std::string add = "Function=Add&Params=" + FormEncode(R"({"A":2,"B":3})");
  const ParsedResponse first = PostForm(port, "/appservice/", add);
  EXPECT_EQ(first.status(), 200);
  ASSERT_EQ(Cookies(first).size(), 1U) << first.body;
  const ParsedResponse call = PostForm(port, "/appservice/", add, Cookies(first).front());
  EXPECT_EQ(call.status(), 200);
  EXPECT_EQ(call.body,
            "Function=Add\r\nParams={\"A\":2,\"B\":3}\r\nResult={\"Result\":5,\"Info\":\"\"}");

  const auto stop_asked = std::chrono::steady_clock::now();
  service->Signal(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", seconds(5)).has_value());
  const std::optional<int> status = service->Wait(seconds(5));
  const auto stop_took = std::chrono::duration_cast<milliseconds>(
      std::chrono::steady_clock::now() - stop_asked);
  // Measured, not asserted beyond a generous bound: the stop is a condition wait.
  std::printf("SIGTERM to exit: %lld ms\n", static_cast<long long>(stop_took.count()));
  RecordProperty("stop_ms", static_cast<int>(stop_took.count()));
  EXPECT_EQ(status, 0);

  const Ending end = run_to_end(*service);
  EXPECT_TRUE(has_line(end.lines, "<6>Serving HTTP on port " + std::to_string(port) + "."));
  EXPECT_TRUE(has_line(end.lines, "<6>Stopped.")) << ::testing::PrintToString(end.lines);
  EXPECT_FALSE(accepts_connections(port));
}

// What a browser does at the root, short of running scripts: the start page gives it the
// session cookie, the root asked again with the cookie sends it to "/$/", and that shows the
// application's main form.
ParsedResponse open_root_like_a_browser(uint16_t port) {
  const ParsedResponse start = Get(port, "/");
  EXPECT_EQ(start.status(), 200) << start.body;
  const std::vector<std::string> cookies = Cookies(start);
  if (cookies.size() != 1) {
    ADD_FAILURE() << "no session cookie: " << start.body;
    return start;
  }
  const ParsedResponse again = Get(port, "/", cookies.front());
  EXPECT_NE(again.body.find("window.location.replace(\"/$/\")"), std::string::npos)
      << again.body;
  return Get(port, "/$/", cookies.front());
}

// Both ways the service program serves: under systemd, and in the console with -GUI.
TEST(Service, ABrowserAtTheRootEndsOnTheStatusPage) {
  for (const bool gui : {false, true}) {
    SCOPED_TRACE(gui ? "-GUI" : "systemd");
    AppFolder folder;
    NotifySocket notify;
    const auto service = gui ? folder.LaunchService({"-GUI"}, {})
                             : folder.LaunchService({}, {notify.env()});
    uint16_t port = 0;
    if (gui) {
      const std::optional<std::string> active = service->WaitForLine(kActiveLine, seconds(60));
      ASSERT_TRUE(active.has_value()) << ::testing::PrintToString(service->Output());
      port = static_cast<uint16_t>(std::stoi(active->substr(kActiveLine.size())));
    } else {
      const std::optional<std::string> ready = notify.WaitFor("READY=1", seconds(60));
      ASSERT_TRUE(ready.has_value() && ready->starts_with(kServing)) << ready.value_or("no READY");
      port = static_cast<uint16_t>(std::stoi(ready->substr(kServing.size())));
    }

    const ParsedResponse page = open_root_like_a_browser(port);
    EXPECT_EQ(page.status(), 200) << page.body;
    EXPECT_EQ(page.body.find("main form is not defined"), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("<span class=\"SVLABEL1CSS\" id=\"SVLABEL1\">AppService Server Is "
                             "Running...</span>"),
              std::string::npos)
        << page.body;
    EXPECT_NE(page.body.find("<input type=\"hidden\" name=\"SV_FormClass\" value=\"TSvForm2\">"),
              std::string::npos);

    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(seconds(60)), 0);
  }
}

TEST(Service, APortInUseEndsTheServiceWithAFailureAndNeverReportsReady) {
  AppFolder folder;
  BusyPort busy;
  folder.SetPort(busy.port());
  NotifySocket notify;
  const auto service = folder.LaunchService({}, {notify.env()});

  const Ending end = run_to_end(*service);
  // EX_CONFIG: the unit's RestartPreventExitStatus keeps systemd from retrying.
  EXPECT_EQ(end.status, 78);
  std::vector<std::string> datagrams;
  while (std::optional<std::string> d = notify.Receive(milliseconds(0))) {
    datagrams.push_back(*d);
  }
  ASSERT_EQ(datagrams.size(), 1U) << ::testing::PrintToString(datagrams);
  EXPECT_TRUE(datagrams[0].starts_with("STATUS=Error: ")) << datagrams[0];
  EXPECT_NE(datagrams[0].find("in use"), std::string::npos) << datagrams[0];
  // The same error in the journal (standard error) and in the application log file.
  const std::string error = datagrams[0].substr(7);
  EXPECT_TRUE(has_line(end.lines, "<3>" + error)) << ::testing::PrintToString(end.lines);
  const std::string text = ascii_from_utf16le(read_file(folder.root() / "appserver-service.log"));
  EXPECT_TRUE(text.ends_with(" " + error + "\r\n")) << text;
}

TEST(Service, StartedFromAShellItSaysWhyAndDoesNotServe) {
  AppFolder folder;
  const auto service = folder.LaunchService({}, {});
  const Ending end = run_to_end(*service);
  EXPECT_EQ(end.status, 1);
  EXPECT_EQ(end.lines, std::vector<std::string>{
                           "Service \"MyApp\" was not started by the service manager "
                           "(NOTIFY_SOCKET is not set), so it does not serve. Start it with "
                           "\"systemctl start MyApp\", or run the program with -GUI to serve in "
                           "the console."});
}

TEST(Service, InstallAndUninstallTheUnit) {
  AppFolder folder;
  const fs::path units = folder.root() / "units";
  fs::create_directories(units);
  const fs::path unit = units / "MyApp.service";
  const std::string app = folder.root().string();
  const std::string expected_unit =
      "[Unit]\nDescription=My Corvane Application\nAfter=network.target\n\n"
      "[Service]\nType=notify\nExecStart=\"" + app + "/appserver-service\"\n"
      "WorkingDirectory=" + app + "\nUser=myapp\nRestart=on-failure\nRestartSec=5\n"
      "RestartPreventExitStatus=78\nLimitNOFILE=65536\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\nReadWritePaths=\"" + app + "\"\nPrivateTmp=yes\n"
      "StandardOutput=journal\nStandardError=journal\nSyslogIdentifier=MyApp\n\n"
      "[Install]\nWantedBy=multi-user.target\n";
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> lines;
    int status;
    bool unit_there;
  };
  const Case cases[] = {
      {{"-INSTALL"}, {"Service installed successfully"}, 0, true},
      {{"/install"},
       {"Service \"MyApp\" failed to install with error: \"The unit file " + unit.string() +
        " exists already.\""},
       1, true},
      {{"-UNINSTALL"}, {"Service uninstalled successfully"}, 0, false},
      {{"-Uninstall"},
       {"Service \"MyApp\" failed to uninstall with error: \"The unit file " + unit.string() +
        " does not exist.\""},
       1, false},
      {{"-INSTALL", "-SILENT"}, {}, 0, true},
      {{"-SILENT", "-UNINSTALL"}, {}, 0, false},
      {{"-UNINSTALL", "-SILENT"},
       {"Service \"MyApp\" failed to uninstall with error: \"The unit file " + unit.string() +
        " does not exist.\""},
       1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const auto process = folder.LaunchService(c.arguments, {"APPSRV_UNIT_FOLDER=" + units.string()});
    const Ending end = run_to_end(*process);
    EXPECT_EQ(end.lines, c.lines);
    EXPECT_EQ(end.status, c.status);
    EXPECT_EQ(fs::exists(unit), c.unit_there);
    if (c.unit_there) {
      EXPECT_EQ(read_file(unit), expected_unit);
    }
  }
}

}  // namespace
}  // namespace appsrv::testing
