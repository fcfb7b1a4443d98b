// Session list benchmarks over 100 000 live, idle sessions (no data object):
//   BM_LookupAndLockRelease  LookupAndLock + Release of random identifiers from 2 threads
//                            (items per second over both threads)
//   BM_TimeoutPass           one timeout pass over all sessions, none of them expired (ms)
//   BM_IdleSessionMemory     resident memory growth while the sessions were created, divided by
//                            their count (bytes_per_session)
// Reproduce with: scripts/bench session_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "server/session/clock.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"

namespace {

using namespace appsrv;  // NOLINT: benchmark program

constexpr int kSessions = 100000;
constexpr char kAgent[] = "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0";

// Time stands still, so no session expires while the benchmarks run.
class FrozenClock : public server::Clock {
 public:
  base::DateTime now() const override { return now_; }

 private:
  base::DateTime now_ = base::now();
};

long resident_bytes() {
  long pages_total = 0;
  long pages_resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) {
    return 0;
  }
  if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) {
    pages_resident = 0;
  }
  std::fclose(f);
  return pages_resident * sysconf(_SC_PAGESIZE);
}

struct World {
  World() {
    server::ControllerEnvironment env = folder.environment("session_bench");
    env.clock = &clock;
    controller = server::TSvServerControllerBase::Create<server::TSvServerControllerBase>(env);

    server::SessionRequestInfo info;
    info.client_ip = "10.0.0.1";
    info.user_agent = kAgent;
    info.path = "/appservice/";
    server::SessionAttachRequest request;
    request.request = &info;

    ids.reserve(kSessions);
    const long before = resident_bytes();
    for (int i = 0; i < kSessions; ++i) {
      const server::SessionAttachResult r = controller->Sessions().Attach(request);
      ids.push_back(r.session->AppID());
      controller->Sessions().Release(*r.session);
    }
    bytes_per_session =
        static_cast<double>(resident_bytes() - before - static_cast<long>(ids.capacity() * 32)) /
        kSessions;
  }
  ~World() { controller.reset(); }

  FrozenClock clock;
  bench::BenchFolder folder{"session-bench"};
  std::unique_ptr<server::TSvServerControllerBase> controller;
  std::vector<std::string> ids;
  double bytes_per_session = 0;
};

World& world() {
  static World w;
  return w;
}

void BM_LookupAndLockRelease(benchmark::State& state) {
  World& w = world();
  server::TSvSessions& sessions = w.controller->Sessions();
  std::mt19937 rng(static_cast<unsigned>(1234 + state.thread_index()));
  std::uniform_int_distribution<int> pick(0, kSessions - 1);
  for (auto _ : state) {
    server::TSvApplication* s = sessions.LookupAndLock(w.ids[static_cast<size_t>(pick(rng))]);
    benchmark::DoNotOptimize(s);
    sessions.Release(*s);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupAndLockRelease)->Threads(2)->UseRealTime();

void BM_TimeoutPass(benchmark::State& state) {
  World& w = world();
  for (auto _ : state) {
    w.controller->RunSessionTimeoutPass();
  }
  state.counters["sessions"] = w.controller->Sessions().GetCount();
}
BENCHMARK(BM_TimeoutPass)->Unit(benchmark::kMillisecond);

void BM_IdleSessionMemory(benchmark::State& state) {
  World& w = world();
  for (auto _ : state) {
    benchmark::DoNotOptimize(w.controller->Sessions().GetCount());
  }
  state.counters["bytes_per_session"] = w.bytes_per_session;
}
BENCHMARK(BM_IdleSessionMemory)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
