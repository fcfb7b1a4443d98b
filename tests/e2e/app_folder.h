// What the whole-program tests share: a private application folder holding the programs, the
// program running there on the port it reported, and a loopback port kept busy.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/child_process.h"

namespace appsrv::testing {

namespace fs = std::filesystem;
using std::chrono::seconds;

inline constexpr std::string_view kActiveLine = "HTTP Server is active on port: ";

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The threads of process `pid` now, from /proc; 0 when it is gone.
inline int ThreadsOf(pid_t pid) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) {
      return std::stoi(line.substr(8));
    }
  }
  return 0;
}

// Raises this process's soft limit on descriptors to `want` when the hard limit allows; false
// when it stays below (the caller skips its case then).
inline bool EnsureDescriptors(rlim_t want) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) {
    return false;
  }
  if (files.rlim_cur < want) {
    files.rlim_cur = std::min(files.rlim_max, want);
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0) {
      return false;
    }
  }
  return files.rlim_cur >= want;
}

inline void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// UTF-16 LE bytes of ASCII text read back as text (every second byte must be 0).
inline std::string ascii_from_utf16le(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    EXPECT_EQ(bytes[i + 1], '\0') << "not UTF-16 LE at byte " << i;
    out.push_back(bytes[i]);
  }
  return out;
}

// A private application folder: the programs (hard-linked, so that they find their files
// beside themselves), port.ini asking for a free port, wwwroot/ and a temporary folder.
class AppFolder {
 public:
  AppFolder() {
    namespace fs = std::filesystem;
    fs::create_directories(APPSRV_E2E_FOLDER);
    std::string tmpl = std::string(APPSRV_E2E_FOLDER) + "app-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    root_ = tmpl;
    fs::create_directories(root_ / "wwwroot");
    fs::create_directories(temp());
    link(APPSRV_PROGRAM, program());
    link(APPSRV_SERVICE_PROGRAM, service_program());
    SetPort(0);
  }
  ~AppFolder() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  AppFolder(const AppFolder&) = delete;
  AppFolder& operator=(const AppFolder&) = delete;

  std::filesystem::path root() const { return root_; }
  std::filesystem::path program() const { return root_ / "appserver"; }
  std::filesystem::path service_program() const { return root_ / "appserver-service"; }
  std::filesystem::path temp() const { return root_ / "tmp"; }
  std::filesystem::path database() const { return root_ / "TEST.mdb"; }
  // port.ini with the HTTP port and, when above 0, the HTTPS port.
  void SetPort(int port, int ssl_port = 0) const {
    write_file(root_ / "port.ini",
               "[PORTS]\nPort=" + std::to_string(port) + "\n" +
                   (ssl_port > 0 ? "SSLPort=" + std::to_string(ssl_port) + "\n" : ""));
  }

  std::unique_ptr<ChildProcess> Launch() const {
    return std::make_unique<ChildProcess>(std::vector<std::string>{program().string()},
                                          root_.string(), environment());
  }
  // The program started by /bin/sh after `shell_setup` (such as "ulimit -n 256"), with its
  // standard error joined to its standard output.
  std::unique_ptr<ChildProcess> LaunchAfter(const std::string& shell_setup,
                                            const std::vector<std::string>& extra_env) const {
    std::vector<std::string> env = environment();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", shell_setup + " && exec \"$0\" 2>&1",
                                 program().string()},
        root_.string(), env);
  }
  // `program` (program() or service_program()) with `arguments`, its standard output dropped
  // and its standard error read in its place, so that a test sees what goes there alone.
  // `extra_env` entries replace the folder's own (TMPDIR); NOTIFY_SOCKET is empty.
  std::unique_ptr<ChildProcess> LaunchForErrors(const std::filesystem::path& program,
                                                const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& extra_env) const {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1 >/dev/null",
                                  program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = extra_env;
    for (const std::string& own : environment()) {
      const std::string name = own.substr(0, own.find('=') + 1);
      if (std::none_of(extra_env.begin(), extra_env.end(),
                       [&](const std::string& e) { return e.starts_with(name); })) {
        env.push_back(own);
      }
    }
    env.emplace_back("NOTIFY_SOCKET=");
    return std::make_unique<ChildProcess>(argv, root_.string(), env);
  }
  // The service program with `arguments`; its standard error joins its standard output, and
  // NOTIFY_SOCKET is passed only when `extra_env` sets it.
  std::unique_ptr<ChildProcess> LaunchService(const std::vector<std::string>& arguments,
                                              const std::vector<std::string>& extra_env) const {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                  service_program().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = environment();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    // Not started by systemd unless the test says so, even when the test itself is.
    if (std::none_of(extra_env.begin(), extra_env.end(), [](const std::string& e) {
          return e.starts_with("NOTIFY_SOCKET=");
        })) {
      env.emplace_back("NOTIFY_SOCKET=");
    }
    return std::make_unique<ChildProcess>(argv, root_.string(), env);
  }

 private:
  static void link(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    std::filesystem::create_hard_link(from, to, ec);
    if (ec) {
      std::filesystem::copy_file(from, to);
      std::filesystem::permissions(to, std::filesystem::perms::owner_all);
    }
  }
  std::vector<std::string> environment() const { return {"TMPDIR=" + temp().string()}; }

  std::filesystem::path root_;
};

// A listening socket on loopback that keeps its port busy.
class BusyPort {
 public:
  BusyPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(::listen(fd_, 1), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~BusyPort() { ::close(fd_); }
  BusyPort(const BusyPort&) = delete;
  BusyPort& operator=(const BusyPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// The program running in an AppFolder, on the port it reported.
class Server {
 public:
  // `shell_setup` and `extra_env`: see AppFolder::LaunchAfter.
  explicit Server(const AppFolder& folder, const std::string& shell_setup = "",
                  const std::vector<std::string>& extra_env = {})
      : process_(shell_setup.empty() ? folder.Launch()
                                     : folder.LaunchAfter(shell_setup, extra_env)) {
    const std::optional<std::string> line = process_->WaitForLine(kActiveLine, seconds(60));
    if (!line) {
      ADD_FAILURE() << "no active line; output:\n" << output();
      return;
    }
    port_ = static_cast<uint16_t>(std::stoi(line->substr(kActiveLine.size())));
    // The start-up report ends with a rule; what follows answers commands.
    EXPECT_TRUE(process_->WaitForLine("---------------------", seconds(20)));
  }
  ~Server() {
    if (process_->Running()) {
      process_->Signal(SIGKILL);
    }
  }

  uint16_t port() const { return port_; }
  ChildProcess& process() { return *process_; }
  std::string output() const {
    std::string all;
    for (const std::string& line : process_->Output()) {
      all += line + "\n";
    }
    return all;
  }
  // Sends one command and returns the first line of its answer.
  std::optional<std::string> Command(const std::string& line) {
    process_->WriteInput(line + "\n");
    return process_->ReadLine(seconds(20));
  }
  // SIGTERM, then the exit status.
  std::optional<int> Stop() {
    process_->Signal(SIGTERM);
    return process_->Wait(seconds(60));
  }

 private:
  std::unique_ptr<ChildProcess> process_;
  uint16_t port_ = 0;
};

}  // namespace appsrv::testing
