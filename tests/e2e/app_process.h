// The program in an application folder of its own: the folder, the running program on the port
// it reported, a client session, and the files and database beside it.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/http_client.h"

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

inline void exec_sql(const fs::path& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error != nullptr ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

inline std::string query_text(const fs::path& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open(db_path.c_str(), &db) != SQLITE_OK) {
    return "open failed";
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        const unsigned char* v = sqlite3_column_text(st, c);
        out += (c > 0 ? "|" : "") +
               std::string(v != nullptr ? reinterpret_cast<const char*>(v) : "NULL");
      }
      out += "\n";
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
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
  // port.ini with the port and, when given, more sections (such as "[LIMITS]\nMaxSessions=2\n").
  void SetPort(int port, const std::string& more = "") {
    write_file(root_ / "port.ini", "[PORTS]\nPort=" + std::to_string(port) + "\n" + more);
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

// A client session: the first request earns the cookie, later ones carry it.
class Client {
 public:
  explicit Client(uint16_t port) : port_(port) {}

  ParsedResponse Call(const std::string& function, const std::string& params) {
    ParsedResponse r =
        PostForm(port_, "/appservice/",
                 "Function=" + FormEncode(function) + "&Params=" + FormEncode(params), cookie_);
    for (const std::string& c : Cookies(r)) {
      cookie_ = c;
    }
    return r;
  }
  ParsedResponse Get(const std::string& target) {
    ParsedResponse r = testing::Get(port_, target, cookie_);
    for (const std::string& c : Cookies(r)) {
      cookie_ = c;
    }
    return r;
  }
  const std::string& cookie() const { return cookie_; }

 private:
  uint16_t port_;
  std::string cookie_;
};

inline std::string envelope(const std::string& function, const std::string& params,
                            const std::string& result) {
  return "Function=" + function + "\r\nParams=" + params + "\r\nResult=" + result;
}

}  // namespace appsrv::testing
