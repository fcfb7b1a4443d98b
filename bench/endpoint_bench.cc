// Measures one call of each service endpoint on a 100 000-row table of five columns, side by
// side with the bare SQLite statements the call runs for the same page on the same file:
//   FetchData/<offset>        "/appservice/" with Function=FetchData, 20 rows, the packet and
//                             the JSON envelope (request packet in, reply packet out)
//   FetchDataStatements/<offset>   SELECT COUNT(*) FROM T, then SELECT * FROM T LIMIT 20 OFFSET n
//   SqlSelect/<offset>        "/rest/sqlselect" with tblNames=T, rp=20, the grid JSON document
//   SqlSelectStatements/<offset>   SELECT COUNT(*) AS TotalCount FROM T ("total"),
//                             SELECT COUNT(*) FROM (SELECT * FROM T) (the page query's
//                             "rowCount"), then SELECT * FROM T ORDER BY 1 LIMIT 20 OFFSET n
//   FetchDataReleased/<offset>, SqlSelectReleased/<offset>   the same call followed by the end
//                             of its request, as through the server: the session's connection
//                             gives back its page cache and its mapping of the file
//   FetchDataReopened/<offset>   the same call on a connection closed after it, as by the idle
//                             time-out: every call opens the file again, reads its schema,
//                             prepares its statements and maps the file afresh (the close is
//                             timed too, which the server does on its time-out thread)
// for page 1 (offset 0) and a late page (offset 99 960). Goal: an endpoint call costs at most
// 1.5x the statements. The table is built once per run in a temporary folder beside a live
// session of the application's controller; no network is involved.
//
// Reproduce: scripts/bench endpoint_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "bench/bench_support.h"
#include "bench/handler_call.h"
#include "server/pipeline/controller_start.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"

namespace {

using namespace appsrv;

constexpr int64_t kRows = 100'000;
constexpr int kPageSize = 20;
constexpr int64_t kLatePageOffset = kRows - 2 * kPageSize;

struct World {
  bench::BenchFolder folder{"endpoint-bench"};
  std::string db_path;
  server::TSvApplication* session = nullptr;
  server::SessionRequestInfo info;
  sqlite3* bare = nullptr;  // a connection of its own for the bare statements
};

World* g_world = nullptr;

World& world() {
  if (g_world != nullptr) {
    return *g_world;
  }
  g_world = new World;
  g_world->db_path = g_world->folder.app() + "TEST.mdb";
  bench::build_customer_table(g_world->db_path, kRows, 7, bench::LastColumn::kQuantity);

  app::RegisterContentHandlers();
  app::RegisterServerController();
  server::TSvServerControllerBase& controller =
      server::InitServerController(g_world->folder.environment("appserver"));
  g_world->info.client_ip = "127.0.0.1";
  g_world->info.user_agent = "endpoint-bench";
  server::SessionAttachRequest attach;
  attach.handler_can_start = true;
  attach.request = &g_world->info;
  g_world->session = controller.Sessions().Attach(attach).session;
  bench::check_sqlite(sqlite3_open(g_world->db_path.c_str(), &g_world->bare), g_world->bare,
                      "open");
  // A read keeps the file's WAL open on this connection, as the other sessions' connections do
  // in the server: a reopened connection is then never the file's last one, whose close would
  // fold the WAL back and delete it, and whose next open would create it again.
  bench::check_sqlite(sqlite3_exec(g_world->bare, "SELECT count(*) FROM sqlite_master", nullptr,
                                   nullptr, nullptr),
                      g_world->bare, "read");
  return *g_world;
}

void tear_down() {
  if (g_world == nullptr) {
    return;
  }
  sqlite3_close(g_world->bare);
  server::SetCurrentSession(nullptr);
  server::ServerController()->Sessions().Release(*g_world->session);
  server::FreeServerController();
  delete g_world;
  g_world = nullptr;
}

// One request through the handler; returns the body size.
size_t call(server::TContentBase& handler, const std::string& method, const std::string& path,
            const std::vector<std::string>& fields) {
  World& w = world();
  return bench::call_handler(handler, w.session, w.info, method, path, fields).size();
}

// Steps every row of `sql`, reading each column as the endpoint reads it; returns the rows.
int64_t run_statement(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  bench::check_sqlite(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), db, "prepare");
  int64_t rows = 0;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      benchmark::DoNotOptimize(sqlite3_column_text(stmt, i));
    }
    ++rows;
  }
  bench::check_sqlite(rc, db, "step");
  sqlite3_finalize(stmt);
  return rows;
}

int64_t page_of(int64_t offset) { return offset / kPageSize + 1; }

// Calls FetchData for the page at offset state.range(0) every iteration, then `between`: what
// the server does to the session's data between two of its requests.
template <typename Between>
void run_fetch_data(benchmark::State& state, Between between) {
  app::TContentAppService handler;
  const std::string params = "Params={\"PageNo\":" + std::to_string(page_of(state.range(0))) +
                             ",\"PageSize\":" + std::to_string(kPageSize) + ",\"TableName\":\"T\"}";
  for (auto _ : state) {
    benchmark::DoNotOptimize(call(handler, "POST", "/appservice/", {"Function=FetchData", params}));
    between();
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
}

void BM_FetchData(benchmark::State& state) {
  run_fetch_data(state, [] {});
}

void BM_FetchDataReleased(benchmark::State& state) {
  server::SessionData& data = *world().session->FData;
  run_fetch_data(state, [&] { data.RequestEnded(); });
}

void BM_FetchDataReopened(benchmark::State& state) {
  server::SessionData& data = *world().session->FData;
  run_fetch_data(state, [&] {
    data.RequestEnded();
    data.CloseIdleResources();
  });
}

void BM_FetchDataStatements(benchmark::State& state) {
  sqlite3* db = world().bare;
  const std::string page = "SELECT * FROM T LIMIT " + std::to_string(kPageSize) + " OFFSET " +
                           std::to_string(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(run_statement(db, "SELECT COUNT(*) FROM T"));
    benchmark::DoNotOptimize(run_statement(db, page));
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
}

void BM_SqlSelect(benchmark::State& state) {
  app::TContentSQLSelect handler;
  const std::vector<std::string> fields = {"tblNames=T",
                                           "page=" + std::to_string(page_of(state.range(0))),
                                           "rp=" + std::to_string(kPageSize)};
  for (auto _ : state) {
    benchmark::DoNotOptimize(call(handler, "GET", "/rest/sqlselect", fields));
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
}

void BM_SqlSelectReleased(benchmark::State& state) {
  app::TContentSQLSelect handler;
  const std::vector<std::string> fields = {"tblNames=T",
                                           "page=" + std::to_string(page_of(state.range(0))),
                                           "rp=" + std::to_string(kPageSize)};
  server::SessionData& data = *world().session->FData;
  for (auto _ : state) {
    benchmark::DoNotOptimize(call(handler, "GET", "/rest/sqlselect", fields));
    data.RequestEnded();
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
}

void BM_SqlSelectStatements(benchmark::State& state) {
  sqlite3* db = world().bare;
  const std::string page = "SELECT * FROM T ORDER BY 1 LIMIT " + std::to_string(kPageSize) +
                           " OFFSET " + std::to_string(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(run_statement(db, "SELECT COUNT(*) AS TotalCount FROM T"));
    benchmark::DoNotOptimize(run_statement(db, "SELECT COUNT(*) FROM (SELECT * FROM T)"));
    benchmark::DoNotOptimize(run_statement(db, page));
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
}

BENCHMARK(BM_FetchData)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FetchDataReleased)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FetchDataReopened)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FetchDataStatements)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqlSelect)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqlSelectReleased)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqlSelectStatements)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  world();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tear_down();
  std::printf("Reproduce: scripts/bench endpoint_bench\n");
  return 0;
}
