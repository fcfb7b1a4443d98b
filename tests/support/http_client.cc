#include "tests/support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace appsrv::testing {
namespace {

using Clock = std::chrono::steady_clock;

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Parses what arrived so far; true once the whole response is there.
bool parse(const std::string& raw, bool closed, HttpResponse& r) {
  const size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) {
    return false;
  }
  r = HttpResponse{};
  size_t line_start = 0;
  bool first = true;
  while (line_start < head_end) {
    size_t eol = raw.find("\r\n", line_start);
    const std::string line = raw.substr(line_start, eol - line_start);
    line_start = eol + 2;
    if (first) {
      first = false;
      const size_t sp1 = line.find(' ');
      const size_t sp2 = line.find(' ', sp1 + 1);
      r.status = std::stoi(line.substr(sp1 + 1, sp2 - sp1 - 1));
      r.reason = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
      continue;
    }
    const size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    r.headers.emplace_back(line.substr(0, colon), value);
  }
  r.body = raw.substr(head_end + 4);
  const std::string length = r.header("Content-Length");
  if (!length.empty()) {
    const size_t want = std::stoul(length);
    if (r.body.size() < want) {
      return false;
    }
    r.body.resize(want);
    return true;
  }
  return closed;
}

}  // namespace

std::string HttpResponse::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (iequal(n, name)) {
      return v;
    }
  }
  return {};
}

std::vector<std::string> HttpResponse::cookies() const {
  std::vector<std::string> out;
  for (const auto& [n, v] : headers) {
    if (iequal(n, "Set-Cookie")) {
      out.push_back(v.substr(0, v.find(';')));
    }
  }
  return out;
}

HttpResponse SendRaw(uint16_t port, const std::string& raw, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  Socket s;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("connect to port " + std::to_string(port) + " failed");
  }
  size_t sent = 0;
  while (sent < raw.size()) {
    const ssize_t n = ::send(s.fd(), raw.data() + sent, raw.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      break;  // the server may answer before reading everything
    }
    sent += static_cast<size_t>(n);
  }
  std::string got;
  HttpResponse r;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{s.fd(), POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
      throw std::runtime_error("no complete answer in time; got: " + got);
    }
    char buf[16384];
    const ssize_t n = ::recv(s.fd(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
    }
    if (parse(got, n <= 0, r)) {
      return r;
    }
    if (n <= 0) {
      throw std::runtime_error("connection closed before a complete answer; got: " + got);
    }
  }
}

HttpResponse Get(uint16_t port, const std::string& target, const std::string& cookie) {
  std::string raw = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nUser-Agent: appsrv-e2e\r\nConnection: close\r\n";
  if (!cookie.empty()) {
    raw += "Cookie: " + cookie + "\r\n";
  }
  return SendRaw(port, raw + "\r\n");
}

HttpResponse PostForm(uint16_t port, const std::string& target, const std::string& body,
                      const std::string& cookie) {
  std::string raw = "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nUser-Agent: appsrv-e2e\r\nConnection: close\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\n"
                    "Content-Length: " +
                    std::to_string(body.size()) + "\r\n";
  if (!cookie.empty()) {
    raw += "Cookie: " + cookie + "\r\n";
  }
  return SendRaw(port, raw + "\r\n" + body);
}

std::string FormEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 15]);
    }
  }
  return out;
}

}  // namespace appsrv::testing
