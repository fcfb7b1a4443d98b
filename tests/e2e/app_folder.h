// What whole-program tests share: a private application folder with the program in it, and
// the program running there on the port it reported.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

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

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const fs::path& path, const std::string& text) {
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

// A private application folder: the program (hard-linked, so that it finds its files beside
// itself), port.ini, wwwroot/ and a temporary folder of its own.
class AppFolder {
 public:
  AppFolder() {
    fs::create_directories(APPSRV_E2E_FOLDER);
    std::string tmpl = std::string(APPSRV_E2E_FOLDER) + "app-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    root_ = tmpl;
    fs::create_directories(root_ / "wwwroot");
    fs::create_directories(temp());
    std::error_code ec;
    fs::create_hard_link(APPSRV_PROGRAM, program(), ec);
    if (ec) {
      fs::copy_file(APPSRV_PROGRAM, program());
      fs::permissions(program(), fs::perms::owner_all);
    }
    SetPort(0);
  }
  ~AppFolder() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  AppFolder(const AppFolder&) = delete;
  AppFolder& operator=(const AppFolder&) = delete;

  fs::path root() const { return root_; }
  fs::path program() const { return root_ / "appserver"; }
  fs::path temp() const { return root_ / "tmp"; }
  fs::path database() const { return root_ / "TEST.mdb"; }
  // port.ini with the HTTP port and, when above 0, the HTTPS port.
  void SetPort(int port, int ssl_port = 0) {
    write_file(root_ / "port.ini",
               "[PORTS]\nPort=" + std::to_string(port) + "\n" +
                   (ssl_port > 0 ? "SSLPort=" + std::to_string(ssl_port) + "\n" : ""));
  }

  std::unique_ptr<ChildProcess> Launch() const {
    return std::make_unique<ChildProcess>(std::vector<std::string>{program().string()},
                                          root_.string(),
                                          std::vector<std::string>{"TMPDIR=" + temp().string()});
  }

 private:
  fs::path root_;
};

// The program running in an AppFolder, on the port it reported.
class Server {
 public:
  explicit Server(const AppFolder& folder) : process_(folder.Launch()) {
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
