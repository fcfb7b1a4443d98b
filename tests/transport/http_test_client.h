// Test helpers that read raw HTTP responses: a parser for a stream of responses and a small
// loopback client for whole-transport tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace appsrv::transport::testing {

struct ParsedResponse {
  std::string status_line;
  std::vector<std::string> headers;  // "Name: value" lines in order
  std::string body;

  int status() const { return std::stoi(status_line.substr(9, 3)); }
  // The value of the first header named `name` (any case), or "(none)".
  std::string header(std::string_view name) const {
    for (const std::string& line : headers) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos && base::iequals(line.substr(0, colon), name)) {
        return std::string(base::trim(std::string_view(line).substr(colon + 1)));
      }
    }
    return "(none)";
  }
  int count(std::string_view name) const {
    int n = 0;
    for (const std::string& line : headers) {
      n += base::istarts_with(line, std::string(name) + ":") ? 1 : 0;
    }
    return n;
  }
};

// Splits the bytes a server sent into responses. Interim 100 responses count as responses.
// `head_only` lists, by index, responses that answer HEAD (their Content-Length has no body).
// Leftover bytes that do not make a whole response go to `rest`.
inline std::vector<ParsedResponse> ParseResponses(std::string_view raw, std::string* rest = nullptr,
                                                  std::vector<size_t> head_only = {}) {
  std::vector<ParsedResponse> out;
  while (!raw.empty()) {
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string_view::npos) {
      break;
    }
    ParsedResponse r;
    const std::vector<std::string> lines = base::split(raw.substr(0, end), '\n');
    for (size_t i = 0; i < lines.size(); ++i) {
      std::string line = lines[i];
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (i == 0) {
        r.status_line = line;
      } else {
        r.headers.push_back(line);
      }
    }
    size_t length = 0;
    const std::string cl = r.header("Content-Length");
    const bool is_head =
        std::find(head_only.begin(), head_only.end(), out.size()) != head_only.end();
    if (cl != "(none)" && !is_head) {
      length = std::stoul(cl);
    }
    if (raw.size() < end + 4 + length) {
      break;
    }
    r.body = std::string(raw.substr(end + 4, length));
    raw.remove_prefix(end + 4 + length);
    out.push_back(std::move(r));
  }
  if (rest != nullptr) {
    *rest = std::string(raw);
  }
  return out;
}

// One loopback TCP connection; reads wait at most `kSafetyTimeoutMs` so that a server that
// never answers fails the test instead of hanging it.
class LoopbackClient {
 public:
  static constexpr int kSafetyTimeoutMs = 20000;

  // `source`, when given, is the address the connection comes from (any of 127.0.0.0/8 on
  // loopback), so that one test can speak as several clients.
  explicit LoopbackClient(int port, const char* address = "127.0.0.1",
                          const char* source = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (source != nullptr) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      ::inet_pton(AF_INET, source, &from.sin_addr);
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        ADD_FAILURE() << "bind to " << source << " failed";
      }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ADD_FAILURE() << "connect failed";
    }
  }
  ~LoopbackClient() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) {
        return;  // the server may close early; the reply tells
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }
  // Closes with a reset instead of an orderly close, as a client that crashed or gave up.
  void Reset() {
    const linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

  // Everything until the server closes the connection (a reset after data counts as a close;
  // `orderly` tells whether it was the end of the stream instead).
  std::string ReadToClose(bool* orderly = nullptr) {
    std::string data;
    while (ReadSome(data)) {
    }
    if (orderly != nullptr) {
      *orderly = last_read_ended_stream_;
    }
    return data;
  }
  // Reads until at least one more byte arrived (or the server closed).
  void ReadSomeInto(std::string& data) { ReadSome(data); }
  // Reads until `count` whole responses arrived (or the server closed).
  std::vector<ParsedResponse> ReadResponses(size_t count, std::vector<size_t> head_only = {}) {
    while (true) {
      std::string rest;
      std::vector<ParsedResponse> got = ParseResponses(buffer_, &rest, head_only);
      if (got.size() >= count || !ReadSome(buffer_)) {
        return got;
      }
    }
  }
  // True when the server has closed the connection (after any bytes still waiting).
  bool ServerClosed() {
    std::string ignored;
    while (ReadSome(ignored)) {
    }
    return true;
  }

 private:
  bool ReadSome(std::string& into) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kSafetyTimeoutMs) <= 0) {
      ADD_FAILURE() << "no answer from the server";
      return false;
    }
    char buf[16384];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    last_read_ended_stream_ = n == 0;
    if (n <= 0) {
      return false;
    }
    into.append(buf, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buffer_;
  bool last_read_ended_stream_ = false;
};

}  // namespace appsrv::transport::testing
