// A TCP server of ours that answers every connection with a fixed small HTTP reply ("Pong") and
// closes it: the transport's cost per connection (accept, thread, read, write, close) with no
// HTTP processing. Driven by tcp_pong_vs_nginx.sh, which runs wrk against it and nginx:
//   bench/tcp_pong_vs_nginx.sh
// Usage: tcp_pong [port]   (0 or none: a free port). Prints "port N" once listening; runs until
// SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "transport/tcp_server.h"

namespace {

constexpr std::string_view kReply =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\nConnection: close\r\n"
    "\r\nPong";

class PongServer : public appsrv::transport::TInCustomTCPServer {
 protected:
  bool DoExecute(appsrv::transport::TInContext& context) override {
    auto& io = context.IOHandler();
    while (!io.ReadLnBytes().empty()) {
    }
    // As the HTTP server ends a connection: the reply and the end of the stream in one packet.
    io.LastWritesFollow();
    io.WriteBytes(kReply);
    io.EndSending();
    return false;
  }
  void DoException(appsrv::transport::TInContext&, const std::exception&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // Blocked here, so every thread started later leaves them to the sigwait below.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  PongServer server;
  auto& binding = server.Bindings().Add();
  binding.FIP = "127.0.0.1";
  binding.FPort = static_cast<uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0);
  server.SetListenQueue(1024);
  server.SetActive(true);
  std::printf("port %u\n", static_cast<unsigned>(binding.FPort));
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  server.SetActive(false);
  return 0;
}
