// Start-up: initialises the framework, connects the transport to the request pipeline, then
// runs service mode or opens the server window (the console host) until it is closed.
#pragma once

namespace appsrv::host {

class TSvStart {
 public:
  // Window mode when `aForceUI`, else only with the switch "GUI".
  explicit TSvStart(bool aForceUI);

  // Creates a TSvStart, runs it, and frees the process-wide server controller afterwards.
  static void Execute(bool aForceUI);
  // The run sequence, on the main thread; returns once service mode has ended or the window
  // has closed. Failures do not leave it: "Error: " + message goes to standard error and to
  // the application log file, and the exit code becomes 1 (in service mode
  // kConfigurationExitCode). The window's failure to open its listeners is one of them: no
  // window then serves commands.
  void Run();

  bool mShowUI;
};

}  // namespace appsrv::host
