// A program started by a test: its standard input and output on pipes, lines read with a
// deadline, signals, and a bounded wait for its end. The destructor kills what still runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace appsrv::testing {

class ChildProcess {
 public:
  // Starts `argv` in `folder` with the test's environment plus `extra_env` ("NAME=value");
  // standard error goes where the test's goes.
  ChildProcess(const std::vector<std::string>& argv, const std::string& folder,
               const std::vector<std::string>& extra_env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of standard output (without its line end), or nullopt when the output ended
  // or `timeout` passed first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Reads lines until one starts with `prefix`; returns it, or nullopt. Every line read is kept
  // in Output().
  std::optional<std::string> WaitForLine(std::string_view prefix,
                                         std::chrono::milliseconds timeout);
  const std::vector<std::string>& Output() const { return lines_; }

  void WriteInput(const std::string& text);
  void CloseInput();
  void Signal(int signal);
  // The exit status (or 128 + signal number), or nullopt when it still runs after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
  std::optional<int> status_;
};

}  // namespace appsrv::testing
