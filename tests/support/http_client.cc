#include "tests/support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>

#include "base/text.h"
#include "base/unique_fd.h"

namespace appsrv::testing {
namespace {

std::string request_head(std::string_view method, uint16_t port, const std::string& target,
                         const std::string& cookie) {
  std::string head = std::string(method) + " " + target +
                     " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                     "\r\nUser-Agent: appsrv-e2e\r\nConnection: close\r\n";
  if (!cookie.empty()) {
    head += "Cookie: " + cookie + "\r\n";
  }
  return head;
}

}  // namespace

ParsedResponse SendRaw(uint16_t port, const std::string& raw, const std::string& source) {
  transport::testing::LoopbackClient client(port, "127.0.0.1",
                                            source.empty() ? nullptr : source.c_str());
  client.Send(raw);
  std::vector<ParsedResponse> responses = client.ReadResponses(1);
  if (responses.empty()) {
    ADD_FAILURE() << "no response to:\n" << raw.substr(0, 300);
    return {};
  }
  return std::move(responses.front());
}

std::string ExchangeUntilClose(uint16_t port, const std::string& raw) {
  const base::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int fd = socket.get();
  if (fd < 0) {
    return "";
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(raw.size())) {
    char buf[16384];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, transport::testing::LoopbackClient::kSafetyTimeoutMs) > 0) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        break;
      }
      reply.append(buf, static_cast<size_t>(n));
    }
  }
  return reply;
}

ParsedResponse Get(uint16_t port, const std::string& target, const std::string& cookie,
                   const std::string& source) {
  return SendRaw(port, request_head("GET", port, target, cookie) + "\r\n", source);
}

ParsedResponse PostForm(uint16_t port, const std::string& target, const std::string& body,
                        const std::string& cookie, const std::string& source) {
  return SendRaw(port,
                 request_head("POST", port, target, cookie) +
                     "Content-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body,
                 source);
}

std::vector<std::string> Cookies(const ParsedResponse& response) {
  std::vector<std::string> out;
  for (const std::string& line : response.headers) {
    if (base::istarts_with(line, "Set-Cookie:")) {
      const std::string_view value = base::trim(std::string_view(line).substr(11));
      out.emplace_back(value.substr(0, value.find(';')));
    }
  }
  return out;
}

std::string FormEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
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
