// Headless Chromium for browser tests: one run on a fresh profile that dumps the document or
// takes a screenshot, and the console lines it logged.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
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

// The console messages that the page under test logged, whose source starts with
// `page_origin` ("http://127.0.0.1:<port>/"). The runtime writes nothing to the console, so each
// is a script error or a warning. Chromium logs messages of its own pages as well (chrome://
// pages, "Slow network is detected" interventions): they say nothing about ours. A message may
// run over several lines; its entry ends at the line that names its source.
inline std::vector<std::string> ConsoleProblems(const std::string& log,
                                                const std::string& page_origin) {
  static constexpr std::string_view kSource = "\", source: ";
  std::vector<std::string> problems;
  std::istringstream in(log);
  std::string line;
  std::string entry;
  bool in_entry = false;
  while (std::getline(in, line)) {
    if (line.find(":CONSOLE") != std::string::npos && line.rfind('[', 0) == 0) {
      entry.clear();
      in_entry = true;
    }
    if (!in_entry) {
      continue;
    }
    entry += entry.empty() ? line : "\n" + line;
    const size_t source = line.rfind(kSource);
    if (source == std::string::npos) {
      continue;
    }
    in_entry = false;
    if (line.compare(source + kSource.size(), page_origin.size(), page_origin) == 0) {
      problems.push_back(entry);
    }
  }
  return problems;
}

}  // namespace appsrv::render::testing
