#include "host/console_commands.h"

#include "base/parse_int.h"
#include "base/text.h"
#include "host/window_settings.h"

namespace appsrv::host {
namespace {

constexpr std::string_view kBrowserNames[] = {"default", "ie",     "opera",
                                              "firefox", "chrome", "safari"};

ConsoleCommand invalid(std::string error) {
  ConsoleCommand c;
  c.kind = CommandKind::kInvalid;
  c.error = std::move(error);
  return c;
}

ConsoleCommand switch_command(CommandKind kind, std::string_view word, std::string_view arg) {
  ConsoleCommand c;
  c.kind = kind;
  if (base::iequals(arg, "on")) {
    c.on = true;
  } else if (!base::iequals(arg, "off")) {
    return invalid(std::string(word) + " takes on or off");
  }
  return c;
}

ConsoleCommand speed_command(std::string_view arg) {
  ConsoleCommand c;
  c.kind = CommandKind::kSpeed;
  if (const auto entry = FindSpeedEntry(arg); entry && *entry != kCustomSpeedEntry) {
    c.bits_per_second = kSpeedEntries[*entry].bits_per_second;
    return c;
  }
  const std::optional<int32_t> bits = base::parse_int<int32_t>(arg);
  if (!bits || *bits < 0) {
    return invalid("speed takes a list entry (None, 32 kbps .. 10 Mbps) or bits per second");
  }
  c.bits_per_second = *bits;
  return c;
}

}  // namespace

std::string_view BrowserName(TSvWebBrowser browser) {
  return kBrowserNames[static_cast<size_t>(browser)];
}

ConsoleCommand ParseCommand(std::string_view line) {
  line = base::trim(line);
  const size_t blank = line.find_first_of(" \t");
  const std::string_view word = line.substr(0, blank);
  // "params" keeps its text as typed after the one separating blank.
  const std::string_view raw_arg =
      blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  const std::string_view arg = base::trim(raw_arg);

  struct Plain {
    std::string_view word;
    CommandKind kind;
  };
  static constexpr Plain kPlain[] = {
      {"help", CommandKind::kHelp},
      {"status", CommandKind::kStatus},
      {"url", CommandKind::kUrl},
      {"copy-url", CommandKind::kCopyUrl},
      {"launch", CommandKind::kLaunch},
      {"reset-sessions", CommandKind::kResetSessions},
      {"reset-bytes", CommandKind::kResetBytes},
      {"save", CommandKind::kSave},
      {"reopen-logs", CommandKind::kReopenLogs},
      {"quit", CommandKind::kQuit},
  };
  if (word.empty()) {
    return {};
  }
  for (const Plain& p : kPlain) {
    if (base::iequals(word, p.word)) {
      if (!arg.empty()) {
        return invalid(std::string(p.word) + " takes no argument");
      }
      ConsoleCommand c;
      c.kind = p.kind;
      return c;
    }
  }
  if (base::iequals(word, "debug")) {
    return switch_command(CommandKind::kDebug, "debug", arg);
  }
  if (base::iequals(word, "ssl")) {
    return switch_command(CommandKind::kSsl, "ssl", arg);
  }
  if (base::iequals(word, "speed")) {
    return speed_command(arg);
  }
  if (base::iequals(word, "params")) {
    ConsoleCommand c;
    c.kind = CommandKind::kParams;
    c.text = std::string(raw_arg);
    return c;
  }
  if (base::iequals(word, "browser")) {
    for (size_t i = 0; i < std::size(kBrowserNames); ++i) {
      if (base::iequals(arg, kBrowserNames[i])) {
        ConsoleCommand c;
        c.kind = CommandKind::kBrowser;
        c.browser = static_cast<TSvWebBrowser>(i);
        return c;
      }
    }
    return invalid("browser takes default, ie, opera, firefox, chrome or safari");
  }
  return invalid("unknown command \"" + std::string(word) + "\"; type help");
}

std::string_view CommandHelp() {
  return "help                 this list\n"
         "status               sessions, data sent, start URL, settings and the server's figures\n"
         "url                  the start URL\n"
         "copy-url             put the start URL on the desktop's clipboard\n"
         "launch               open the start URL in the chosen browser\n"
         "reset-sessions       end every session and reset the data sent\n"
         "reset-bytes          reset the data sent\n"
         "debug on|off         detailed logging\n"
         "ssl on|off           the start URL uses HTTPS\n"
         "speed <entry|bits>   simulated connection speed for new connections: None, 32 kbps,\n"
         "                     64 kbps, 128 kbps, 256 kbps, 512 kbps, 1 Mbps, 2 Mbps, 5 Mbps,\n"
         "                     10 Mbps, or bits per second\n"
         "params <text>        query text of the start URL (empty: none)\n"
         "browser <name>       default, ie, opera, firefox, chrome or safari\n"
         "save                 write these settings to the settings file\n"
         "reopen-logs          reopen the log files (after moving them away), as SIGHUP does\n"
         "quit                 end sessions, stop the listeners and exit\n";
}

}  // namespace appsrv::host
