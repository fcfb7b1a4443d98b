// What the access log and the figures cost a request on its own thread, without sockets:
//   BM_FormatLine       one combined-format line of a typical request
//   BM_LineToTheLog     the line formatted and queued, the writer thread writing to a file
//                       meanwhile (threads: requests served at once)
//   BM_CountRequest     the figures a request bumps: its status class, its bytes, its duration
// Figures are nanoseconds per request; compare them with the CPU time a request costs in
// bench/compare ("/$/ping ... log" rows). Reproduce with:
//   scripts/bench access_log_bench
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <string>

#include "base/async_line_log.h"
#include "base/files.h"
#include "base/metrics.h"
#include "transport/http/access_log_line.h"

namespace appsrv {
namespace {

transport::AccessLogEntry typical_entry() {
  transport::AccessLogEntry e;
  e.client = "127.0.0.1";
  e.when = std::time(nullptr);
  e.request_line = "GET /$/ping HTTP/1.1";
  e.status = 200;
  e.body_bytes = 4;
  e.referer = "";
  e.user_agent = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko)";
  e.duration_us = 87;
  e.session_id = "Sh-o-13LrV6lVrhJgr3nLa";
  return e;
}

void BM_FormatLine(benchmark::State& state) {
  const transport::AccessLogEntry e = typical_entry();
  for (auto _ : state) {
    benchmark::DoNotOptimize(transport::format_access_log_line(e));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatLine);

// One log for all threads of a run, as the server has; made by the first thread.
std::unique_ptr<base::AsyncLineLog> g_log;
std::string g_folder;

void BM_LineToTheLog(benchmark::State& state) {
  if (state.thread_index() == 0) {
    char tmpl[] = "/tmp/appsrv-access-bench-XXXXXX";
    g_folder = mkdtemp(tmpl);
    base::AsyncLineLog::Options options;
    options.path = g_folder + "/access.log";
    g_log = std::make_unique<base::AsyncLineLog>(options);
  }
  const transport::AccessLogEntry e = typical_entry();
  for (auto _ : state) {
    g_log->Append(transport::format_access_log_line(e));
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    state.counters["dropped"] = static_cast<double>(g_log->Dropped());
    g_log.reset();
    base::remove_tree(g_folder);
  }
}
BENCHMARK(BM_LineToTheLog)->Threads(1)->Threads(2)->UseRealTime();

void BM_CountRequest(benchmark::State& state) {
  base::ServerMetrics& figures = base::metrics();
  uint64_t us = 0;
  for (auto _ : state) {
    figures.responses_by_class[base::status_class_index(200)].add();
    figures.bytes_sent.add(120);
    figures.request_duration.observe_us(++us & 0xFFF);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountRequest)->Threads(1)->Threads(2);

}  // namespace
}  // namespace appsrv

BENCHMARK_MAIN();
