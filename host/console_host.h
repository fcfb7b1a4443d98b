// The server window as a console host: owns the standalone server, prints every log line on
// standard output, keeps the session count and the sent data from the server's events, offers
// the window's actions as commands read from standard input, and keeps its settings in the
// ".svb" file beside the program. SIGINT and SIGTERM close it as closing the window does.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "host/close_signals.h"
#include "host/console_commands.h"
#include "host/standalone_server.h"
#include "host/window_settings.h"

namespace appsrv::host {

// Where the console host reads commands and writes its lines; the program uses its standard
// input and output.
struct ConsoleStreams {
  int input_fd = 0;
  FILE* output = stdout;
  std::string settings_path;  // default: WindowSettingsPath()
};

// Lives on the main thread from start-up to the end of the process. While it exists, SIGINT
// and SIGTERM ask its message loop to close instead of ending the process.
class TFormSvMain {
 public:
  // Creates the standalone server (which builds the server controller when there is none yet)
  // and applies the settings file.
  explicit TFormSvMain(ConsoleStreams streams = {});
  ~TFormSvMain();
  TFormSvMain(const TFormSvMain&) = delete;
  TFormSvMain& operator=(const TFormSvMain&) = delete;

  // Starts the server; its failure leaves here (start-up logs it).
  void Start(const HttpHostClass& aHttpClass);
  // Prints `AMsg` as one line unless it is empty. Safe from any thread.
  void Log(const std::string& AMsg);
  // Serves commands and server events until "quit" or a signal, then clears the sessions.
  // The end of standard input does not end it.
  void RunMessageLoop();
  // Carries out one command; false for quit.
  bool Execute(const ConsoleCommand& command);

  TSvStandAloneServer& server() { return *mStandaloneServer; }

 private:
  void ApplySpeed(int32_t bits_per_second);
  void ShowStatus();
  void SaveSettings();
  // Applies the server events posted since the last call (the window's WM_APP messages).
  void HandlePostedEvents();
  void Post(char message);
  void Print(const std::string& line);

  ConsoleStreams streams_;
  std::string settings_path_;
  WindowSettings settings_;  // as loaded; RunInTray and RunMinimized are kept and saved back
  int32_t FSessionCount = 0;
  std::string sent_label_ = "0 bytes";
  std::unique_ptr<TSvStandAloneServer> mStandaloneServer;

  // Posted by server events on other threads, applied on the main thread.
  std::atomic<int32_t> posted_new_sessions_{0};
  std::atomic<int32_t> posted_closed_sessions_{0};
  std::atomic<bool> posted_bytes_{false};
  WakePipe wake_;  // also written by the signal handlers
  std::unique_ptr<CloseSignals> close_signals_;

  std::mutex output_mu_;  // guards writes to streams_.output
};

}  // namespace appsrv::host
