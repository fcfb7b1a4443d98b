// The console host's commands: one line each, a command word and its argument.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/standalone_server.h"

namespace appsrv::host {

enum class CommandKind {
  kNone,  // an empty line
  kHelp,
  kStatus,
  kUrl,
  kCopyUrl,
  kLaunch,
  kResetSessions,
  kResetBytes,
  kDebug,
  kSsl,
  kSpeed,
  kParams,
  kBrowser,
  kSave,
  kReopenLogs,
  kQuit,
  kInvalid,  // `error` says why
};

struct ConsoleCommand {
  CommandKind kind = CommandKind::kNone;
  bool on = false;                                   // kDebug, kSsl
  int32_t bits_per_second = 0;                       // kSpeed
  std::string text;                                  // kParams: the rest of the line, as typed
  TSvWebBrowser browser = TSvWebBrowser::wbDefault;  // kBrowser
  std::string error;                                 // kInvalid
};

// Command words compare without case; "speed" takes an entry of the speed list ("64 kbps",
// "none") or a whole number of bits per second; "browser" takes default, ie, opera, firefox,
// chrome or safari.
ConsoleCommand ParseCommand(std::string_view line);

// The help text, one command per line.
std::string_view CommandHelp();

// Browser name as the commands and the status take it.
std::string_view BrowserName(TSvWebBrowser browser);

}  // namespace appsrv::host
