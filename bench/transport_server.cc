// The application served by the real transport, for the load script bench/http_load.sh.
//
//   transport_server [keepalive|close] [database-folder]
//
// Builds the application's controller over a private folder (with an empty TEST.mdb, or a copy
// of the one in <database-folder>), registers its handlers, opens a TSaServerArdo on a free
// loopback port, prints "port <n>" and serves until SIGINT or SIGTERM. With "keepalive" the
// controller's HttpKeepAlive is on.
#include <signal.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "base/files.h"
#include "bench/bench_support.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/request_hook.h"
#include "transport/bridge/server_bridge.h"

int main(int argc, char** argv) {
  using namespace appsrv;
  const bool keep_alive = argc > 1 && std::strcmp(argv[1], "keepalive") == 0;
  // The signals are waited for below; every thread started from here on inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  bench::BenchFolder folder("transport");
  base::write_file(folder.app() + "port.ini", "[PORTS]\nPort=0\n");
  if (argc > 2) {
    std::filesystem::copy_file(std::filesystem::path(argv[2]) / "TEST.mdb",
                               folder.app() + "TEST.mdb");
  } else {
    sqlite3* db = nullptr;
    bench::check_sqlite(sqlite3_open((folder.app() + "TEST.mdb").c_str(), &db), db, "open");
    sqlite3_close(db);
  }
  try {
    app::RegisterContentHandlers();
    app::RegisterServerController();
    server::TSvServerControllerBase& controller =
        server::InitServerController(folder.environment("transport_server"));
    controller.SetHttpKeepAlive(keep_alive);
    server::SetRequestHook(&server::ExecuteRequest);
    {
      transport::TSaServerArdo host(controller);
      std::printf("port %d\n", controller.Port());
      std::fflush(stdout);
      int signal = 0;
      sigwait(&stop_signals, &signal);
    }
    server::SetRequestHook(nullptr);
    server::FreeServerController();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "transport_server: %s\n", e.what());
    server::FreeServerController();
    return 1;
  }
  return 0;
}
