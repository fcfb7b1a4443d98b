#include "host/console_commands.h"

#include <gtest/gtest.h>

namespace appsrv::host {
namespace {

TEST(ConsoleCommands, PlainWords) {
  struct Case {
    const char* line;
    CommandKind kind;
  };
  const Case cases[] = {
      {"", CommandKind::kNone},
      {"   \r", CommandKind::kNone},
      {"help", CommandKind::kHelp},
      {"STATUS", CommandKind::kStatus},
      {" url \r", CommandKind::kUrl},
      {"copy-url", CommandKind::kCopyUrl},
      {"launch", CommandKind::kLaunch},
      {"reset-sessions", CommandKind::kResetSessions},
      {"reset-bytes", CommandKind::kResetBytes},
      {"save", CommandKind::kSave},
      {"Reopen-Logs", CommandKind::kReopenLogs},
      {"reopen-logs now", CommandKind::kInvalid},
      {"quit", CommandKind::kQuit},
      {"quit now", CommandKind::kInvalid},
      {"exit", CommandKind::kInvalid},
      {"copyurl", CommandKind::kInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const ConsoleCommand cmd = ParseCommand(c.line);
    EXPECT_EQ(cmd.kind, c.kind);
    EXPECT_EQ(cmd.error.empty(), c.kind != CommandKind::kInvalid);
  }
}

TEST(ConsoleCommands, Arguments) {
  struct Case {
    const char* line;
    CommandKind kind;
    bool on;
    int32_t bits;
    TSvWebBrowser browser;
  };
  using B = TSvWebBrowser;
  const Case cases[] = {
      {"debug on", CommandKind::kDebug, true, 0, B::wbDefault},
      {"debug OFF", CommandKind::kDebug, false, 0, B::wbDefault},
      {"debug", CommandKind::kInvalid, false, 0, B::wbDefault},
      {"debug yes", CommandKind::kInvalid, false, 0, B::wbDefault},
      {"ssl on", CommandKind::kSsl, true, 0, B::wbDefault},
      {"speed 64 kbps", CommandKind::kSpeed, false, 64000, B::wbDefault},
      {"speed 10Mbps", CommandKind::kSpeed, false, 10000000, B::wbDefault},
      {"speed none", CommandKind::kSpeed, false, 0, B::wbDefault},
      {"speed 100000", CommandKind::kSpeed, false, 100000, B::wbDefault},
      {"speed 0", CommandKind::kSpeed, false, 0, B::wbDefault},
      {"speed -5", CommandKind::kInvalid, false, 0, B::wbDefault},
      {"speed fast", CommandKind::kInvalid, false, 0, B::wbDefault},
      {"speed Custom...", CommandKind::kInvalid, false, 0, B::wbDefault},
      {"speed 99999999999", CommandKind::kInvalid, false, 0, B::wbDefault},
      {"speed", CommandKind::kInvalid, false, 0, B::wbDefault},
      {"browser firefox", CommandKind::kBrowser, false, 0, B::wbFirefox},
      {"browser Chrome", CommandKind::kBrowser, false, 0, B::wbChrome},
      {"browser default", CommandKind::kBrowser, false, 0, B::wbDefault},
      {"browser lynx", CommandKind::kInvalid, false, 0, B::wbDefault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const ConsoleCommand cmd = ParseCommand(c.line);
    EXPECT_EQ(cmd.kind, c.kind);
    EXPECT_EQ(cmd.on, c.on);
    EXPECT_EQ(cmd.bits_per_second, c.bits);
    EXPECT_EQ(cmd.browser, c.browser);
  }
}

TEST(ConsoleCommands, ParamsKeepTheirTextAsTyped) {
  EXPECT_EQ(ParseCommand("params a=1&b=two  words").text, "a=1&b=two  words");
  EXPECT_EQ(ParseCommand("params  lead").text, " lead");
  const ConsoleCommand cleared = ParseCommand("params");
  EXPECT_EQ(cleared.kind, CommandKind::kParams);
  EXPECT_EQ(cleared.text, "");
}

}  // namespace
}  // namespace appsrv::host
