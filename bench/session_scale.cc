// Sessions at scale, the whole program on loopback (Release build, a private folder, the
// default limits but for the listed port):
//   1. N sessions (default 10 000), each starting with a FetchData call (the start page and its
//      cookie) and calling FetchData once (page 1, 20 rows of a 20 000-row table), then idle;
//   2. the server's resident memory (VmRSS, with its anonymous and file-backed parts) and
//      descriptors from /proc, at rest before, right after the N sessions and every 10 s for
//      the idle wait (default 70 s; the idle time-out of database connections is 60 s);
//   3. the latency of FetchData on 200 of those sessions after the wait: the first call opens
//      the closed connection again, the second one, right after, finds it open (busy);
//   4. for what the reopening costs on its own: a third call on the same sessions once they
//      have been idle long enough to give back their file mapping (DatabaseMappingIdleMs, 5 s),
//      but not their connection. A busy session is among the few most recently used, which
//      keep their mapping; a reopened connection maps the file anew, as this call does.
// Goals: resident memory growth under 1 GB for 10 000 sessions, descriptors back near the
// count at rest after the idle time-out, the reopening call at most 1.5 times the busy one.
//
// Reproduce: bench/session_scale.sh [sessions] [idle-seconds]
//        or: build-bench/bin/session_scale build-bench/bin/appserver [sessions] [idle-seconds]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

namespace {

using namespace appsrv;
using Clock = std::chrono::steady_clock;

constexpr int kRows = 20000;
constexpr int kSamples = 200;
// Longer than the idle time after which a session gives back its file mapping (5 s) and the
// pass that does it (a tenth of that later at most).
constexpr int kMappingIdleWaitSeconds = 7;
const std::string kFetchBody =
    "Function=FetchData&Params=%7B%22PageNo%22%3A1%2C%22PageSize%22%3A20%2C%22TableName%22%3A%22T"
    "%22%7D";

struct Reply {
  std::string status_line;
  std::string cookie;  // "SV_MyApp=..." when the reply sets one
  std::string body;
};

// One POST of FetchData on a connection of its own ("Connection: close").
Reply fetch(uint16_t port, const std::string& cookie) {
  Reply reply;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return reply;
  }
  std::string request =
      "POST /appservice/ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
      std::to_string(kFetchBody.size()) + "\r\n";
  if (!cookie.empty()) {
    request += "Cookie: " + cookie + "\r\n";
  }
  request += "\r\n" + kFetchBody;
  (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string raw;
  char buf[16384];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 30000) > 0) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      break;
    }
    raw.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  reply.status_line = raw.substr(0, raw.find("\r\n"));
  const size_t head_end = raw.find("\r\n\r\n");
  reply.body = head_end == std::string::npos ? "" : raw.substr(head_end + 4);
  if (const size_t at = raw.find("Set-Cookie: "); at != std::string::npos && at < head_end) {
    const size_t start = at + 12;
    reply.cookie = raw.substr(start, raw.find_first_of(";\r", start) - start);
  }
  return reply;
}

bool answered(const Reply& r) {
  return r.status_line == "HTTP/1.1 200 OK" &&
         r.body.find("\"RecordCount\":" + std::to_string(kRows)) != std::string::npos;
}

struct Holdings {
  long rss_kb = 0;
  long anon_kb = 0;
  long file_kb = 0;
  int descriptors = 0;
  int database_descriptors = 0;  // TEST.mdb and its WAL and shared-memory files
};

Holdings holdings_of(pid_t pid) {
  Holdings h;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    const auto value = [&](const char* name, long& out) {
      if (line.rfind(name, 0) == 0) {
        out = std::atol(line.c_str() + std::char_traits<char>::length(name));
      }
    };
    value("VmRSS:", h.rss_kb);
    value("RssAnon:", h.anon_kb);
    value("RssFile:", h.file_kb);
  }
  std::error_code ec;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  for (auto it = std::filesystem::directory_iterator(folder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++h.descriptors;
    std::error_code link_error;
    const std::string target = std::filesystem::read_symlink(it->path(), link_error).string();
    if (target.find("TEST.mdb") != std::string::npos) {
      ++h.database_descriptors;
    }
  }
  return h;
}

void print(const char* when, const Holdings& h, const Holdings& rest) {
  std::printf(
      "%-34s RSS %8ld kB (anon %8ld, file %8ld)  +%7ld kB   descriptors %6d (database %6d)\n", when,
      h.rss_kb, h.anon_kb, h.file_kb, h.rss_kb - rest.rss_kb, h.descriptors,
      h.database_descriptors);
  std::fflush(stdout);
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: session_scale <appserver> [sessions] [idle-seconds]\n");
    return 2;
  }
  const std::string program = std::filesystem::absolute(argv[1]).string();
  const int sessions = argc > 2 ? std::atoi(argv[2]) : 10000;
  const int idle_seconds = argc > 3 ? std::atoi(argv[3]) : 70;

  bench::BenchFolder folder("session-scale");
  const std::string app = folder.app();
  std::filesystem::create_directories(app + "wwwroot");
  std::filesystem::copy_file(program, app + "appserver");
  bench::build_customer_table(app + "TEST.mdb", kRows, 7, bench::LastColumn::kQuantity);
  // The defaults hold 10 000 sessions (MaxSessions 100 000) and their one-at-a-time connections
  // (MaxConnections 2 000); only the port is chosen here.
  std::ofstream(app + "port.ini") << "[PORTS]\nPort=0\n";

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    return 1;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_in = ::open("/dev/null", O_RDONLY);
    ::dup2(null_in, 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    if (::chdir(app.c_str()) != 0) {
      ::_exit(126);
    }
    const std::string tmp = "TMPDIR=" + folder.tmp();
    char* env[] = {const_cast<char*>(tmp.c_str()), nullptr};
    char* args[] = {const_cast<char*>("./appserver"), nullptr};
    ::execve(args[0], args, env);
    ::_exit(127);
  }
  ::close(out[1]);
  // The console's lines, read on a thread of their own so that the program never blocks on
  // a full pipe.
  std::mutex lines_mu;
  std::vector<std::string> lines;
  std::atomic<uint16_t> port{0};
  std::thread reader([&] {
    FILE* in = ::fdopen(out[0], "r");
    char line[4096];
    while (std::fgets(line, sizeof line, in) != nullptr) {
      std::string text(line);
      if (const size_t at = text.find("HTTP Server is active on port: "); at != std::string::npos) {
        port = static_cast<uint16_t>(std::atoi(text.c_str() + at + 31));
      }
      std::scoped_lock lock(lines_mu);
      lines.push_back(std::move(text));
    }
    std::fclose(in);
  });
  for (int i = 0; i < 600 && port == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (port == 0) {
    std::fprintf(stderr, "the program did not report its port\n");
    ::kill(pid, SIGKILL);
    reader.join();
    return 1;
  }
  {
    std::scoped_lock lock(lines_mu);
    for (const std::string& line : lines) {
      if (line.rfind("Open file limit", 0) == 0) {
        std::printf("%s", line.c_str());
      }
    }
  }
  std::printf("table T: %d rows, %lld bytes; %d sessions; idle wait %d s\n", kRows,
              static_cast<long long>(std::filesystem::file_size(app + "TEST.mdb")), sessions,
              idle_seconds);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Holdings rest = holdings_of(pid);
  print("at rest", rest, rest);

  // Two clients at a time, as the machine has two cores.
  std::vector<std::string> cookies(static_cast<size_t>(sessions));
  std::atomic<int> served{0};
  std::atomic<int> unavailable{0};
  const Clock::time_point start = Clock::now();
  auto client = [&](int first) {
    for (int i = first; i < sessions; i += 2) {
      const Reply begin = fetch(port, "");
      const Reply call = fetch(port, begin.cookie);
      if (answered(call)) {
        cookies[static_cast<size_t>(i)] = begin.cookie;
        ++served;
      } else if (call.status_line.find(" 503 ") != std::string::npos ||
                 begin.status_line.find(" 503 ") != std::string::npos) {
        ++unavailable;
      }
    }
  };
  std::thread a(client, 0);
  std::thread b(client, 1);
  a.join();
  b.join();
  const double phase_ms = ms_since(start);
  std::printf("%d of %d sessions answered FetchData (%d refused with 503) in %.1f s\n",
              served.load(), sessions, unavailable.load(), phase_ms / 1000);
  const Holdings busy = holdings_of(pid);
  print("after the sessions", busy, rest);
  if (busy.database_descriptors > 0) {
    std::printf("  growth per session: %.1f kB resident, %.1f kB anonymous\n",
                static_cast<double>(busy.rss_kb - rest.rss_kb) / sessions,
                static_cast<double>(busy.anon_kb - rest.anon_kb) / sessions);
  }

  const Clock::time_point idle_start = Clock::now();
  for (int waited = 10; waited <= idle_seconds; waited += 10) {
    std::this_thread::sleep_until(idle_start + std::chrono::seconds(waited));
    const std::string when = "idle " + std::to_string(waited) + " s";
    print(when.c_str(), holdings_of(pid), rest);
  }
  std::this_thread::sleep_until(idle_start + std::chrono::seconds(idle_seconds));
  const Holdings idle = holdings_of(pid);
  print("after the idle wait", idle, rest);

  std::vector<double> reopened;
  std::vector<double> open;
  int failed = 0;
  for (int i = 0; i < sessions && static_cast<int>(open.size()) < kSamples;
       i += std::max(1, sessions / kSamples)) {
    const std::string& cookie = cookies[static_cast<size_t>(i)];
    if (cookie.empty()) {
      continue;
    }
    Clock::time_point t = Clock::now();
    const Reply first = fetch(port, cookie);
    const double first_ms = ms_since(t);
    t = Clock::now();
    const Reply second = fetch(port, cookie);
    const double second_ms = ms_since(t);
    if (!answered(first) || !answered(second)) {
      ++failed;
      continue;
    }
    reopened.push_back(first_ms);
    open.push_back(second_ms);
  }
  // The same sessions again, their connections open but their mappings given back.
  std::vector<double> unmapped;
  std::this_thread::sleep_for(std::chrono::seconds(kMappingIdleWaitSeconds));
  for (int i = 0; i < sessions && static_cast<int>(unmapped.size()) < kSamples;
       i += std::max(1, sessions / kSamples)) {
    const std::string& cookie = cookies[static_cast<size_t>(i)];
    if (cookie.empty()) {
      continue;
    }
    const Clock::time_point t = Clock::now();
    const Reply again = fetch(port, cookie);
    const double ms = ms_since(t);
    if (answered(again)) {
      unmapped.push_back(ms);
    } else {
      ++failed;
    }
  }
  if (open.empty()) {
    std::printf("no latency samples (%d calls failed)\n", failed);
  } else {
    const double reopened_p50 = percentile(reopened, 0.5);
    const double open_p50 = percentile(open, 0.5);
    std::printf(
        "FetchData on %zu idle sessions: connection reopened p50 %.3f ms p90 %.3f ms; busy "
        "(open) p50 %.3f ms p90 %.3f ms; ratio of p50s %.2f (goal <= 1.5)%s\n",
        open.size(), reopened_p50, percentile(reopened, 0.9), open_p50, percentile(open, 0.9),
        reopened_p50 / open_p50, failed > 0 ? " (some calls failed)" : "");
    if (!unmapped.empty()) {
      const double unmapped_p50 = percentile(unmapped, 0.5);
      std::printf(
          "  the same sessions %d s later, connection open but mapping given back: p50 %.3f ms "
          "p90 %.3f ms (%.2f of busy; reopened is %.2f of this)\n",
          kMappingIdleWaitSeconds, unmapped_p50, percentile(unmapped, 0.9),
          unmapped_p50 / open_p50, reopened_p50 / unmapped_p50);
    }
  }
  std::printf(
      "resident growth after the sessions: %.1f MB (goal < 1024 MB); descriptors %d -> %d "
      "-> %d after the idle wait (at rest %d)\n",
      static_cast<double>(busy.rss_kb - rest.rss_kb) / 1024, rest.descriptors, busy.descriptors,
      idle.descriptors, rest.descriptors);
  {
    std::scoped_lock lock(lines_mu);
    for (const std::string& line : lines) {
      if (line.find("file descriptors") != std::string::npos) {
        std::printf("program: %s", line.c_str());
      }
    }
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  reader.join();
  std::printf("Reproduce: bench/session_scale.sh %d %d\n", sessions, idle_seconds);
  return 0;
}
