// A TCP server of ours that answers every connection with a fixed small HTTP reply ("Pong") and
// closes it: the transport's cost per connection (accept, thread, read, write, close) with no
// HTTP processing. Driven by tcp_pong_vs_nginx.sh, which runs wrk against it and nginx:
//   bench/tcp_pong_vs_nginx.sh
// Usage: tcp_pong [port [one-thread]]   (port 0 or none: a free port). Prints "port N" once
// listening; runs until SIGINT or SIGTERM. With "one-thread" the listening thread serves every
// connection itself through the same steps, with no connection thread: beside the usual run,
// that shows what starting and ending a connection thread costs.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include "transport/net/socket_channel.h"
#include "transport/net/tcp_server.h"

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

// Accepts on `listening` and serves each connection on this thread until `stop`.
void serve_on_this_thread(PongServer& server, appsrv::transport::TInSocketHandle& listening,
                          const std::atomic<bool>& stop) {
  using namespace appsrv::transport;
  while (!stop.load()) {
    if (!listening.Readable(TInCustomTCPServer::kListenSliceMs)) {
      continue;
    }
    auto socket = std::make_unique<TInSocketHandle>();
    if (!socket->Accept(listening, /*look_up_local_ip=*/false)) {
      continue;
    }
    server.ServeConnection(std::make_unique<TInIOHandler>(
        std::make_unique<SocketChannel>(std::move(socket)), server.ConnectionSettings()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // Blocked here, so every thread started later leaves them to the sigwait below.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  const uint16_t port = static_cast<uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0);
  const bool one_thread = argc > 2 && std::strcmp(argv[2], "one-thread") == 0;
  constexpr int kListenQueue = 1024;
  PongServer server;
  auto& binding = server.Bindings().Add();
  binding.FIP = "127.0.0.1";
  binding.FPort = port;
  std::atomic<bool> stop{false};
  std::thread serving;
  if (one_thread) {
    binding.AllocateSocket();
    binding.Bind();
    binding.Listen(kListenQueue);
    serving = std::thread([&] { serve_on_this_thread(server, binding, stop); });
  } else {
    server.SetListenQueue(kListenQueue);
    server.SetActive(true);
  }
  std::printf("port %u\n", static_cast<unsigned>(binding.FPort));
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  if (one_thread) {
    stop.store(true);
    serving.join();
  }
  server.SetActive(false);
  return 0;
}
