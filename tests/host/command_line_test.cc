#include "host/command_line.h"

#include <gtest/gtest.h>

namespace appsrv::host {
namespace {

TEST(CommandLine, SwitchIsDashOrSlashAndExactlyTheNameInAnyCase) {
  struct Case {
    const char* argument;
    bool is_gui;
  };
  const Case cases[] = {
      {"-GUI", true},   {"/gui", true},    {"-gUi", true},   {"GUI", false},
      {"--GUI", false}, {"-GUI:1", false}, {"-GUIX", false}, {"-GU", false},
      {"", false},      {"-", false},      {"\\GUI", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    EXPECT_EQ(IsSwitch(c.argument, "GUI"), c.is_gui);
  }
}

TEST(CommandLine, ProgramArgumentsSkipTheProgramName) {
  const char* argv[] = {"/x/appserver", "readme", "/launchbrowser"};
  SetProgramArguments(3, argv);
  EXPECT_EQ(ProgramArguments(), (std::vector<std::string>{"readme", "/launchbrowser"}));
  EXPECT_TRUE(HasSwitch("LaunchBrowser"));
  EXPECT_FALSE(HasSwitch("LaunchBrowserSSL"));
  EXPECT_FALSE(HasSwitch("readme"));
  SetProgramArguments(0, nullptr);
  EXPECT_TRUE(ProgramArguments().empty());
}

}  // namespace
}  // namespace appsrv::host
