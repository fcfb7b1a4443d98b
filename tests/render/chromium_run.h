// Headless Chromium for browser tests: one run on a fresh profile that dumps the document or
// takes a screenshot, and the console lines it logged.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace appsrv::render::testing {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool ChromiumInstalled() { return std::system("command -v chromium >/dev/null 2>&1") == 0; }

struct BrowserRun {
  int status = -1;
  std::string output;  // --dump-dom: the document at the end
  std::string log;     // the browser's log, console messages included
};

// One headless run on a fresh profile in `dir`, ended after 90 seconds at the latest; `mode` is
// "--dump-dom" or "--screenshot=<file>".
inline BrowserRun RunChromium(const std::string& url, const std::string& mode,
                              const std::string& dir) {
  const std::string profile = dir + "/profile";
  std::filesystem::remove_all(profile);
  const std::string out = dir + "/out.txt";
  const std::string log = dir + "/log.txt";
  const std::string command =
      "timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--disable-dev-shm-usage --hide-scrollbars --window-size=1024,600 "
      "--enable-logging=stderr --v=0 --virtual-time-budget=5000 --user-data-dir=" +
      profile + " " + mode + " '" + url + "' >" + out + " 2>" + log;
  BrowserRun run;
  run.status = std::system(command.c_str());
  run.output = ReadFile(out);
  run.log = ReadFile(log);
  return run;
}

// Console lines the browser logged for the pages. The runtime writes nothing to the console,
// so every line is a script error or a warning.
inline std::vector<std::string> ConsoleProblems(const std::string& log) {
  std::vector<std::string> problems;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(":CONSOLE") != std::string::npos) {
      problems.push_back(line);
    }
  }
  return problems;
}

}  // namespace appsrv::render::testing
