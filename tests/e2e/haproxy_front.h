// HAProxy in front of the running program, with the configuration we ship
// (deploy/scale-out/haproxy.cfg): a copy whose ports point at free ones and at the program, and
// which reports its figures on a stats socket; everything else is as deployed.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/text.h"
#include "tests/e2e/app_folder.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"

namespace appsrv::testing {

// The full path of `name` found in the usual program folders, or "" when none has it.
inline std::string find_program(std::string_view name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/bin"}) {
    const std::filesystem::path path = std::filesystem::path(dir) / name;
    if (::access(path.c_str(), X_OK) == 0) {
      return path.string();
    }
  }
  return {};
}

// The shipped configuration with its frontend bound to 127.0.0.1:`front_port`, its first
// server at 127.0.0.1:`backend_port` (the other servers dropped: one program runs), a stats
// socket at `stats_socket`, and without `log /dev/log` when this machine has no syslog.
inline std::string proxy_config(std::string_view shipped, int front_port, int backend_port,
                                const std::filesystem::path& stats_socket, bool syslog) {
  std::string out;
  bool server_kept = false;
  for (const std::string& line : base::split(shipped, '\n')) {
    const std::string_view text = base::trim(line);
    std::string kept = line;
    if (text.starts_with("log /dev/log") && !syslog) {
      continue;
    }
    if (text.starts_with("bind ")) {
      kept = "    bind 127.0.0.1:" + std::to_string(front_port);
    } else if (text.starts_with("server ")) {
      if (server_kept) {
        continue;
      }
      server_kept = true;
      const std::vector<std::string> words = base::split(text, ' ');
      kept = "    server " + words.at(1) + " 127.0.0.1:" + std::to_string(backend_port);
    }
    out += kept + "\n";
    if (text == "global") {
      out += "    stats socket " + stats_socket.string() + " level user\n";
    }
  }
  return out;
}

class HaproxyFront {
 public:
  // "" when HAProxy can run here, else why not (for GTEST_SKIP).
  static std::string Missing() {
    return find_program("haproxy").empty() ? "haproxy is not installed" : "";
  }

  // Starts HAProxy in `folder` in front of the program on `backend_port` and waits until it
  // counts the program as up.
  HaproxyFront(const std::filesystem::path& folder, uint16_t backend_port)
      : socket_(folder / "haproxy.sock") {
    const std::string shipped =
        read_file(std::filesystem::path(APPSRV_SOURCE_DIR) / "deploy/scale-out/haproxy.cfg");
    EXPECT_NE(shipped.find("option forwardfor"), std::string::npos);
    const bool syslog = std::filesystem::exists("/dev/log");
    // A free port may be taken before HAProxy binds it: then it ends at once, and another try
    // picks another port.
    for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
      const int port = free_port();
      const std::filesystem::path config = folder / "haproxy.cfg";
      write_file(config, proxy_config(shipped, port, backend_port, socket_, syslog));
      std::error_code ignored;
      std::filesystem::remove(socket_, ignored);
      process_ = std::make_unique<ChildProcess>(
          std::vector<std::string>{find_program("haproxy"), "-db", "-f", config.string()},
          folder.string());
      if (WaitUntilServerUp()) {
        port_ = static_cast<uint16_t>(port);
      }
    }
    EXPECT_NE(port_, 0) << "HAProxy did not start";
  }
  ~HaproxyFront() {
    if (process_ && process_->Running()) {
      process_->Signal(SIGTERM);
      if (!process_->Wait(std::chrono::seconds(20))) {
        process_->Signal(SIGKILL);
      }
    }
  }
  HaproxyFront(const HaproxyFront&) = delete;
  HaproxyFront& operator=(const HaproxyFront&) = delete;

  uint16_t port() const { return port_; }

  // The program's line of "show stat", by column name; empty when the socket did not answer.
  std::map<std::string, std::string> ServerStats() const {
    const std::vector<std::string> lines = base::split(Ask("show stat\n"), '\n');
    if (lines.empty() || !lines[0].starts_with("# ")) {
      return {};
    }
    const std::vector<std::string> names = base::split(lines[0].substr(2), ',');
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::vector<std::string> values = base::split(lines[i], ',');
      if (values.size() < 2 || values[0] != "appservers" || values[1] == "BACKEND") {
        continue;
      }
      std::map<std::string, std::string> row;
      for (size_t k = 0; k < names.size() && k < values.size(); ++k) {
        row[names[k]] = values[k];
      }
      return row;
    }
    return {};
  }
  // Responses HAProxy has taken from the program for relayed requests (its health checks are
  // counted apart).
  int64_t ServerResponses() const {
    const std::map<std::string, std::string> row = ServerStats();
    int64_t total = 0;
    for (const char* column :
         {"hrsp_1xx", "hrsp_2xx", "hrsp_3xx", "hrsp_4xx", "hrsp_5xx", "hrsp_other"}) {
      const auto it = row.find(column);
      if (it != row.end() && !it->second.empty()) {
        total += std::stoll(it->second);
      }
    }
    return total;
  }

 private:
  bool WaitUntilServerUp() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline && process_->Running()) {
      const std::map<std::string, std::string> row = ServerStats();
      if (const auto it = row.find("status"); it != row.end() && it->second == "UP") {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // `command` on the stats socket and the whole answer; "" when it cannot be reached.
  std::string Ask(const std::string& command) const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval patience{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socket_.string().copy(addr.sun_path, sizeof addr.sun_path - 1);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, command.data(), command.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(command.size())) {
      char buf[8192];
      for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
        answer.append(buf, static_cast<size_t>(n));
      }
    }
    ::close(fd);
    return answer;
  }

  std::filesystem::path socket_;
  std::unique_ptr<ChildProcess> process_;
  uint16_t port_ = 0;
};

}  // namespace appsrv::testing
