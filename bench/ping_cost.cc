// What one "/$/ping" costs the server inside the process: heap allocations (malloc, calloc,
// realloc and memalign calls, operator new included) per request, and under callgrind the
// instructions per request.
//
//   ping_cost [requests [nolog] [close] [add]]   (default 2000 requests, access log to a file)
//   valgrind --tool=callgrind --instr-atstart=no build-bench/bin/ping_cost 2000
//   valgrind --tool=callgrind --instr-atstart=no build-bench/bin/ping_cost 2000 add
//
// With `add` every request is instead an Add call of the application service on a live session,
// as bench/http_load.sh sends it: a form body and the session's cookie, which the first warm-up
// call (sent without one) gets back.
//
// Serves the application on a free loopback port through the real transport, as
// bench/transport_server does; a client thread of this program sends the requests one after
// the other. By default HttpKeepAlive is on and they share one connection; with `close`
// HttpKeepAlive is off and every request comes on a connection of its own with
// "Connection: close", as wrk sends it, and is read to the end of the stream: the listener
// accepts it and a new thread serves it. The allocations made on threads that started during
// the measured requests (the connection threads of `close`) are shown apart. The client reads
// into fixed buffers and allocates nothing, so every allocation counted between the first and
// the last measured request is the server's. The first requests warm up what is made once (the
// thread stacks the server keeps, caches). Under callgrind only the measured requests are
// collected (client and server threads together; the client's share is its socket calls).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>
#include <thread>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS
#endif

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "base/files.h"
#include "bench/bench_support.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/request_hook.h"
#include "transport/bridge/server_bridge.h"

namespace {

std::atomic<unsigned long long> g_allocations{0};
// Allocations on threads whose first allocation came while g_measuring was set.
std::atomic<unsigned long long> g_new_thread_allocations{0};
std::atomic<bool> g_measuring{false};

// Whether the calling thread started allocating during the measurement: 0 not yet known, 1 no,
// 2 yes. Plain thread-local data of the program itself: reading it allocates nothing.
thread_local int t_born_measuring = 0;

void count_allocation() {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (t_born_measuring == 0) {
    t_born_measuring = g_measuring.load(std::memory_order_relaxed) ? 2 : 1;
  }
  if (t_born_measuring == 2) {
    g_new_thread_allocations.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

// Every heap block of the process comes from these (operator new calls malloc): glibc's own
// entry points do the work, and each block asked for is counted, a realloc as one.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
  count_allocation();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  count_allocation();
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
  count_allocation();
  return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}
}

namespace {

constexpr int kWarmUpRequests = 50;

void fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

// A socket connected to the port on 127.0.0.1.
int connect_loopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    fail("connect");
  }
  return fd;
}

void send_request(int fd, std::string_view request) {
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    fail("send");
  }
}

// Sends one request and reads its whole reply (head, then Content-Length bytes of body) into
// `reply`, which ends with a NUL.
void ping(int fd, std::string_view request, char (&reply)[4096]) {
  send_request(fd, request);
  size_t have = 0;
  while (true) {
    const ssize_t n = ::recv(fd, reply + have, sizeof reply - have - 1, 0);
    if (n <= 0) {
      fail("recv");
    }
    have += static_cast<size_t>(n);
    reply[have] = '\0';
    const char* head_end = std::strstr(reply, "\r\n\r\n");
    if (head_end == nullptr) {
      continue;
    }
    const char* length = strcasestr(reply, "\r\nContent-Length:");
    const size_t body = length != nullptr && length < head_end
                            ? std::strtoul(length + std::strlen("\r\nContent-Length:"), nullptr, 10)
                            : 0;
    if (have >= static_cast<size_t>(head_end + 4 - reply) + body) {
      if (std::strncmp(reply, "HTTP/1.1 200", 12) != 0) {
        std::fprintf(stderr, "unexpected reply: %.80s\n", reply);
        std::exit(1);
      }
      return;
    }
  }
}

void ping(int fd, std::string_view request) {
  char reply[4096];
  ping(fd, request, reply);
}

// The "name=value" of the reply's first Set-Cookie header, or "" without one.
std::string_view first_cookie(const char* reply) {
  const char* at = strcasestr(reply, "\r\nSet-Cookie:");
  if (at == nullptr) {
    return {};
  }
  at += std::strlen("\r\nSet-Cookie:");
  while (*at == ' ') {
    ++at;
  }
  return std::string_view(at, std::strcspn(at, ";\r"));
}

// Connects, sends one ping and reads its reply to the end of the stream.
void ping_on_new_connection(uint16_t port, std::string_view request) {
  const int fd = connect_loopback(port);
  send_request(fd, request);
  char reply[4096];
  size_t have = 0;
  while (true) {
    const ssize_t n = ::recv(fd, reply + have, sizeof reply - have, 0);
    if (n < 0) {
      fail("recv");
    }
    if (n == 0) {
      break;
    }
    have += static_cast<size_t>(n);
    if (have == sizeof reply) {
      std::fprintf(stderr, "reply too long\n");
      std::exit(1);
    }
  }
  ::close(fd);
  if (have < 12 || std::strncmp(reply, "HTTP/1.1 200", 12) != 0) {
    std::fprintf(stderr, "unexpected reply: %.*s\n", static_cast<int>(std::min<size_t>(have, 80)),
                 reply);
    std::exit(1);
  }
}

// Waits until the server has no connection left, so that a count does not catch one half served.
void wait_for_no_connections(appsrv::transport::TSaServerArdo& host) {
  while (host.HTTP().ContextCount() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace appsrv;
  const int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
  bool access_log = true;
  bool close_each = false;
  bool add = false;
  for (int i = 2; i < argc; ++i) {
    access_log = access_log && std::strcmp(argv[i], "nolog") != 0;
    close_each = close_each || std::strcmp(argv[i], "close") == 0;
    add = add || std::strcmp(argv[i], "add") == 0;
  }

  bench::BenchFolder folder("ping-cost");
  base::write_file(folder.app() + "port.ini",
                   access_log ? "[PORTS]\nPort=0\n" : "[PORTS]\nPort=0\n[ACCESSLOG]\nOutput=off\n");
  sqlite3* db = nullptr;
  bench::check_sqlite(sqlite3_open((folder.app() + "TEST.mdb").c_str(), &db), db, "open");
  sqlite3_close(db);
  try {
    app::RegisterContentHandlers();
    app::RegisterServerController();
    server::TSvServerControllerBase& controller =
        server::InitServerController(folder.environment("ping_cost"));
    controller.SetHttpKeepAlive(!close_each);
    server::SetRequestHook(&server::ExecuteRequest);
    {
      transport::TSaServerArdo host(controller);
      const auto port = static_cast<uint16_t>(controller.Port());
      // What wrk sends.
      char request[512];
      int length = std::snprintf(request, sizeof request,
                                 "GET /$/ping HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s\r\n", port,
                                 close_each ? "Connection: close\r\n" : "");
      int fd = -1;
      if (!close_each) {
        fd = connect_loopback(port);
      }
      if (add) {
        static constexpr std::string_view kBody =
            "Function=Add&Params=%7B%22A%22%3A2%2C%22B%22%3A3%2C%22Info%22%3A%22x%22%7D";
        const auto add_request = [&](std::string_view cookie) {
          return std::snprintf(
              request, sizeof request,
              "POST /appservice/ HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s%.*s%s"
              "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %zu\r\n\r\n%.*s",
              port, close_each ? "Connection: close\r\n" : "", static_cast<int>(cookie.size()),
              cookie.data(), cookie.empty() ? "" : "\r\n", kBody.size(),
              static_cast<int>(kBody.size()), kBody.data());
        };
        // The first call starts the session; the cookie is kept for the later ones.
        char cookie_line[256] = "Cookie: ";
        {
          length = add_request({});
          const int session_fd = connect_loopback(port);
          char reply[4096];
          ping(session_fd, std::string_view(request, static_cast<size_t>(length)), reply);
          ::close(session_fd);
          const std::string_view cookie = first_cookie(reply);
          if (cookie.empty() || cookie.size() + 9 > sizeof cookie_line) {
            std::fprintf(stderr, "no session cookie: %.200s\n", reply);
            return 1;
          }
          std::memcpy(cookie_line + 8, cookie.data(), cookie.size());
          cookie_line[8 + cookie.size()] = '\0';
        }
        length = add_request(cookie_line);
        char reply[4096];
        const int check_fd = connect_loopback(port);
        ping(check_fd, std::string_view(request, static_cast<size_t>(length)), reply);
        ::close(check_fd);
        if (std::strstr(reply, "Result={\"Result\":5") == nullptr) {
          std::fprintf(stderr, "the Add call did not answer 5: %.300s\n", reply);
          return 1;
        }
      }
      const std::string_view text(request, static_cast<size_t>(length));
      const auto one_ping = [&] {
        if (close_each) {
          ping_on_new_connection(port, text);
        } else {
          ping(fd, text);
        }
      };
      for (int i = 0; i < kWarmUpRequests; ++i) {
        one_ping();
      }
      if (close_each) {
        wait_for_no_connections(host);
      }
      CALLGRIND_START_INSTRUMENTATION;
      CALLGRIND_ZERO_STATS;
      g_measuring.store(true);
      const unsigned long long before = g_allocations.load();
      for (int i = 0; i < requests; ++i) {
        one_ping();
      }
      if (close_each) {
        wait_for_no_connections(host);
      }
      const unsigned long long after = g_allocations.load();
      CALLGRIND_DUMP_STATS;
      CALLGRIND_STOP_INSTRUMENTATION;
      g_measuring.store(false);
      if (fd >= 0) {
        ::close(fd);
      }
      std::printf("%d %s %s, access log %s: %.2f allocations per request", requests,
                  close_each ? "close" : "keep-alive", add ? "Add calls" : "pings",
                  access_log ? "on" : "off",
                  static_cast<double>(after - before) / requests);
      if (close_each) {
        std::printf(", %.2f of them on the connection's thread",
                    static_cast<double>(g_new_thread_allocations.load()) / requests);
      }
      std::printf("\n");
    }
    server::SetRequestHook(nullptr);
    server::FreeServerController();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ping_cost: %s\n", e.what());
    server::FreeServerController();
    return 1;
  }
  return 0;
}
