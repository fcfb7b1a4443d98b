#include "host/console_host.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "base/async_line_log.h"
#include "base/exception.h"
#include "base/metrics.h"
#include "host/app_log.h"
#include "host/close_signals.h"
#include "host/status_figures.h"
#include "server/session/server_controller.h"
#include "server/session/session_list.h"

namespace appsrv::host {
namespace {

constexpr char kQuitMessage = 'Q';
constexpr char kEventMessage = 'E';

std::string on_off(bool b) { return b ? "on" : "off"; }

}  // namespace

TFormSvMain::TFormSvMain(ConsoleStreams streams)
    : streams_(std::move(streams)),
      settings_path_(streams_.settings_path.empty() ? WindowSettingsPath()
                                                    : streams_.settings_path) {
  close_signals_ = std::make_unique<CloseSignals>(wake_.write_fd(), kQuitMessage);

  mStandaloneServer = std::make_unique<TSvStandAloneServer>();
  TSvStandAloneServer& srv = *mStandaloneServer;
  // Noted without waking the main thread: the sent-data label is only shown by commands, which
  // read the total themselves, and a wake-up for every reply cost the main thread a switch in
  // and out per request.
  srv.OnUpdateTotalBytes = [this](int32_t) { posted_bytes_.store(true, std::memory_order_relaxed); };
  srv.OnDebugLogBytes = [](int32_t) {};
  srv.OnDebugLog = [this](const std::string& msg) { Log(msg); };
  srv.OnNewSession = [this] {
    posted_new_sessions_.fetch_add(1);
    Post(kEventMessage);
  };
  srv.OnCloseSession = [this] {
    posted_closed_sessions_.fetch_add(1);
    Post(kEventMessage);
  };
  srv.TestForIE();
  srv.TestForFirefox();
  srv.TestForOpera();
  srv.TestForSafari();
  srv.TestForChrome();

  settings_ = LoadWindowSettings(settings_path_);
  srv.SetParams(settings_.Parameters);
  srv.SetDebugLog(settings_.DebugInfo);
  srv.SetRunSSL(settings_.SSL);
  // A stored number outside the list of browsers means the default browser.
  srv.SetRunIn(settings_.Browser >= 0 && settings_.Browser <= 5
                   ? static_cast<TSvWebBrowser>(settings_.Browser)
                   : TSvWebBrowser::wbDefault);
  ApplySpeed(settings_.SpeedLimit);
  // Last, so that a failed construction leaves nothing pointing here: from now on the lines
  // of the application log and those for the operator show on this console.
  SetConsoleEcho([this](std::string_view line) { Print(std::string(line)); });
}

TFormSvMain::~TFormSvMain() {
  // The server goes first: its listeners stop and its events stop posting here.
  mStandaloneServer.reset();
  SetConsoleEcho({});
  close_signals_.reset();
}

void TFormSvMain::Start(const HttpHostClass& aHttpClass) { mStandaloneServer->Start(aHttpClass); }

void TFormSvMain::Log(const std::string& AMsg) {
  if (!AMsg.empty()) {
    Print(AMsg);
  }
}

void TFormSvMain::Print(const std::string& line) {
  std::scoped_lock lock(output_mu_);
  std::fwrite(line.data(), 1, line.size(), streams_.output);
  std::fputc('\n', streams_.output);
  std::fflush(streams_.output);
}

void TFormSvMain::Post(char message) { wake_.Post(message); }

void TFormSvMain::ApplySpeed(int32_t bits_per_second) {
  // The server keeps it and hands it to its listeners once they exist.
  mStandaloneServer->SetConnectionSpeed(bits_per_second);
}

void TFormSvMain::HandlePostedEvents() {
  FSessionCount += posted_new_sessions_.exchange(0);
  FSessionCount -= posted_closed_sessions_.exchange(0);
  if (posted_bytes_.exchange(false)) {
    sent_label_ = FormatSentData(mStandaloneServer->TotalBytes());
  }
}

void TFormSvMain::RunMessageLoop() {
  // First show.
  if (settings_.StartBrowser) {
    mStandaloneServer->SetRunIn(TSvWebBrowser::wbDefault);
    try {
      mStandaloneServer->Run();
    } catch (const std::exception& e) {
      Print(e.what());
    }
  }

  bool input_open = streams_.input_fd >= 0;
  bool closing = false;
  std::string pending_input;
  while (!closing) {
    pollfd fds[2] = {{wake_.read_fd(), POLLIN, 0}, {streams_.input_fd, POLLIN, 0}};
    const int n = ::poll(fds, input_open ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) {
        closing = close_signals_->Requested();
        continue;
      }
      base::throw_errno("poll");
    }
    if (fds[0].revents != 0) {
      // The bytes only wake: what happened is in the posted counters and in Requested().
      char messages[64];
      while (::read(wake_.read_fd(), messages, sizeof messages) > 0) {
      }
      HandlePostedEvents();
    }
    // The signal's byte may have found the pipe full of session events and been dropped.
    closing = close_signals_->Requested();
    if (closing || !input_open || fds[1].revents == 0) {
      continue;
    }
    char buf[4096];
    const ssize_t got = ::read(streams_.input_fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      // End of input (or no input at all): keep serving until a signal or quit.
      input_open = false;
      continue;
    }
    pending_input.append(buf, static_cast<size_t>(got));
    size_t eol = 0;
    while (!closing && (eol = pending_input.find('\n')) != std::string::npos) {
      const std::string line = pending_input.substr(0, eol);
      pending_input.erase(0, eol + 1);
      HandlePostedEvents();
      closing = !Execute(ParseCommand(line));
    }
    // A line without end is bounded: commands are short.
    if (pending_input.size() > 64 * 1024) {
      pending_input.clear();
      Print("Input line too long; ignored.");
    }
  }
  // Closing the window ends every session.
  mStandaloneServer->ClearSessions();
  HandlePostedEvents();
}

bool TFormSvMain::Execute(const ConsoleCommand& command) {
  TSvStandAloneServer& srv = *mStandaloneServer;
  try {
    switch (command.kind) {
      case CommandKind::kNone:
        break;
      case CommandKind::kInvalid:
        Print(command.error);
        break;
      case CommandKind::kHelp:
        Print(std::string(CommandHelp().substr(0, CommandHelp().size() - 1)));
        break;
      case CommandKind::kStatus:
        ShowStatus();
        break;
      case CommandKind::kUrl:
        Print(srv.StartURL(false));
        break;
      case CommandKind::kCopyUrl:
        srv.CopyStartURLToClipboard();
        Print("Start URL copied: " + srv.StartURL(false));
        break;
      case CommandKind::kLaunch:
        srv.Run();
        break;
      case CommandKind::kResetSessions:
        srv.ClearSessions();
        HandlePostedEvents();
        FSessionCount = 0;
        sent_label_ = FormatSentData(srv.TotalBytes());
        Print("Active Sessions: 0");
        break;
      case CommandKind::kResetBytes:
        srv.ResetTotalBytes();
        sent_label_ = FormatSentData(srv.TotalBytes());
        Print("Sent: " + sent_label_);
        break;
      case CommandKind::kDebug:
        srv.SetDebugLog(command.on);
        Print("Debug Log: " + on_off(command.on));
        break;
      case CommandKind::kSsl:
        srv.SetRunSSL(command.on);
        Print("Use SSL: " + on_off(command.on));
        break;
      case CommandKind::kSpeed:
        ApplySpeed(command.bits_per_second);
        Print("Speed Simulation: " + SpeedText(srv.ConnectionSpeed()));
        break;
      case CommandKind::kParams:
        srv.SetParams(command.text);
        Print("Runtime parameters: " + command.text);
        break;
      case CommandKind::kBrowser:
        srv.SetRunIn(command.browser);
        Print("Browser: " + std::string(BrowserName(command.browser)));
        break;
      case CommandKind::kSave:
        SaveSettings();
        break;
      case CommandKind::kReopenLogs:
        // The writers reopen before their next write, within a fraction of a second.
        base::request_log_reopen();
        Print("Log files reopened.");
        break;
      case CommandKind::kQuit:
        return false;
    }
  } catch (const std::exception& e) {
    Print(e.what());
  }
  return true;
}

void TFormSvMain::ShowStatus() {
  TSvStandAloneServer& srv = *mStandaloneServer;
  sent_label_ = FormatSentData(srv.TotalBytes());
  Print("Active Sessions: " + std::to_string(FSessionCount));
  Print("Sent: " + sent_label_);
  Print("Start URL: " + srv.StartURL(false));
  Print("Speed Simulation: " + SpeedText(srv.ConnectionSpeed()));
  Print("Debug Log: " + on_off(srv.DebugLog()));
  Print("Use SSL: " + on_off(srv.RunSSL()));
  Print("Browser: " + std::string(BrowserName(srv.RunIn())));
  Print("Runtime parameters: " + srv.Params());
  server::TSvServerControllerBase* controller = server::ServerController();
  const int64_t live = controller != nullptr ? controller->Sessions().GetCount() : 0;
  for (const std::string& line : FiguresInWords(base::metrics(), live)) {
    Print(line);
  }
}

void TFormSvMain::SaveSettings() {
  TSvStandAloneServer& srv = *mStandaloneServer;
  WindowSettings s = settings_;
  s.Parameters = srv.Params();
  s.DebugInfo = srv.DebugLog();
  s.SSL = srv.RunSSL();
  s.Browser = static_cast<int32_t>(srv.RunIn());
  s.SpeedLimit = srv.ConnectionSpeed();
  SaveWindowSettings(settings_path_, s);
  settings_ = s;
  Print("Settings saved to " + settings_path_);
}

}  // namespace appsrv::host
