// Our HTTP server over TLS, keep-alive on, answering every request with "Pong": the TLS
// transport's cost per request (handshake, reads and writes through the session, the HTTP
// reader) without the request pipeline. Driven by bench/https_vs_nginx.sh.
// Usage: https_pong <folder with cert.pem, key.pem and root.pem> [port]   (0 or none: a free
// port). Prints "port N" once listening; runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "transport/http/http_server.h"
#include "transport/tls/ssl_io_handler.h"

int main(int argc, char** argv) {
  using namespace appsrv::transport;
  if (argc < 2) {
    std::fprintf(stderr, "usage: https_pong <certificate folder> [port]\n");
    return 2;
  }
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // Blocked here, so every thread started later leaves them to the sigwait below.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  const std::string folder = std::string(argv[1]) + "/";
  TInCustomHTTPServer server;
  server.SetKeepAlive(true);
  server.SetListenQueue(1024);
  auto& binding = server.Bindings().Add();
  binding.FIP = "127.0.0.1";
  binding.FPort = static_cast<uint16_t>(argc > 2 ? std::atoi(argv[2]) : 0);
  server.OnCommandGet = [](TInContext&, TInHTTPRequestInfo&, TInHTTPResponseInfo& response) {
    response.FContentType = "text/plain";
    response.FContentText = "Pong";
  };
  server.OnException = [](TInContext&, const std::exception&) {};
  auto tls = std::make_unique<TInServerIOHandlerSSLOpenSSL>();
  TInSSLOptions& options = tls->SSLOptions();
  options.fsCertFile = folder + "cert.pem";
  options.fsKeyFile = folder + "key.pem";
  options.fsRootCertFile = folder + "root.pem";
  options.fCipherList = kDefaultCipherList;
  options.fVerifyDepth = 2;
  server.SetIOHandler(std::move(tls));
  server.SetActive(true);
  std::printf("port %u\n", static_cast<unsigned>(binding.FPort));
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  server.SetActive(false);
  return 0;
}
