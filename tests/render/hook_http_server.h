// A bare HTTP/1.1 server on 127.0.0.1 for browser tests: one request per connection, handed to
// the request hook as the transport hands it, the reply packet written back. It records the
// requests it served. Test harness only: no keep-alive, no chunked bodies, small requests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/pipeline/request_hook.h"

namespace appsrv::render::testing {

inline std::string url_decode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() &&
               std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

inline std::vector<std::string> form_fields(std::string_view text) {
  std::vector<std::string> fields;
  for (const std::string& part : base::split(text, '&')) {
    if (!part.empty()) {
      fields.push_back(url_decode(part));
    }
  }
  return fields;
}

class HookHttpServer {
 public:
  HookHttpServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, 64) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~HookHttpServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  HookHttpServer(const HookHttpServer&) = delete;
  HookHttpServer& operator=(const HookHttpServer&) = delete;

  int port() const { return port_; }
  // "METHOD /path?query -> code" for each request served, in order.
  std::vector<std::string> log() const {
    std::scoped_lock lock(mu_);
    return log_;
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) {
        continue;
      }
      const int client = accept(fd_, nullptr, nullptr);
      if (client >= 0) {
        Serve(client);
        close(client);
      }
    }
  }

  static bool ReadSome(int fd, std::string& data) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) {
      return false;
    }
    char buf[8192];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      return false;
    }
    data.append(buf, static_cast<size_t>(n));
    return true;
  }

  void Serve(int fd) {
    std::string data;
    size_t head_end;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadSome(fd, data)) {
        return;
      }
    }
    std::istringstream head(data.substr(0, head_end));
    std::string line;
    std::getline(head, line);
    std::istringstream request_line(line);
    std::string method, target;
    request_line >> method >> target;
    server::RequestPacketFields f;
    size_t content_length = 0;
    std::string content_type;
    while (std::getline(head, line)) {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      const size_t colon = line.find(':');
      if (colon == std::string::npos) {
        continue;
      }
      const std::string name = base::ascii_lowercase(line.substr(0, colon));
      const std::string value(base::trim(std::string_view(line).substr(colon + 1)));
      f.raw_headers.push_back(line.substr(0, colon) + ": " + value);
      if (name == "user-agent") {
        f.user_agent = value;
      } else if (name == "host") {
        f.host = value;
      } else if (name == "referer") {
        f.referer = value;
      } else if (name == "content-length") {
        content_length = std::stoul(value);
      } else if (name == "content-type") {
        content_type = value;
      } else if (name == "if-modified-since") {
        f.if_modified_since = value;
      } else if (name == "cookie") {
        for (const std::string& c : base::split(value, ';')) {
          f.cookie_fields.emplace_back(base::trim(c));
        }
      }
    }
    std::string body = data.substr(head_end + 4);
    while (body.size() < content_length) {
      std::string more;
      if (!ReadSome(fd, more)) {
        return;
      }
      body += more;
    }
    f.method = method;
    f.url = target;
    const size_t q = target.find('?');
    f.path_info = url_decode(target.substr(0, q));
    if (q != std::string::npos) {
      f.query = target.substr(q + 1);
      f.query_fields = form_fields(f.query);
    }
    if (base::istarts_with(content_type, "application/x-www-form-urlencoded")) {
      f.content_fields = form_fields(body);
    }
    f.has_content = method == "POST";
    f.remote_addr = "127.0.0.1";
    f.server_port = port_;

    std::vector<char> buffer(server::kExchangeBufferSize);
    server::write_request_packet(f, buffer.data(), server::kExchangeBufferSize);
    server::RequestHook()(buffer.data(), server::kExchangeBufferSize);
    const server::ReplyPacket r =
        server::read_reply_packet(buffer.data(), server::kExchangeBufferSize);
    std::string payload;
    if (r.data_type == server::rtInline) {
      payload = r.body_text();
    } else if (r.data_type == server::rtFile) {
      std::ifstream in(r.file_path, std::ios::binary);
      std::stringstream s;
      s << in.rdbuf();
      payload = s.str();
    }
    const int code = r.code == 0 ? 200 : r.code;
    std::string out = "HTTP/1.1 " + std::to_string(code) + " X\r\nConnection: close\r\n";
    if (!r.content_type.empty()) {
      out += "Content-Type: " + r.content_type + "\r\n";
    }
    for (const std::string& h : r.headers) {
      const size_t colon = h.find(':');
      out += h.substr(0, colon) + ": " + std::string(base::trim(h.substr(colon + 1))) + "\r\n";
    }
    for (const server::ReplyPacketCookie& c : r.cookies) {
      out += "Set-Cookie: " + c.name + "=" + c.value + "; Path=" + (c.path.empty() ? "/" : c.path);
      out += c.expires < 0 ? "; Max-Age=0\r\n" : "\r\n";
    }
    out += "Content-Length: " + std::to_string(payload.size()) + "\r\n\r\n" + payload;
    for (size_t sent = 0; sent < out.size();) {
      const ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        break;
      }
      sent += static_cast<size_t>(n);
    }
    std::scoped_lock lock(mu_);
    log_.push_back(method + " " + target + " -> " + std::to_string(code));
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<std::string> log_;  // guarded by mu_
};

}  // namespace appsrv::render::testing
