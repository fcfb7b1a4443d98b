#include "host/start.h"

#include <gtest/gtest.h>

#include <string>

#include "base/files.h"
#include "base/text.h"
#include "host/app_log.h"
#include "host/application_state.h"
#include "host/command_line.h"
#include "host/framework_init.h"
#include "server/pipeline/controller_start.h"
#include "server/session/server_controller.h"

namespace appsrv::host {
namespace {

// The text of the application log file beside this test program, UTF-16 LE decoded.
std::string log_text() {
  const std::string path = application_log_path("log");
  if (!base::file_exists(path)) {
    return {};
  }
  const std::string bytes = base::read_file(path);
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return base::utf16_to_utf8(units);
}

class StartFailures : public ::testing::Test {
 protected:
  void SetUp() override { base::delete_file(application_log_path("log")); }
  void TearDown() override {
    base::delete_file(application_log_path("log"));
    SetFrameworkInitHook(&InitializeFramework);
    SetExitCode(0);
  }
};

TEST_F(StartFailures, AreAppendedToTheApplicationLogAndRunReturns) {
  struct Case {
    const char* name;
    FrameworkInitProc hook;
    const char* line_end;
  };
  const Case cases[] = {
      {"no hook", nullptr, " Error: Application is not initialized.\r\n"},
      {"no controller class", &InitializeFramework, " Error: No server controller is defined.\r\n"},
  };
  server::SetServerControllerClass(server::ControllerFactory());
  std::string before;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetFrameworkInitHook(c.hook);
    SetExitCode(0);
    TSvStart(true).Run();
    // The process that started the program learns of it from the status too.
    EXPECT_EQ(ExitCode(), 1);
    const std::string text = log_text();
    // Earlier lines stay; the new one is "yyyy-mm-dd hh:nn:ss Error: ...".
    ASSERT_EQ(text.substr(0, before.size()), before);
    const std::string line = text.substr(before.size());
    EXPECT_EQ(line.size(), 19 + std::string(c.line_end).size()) << line;
    EXPECT_TRUE(base::ends_with(line, c.line_end)) << line;
    before = text;
  }
  EXPECT_EQ(server::ServerController(), nullptr);
}

TEST(Start, WindowModeWhenForcedOrAskedFor) {
  struct Case {
    bool force;
    std::vector<const char*> argv;
    bool show_ui;
  };
  const Case cases[] = {
      {true, {"appserver"}, true},
      {false, {"appserver"}, false},
      {false, {"appserver", "/Gui"}, true},
      {false, {"appserver", "GUI"}, false},
  };
  for (const Case& c : cases) {
    SetProgramArguments(static_cast<int>(c.argv.size()), c.argv.data());
    EXPECT_EQ(TSvStart(c.force).mShowUI, c.show_ui);
  }
  SetProgramArguments(0, nullptr);
}

}  // namespace
}  // namespace appsrv::host
