// Measures one call of each service endpoint on a 100 000-row table of five columns, side by
// side with the bare SQLite statements the call runs for the same page on the same file:
//   FetchData/<offset>        "/appservice/" with Function=FetchData, 20 rows, the packet and
//                             the JSON envelope (request packet in, reply packet out)
//   FetchDataStatements/<offset>   SELECT COUNT(*) FROM T, then SELECT * FROM T LIMIT 20 OFFSET n
//   SqlSelect/<offset>        "/rest/sqlselect" with tblNames=T, rp=20, the grid JSON document
//   SqlSelectStatements/<offset>   SELECT COUNT(*) AS TotalCount FROM T ("total"),
//                             SELECT COUNT(*) FROM (SELECT * FROM T) (the page query's
//                             "rowCount"), then SELECT * FROM T ORDER BY 1 LIMIT 20 OFFSET n
// for page 1 (offset 0) and a late page (offset 99 960). Goal: an endpoint call costs at most
// 1.5x the statements. The table is built once per run in a temporary folder beside a live
// session of the application's controller; no network is involved.
//
// Reproduce: scripts/bench endpoint_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "base/files.h"
#include "server/http_packet.h"
#include "server/http_reply.h"
#include "server/http_request.h"
#include "server/reply_packet_reader.h"
#include "server/request_packet_writer.h"
#include "server/server_controller.h"
#include "server/session.h"
#include "server/session_list.h"

namespace {

using namespace appsrv;

constexpr int64_t kRows = 100'000;
constexpr int kPageSize = 20;
constexpr int64_t kLatePageOffset = kRows - 2 * kPageSize;

struct World {
  std::string root;
  std::string db_path;
  server::TSvApplication* session = nullptr;
  server::SessionRequestInfo info;
  sqlite3* bare = nullptr;  // a connection of its own for the bare statements
};

World* g_world = nullptr;

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Seeded values, so that every run builds the same file.
void build_table(const std::string& path) {
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db, "open");
  check(sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL;"
                     "CREATE TABLE T(ID INTEGER PRIMARY KEY, Name VARCHAR(40), Amount MONEY, "
                     "Created DATETIME, Qty INTEGER);"
                     "BEGIN",
                     nullptr, nullptr, nullptr),
        db, "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO T VALUES(?1, ?2, ?3, ?4, ?5)", -1, &insert, nullptr),
        db, "prepare");
  uint64_t seed = 7;
  char text[64];
  for (int64_t id = 1; id <= kRows; ++id) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    sqlite3_bind_int64(insert, 1, id);
    std::snprintf(text, sizeof text, "Customer %llu", static_cast<unsigned long long>(seed >> 40));
    sqlite3_bind_text(insert, 2, text, -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 3, static_cast<double>(seed % 100000000) / 100);
    std::snprintf(text, sizeof text, "20%02d-%02d-%02d 12:%02d:00", static_cast<int>(seed % 25),
                  static_cast<int>(seed % 12) + 1, static_cast<int>(seed % 28) + 1,
                  static_cast<int>(seed % 60));
    sqlite3_bind_text(insert, 4, text, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 5, static_cast<int64_t>(seed % 1000));
    check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_close(db);
}

World& world() {
  if (g_world != nullptr) {
    return *g_world;
  }
  g_world = new World;
  char tmpl[] = "/tmp/appsrv-endpoint-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  g_world->root = std::string(tmpl) + "/";
  base::force_directories(g_world->root + "app/");
  base::force_directories(g_world->root + "tmp/");
  g_world->db_path = g_world->root + "app/TEST.mdb";
  build_table(g_world->db_path);

  app::RegisterContentHandlers();
  app::RegisterServerController();
  server::ControllerEnvironment env;
  env.application_folder = g_world->root + "app/";
  env.application_file = "appserver";
  env.temp_folder = g_world->root + "tmp/";
  env.start_timeout_thread = false;
  server::TSvServerControllerBase& controller = server::InitServerController(std::move(env));
  g_world->info.client_ip = "127.0.0.1";
  g_world->info.user_agent = "endpoint-bench";
  server::SessionAttachRequest attach;
  attach.handler_can_start = true;
  attach.request = &g_world->info;
  g_world->session = controller.Sessions().Attach(attach).session;
  check(sqlite3_open(g_world->db_path.c_str(), &g_world->bare), g_world->bare, "open");
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
  base::remove_tree(g_world->root);
  delete g_world;
  g_world = nullptr;
}

// One request through the handler, from request packet to reply packet; returns the body size.
size_t call(server::TContentBase& handler, const std::string& method, const std::string& path,
            const std::vector<std::string>& fields) {
  World& w = world();
  static std::vector<char> buffer(server::kExchangeBufferSize);
  server::RequestPacketFields packet;
  packet.method = method;
  packet.path_info = path;
  packet.url = path;
  packet.remote_addr = w.info.client_ip;
  packet.user_agent = w.info.user_agent;
  packet.query_fields = fields;
  server::write_request_packet(packet, buffer.data(), static_cast<int32_t>(buffer.size()));
  server::THttpRequest request(buffer.data(), static_cast<int32_t>(buffer.size()));
  server::THttpReply reply(buffer.data(), static_cast<int32_t>(buffer.size()));
  base::NameValueList& params = request.GetParams();
  handler.Execute(request, reply, "", w.session, params);
  reply.Commit();
  const server::ReplyPacket answer =
      server::read_reply_packet(buffer.data(), static_cast<int32_t>(buffer.size()));
  return answer.body_text().size();
}

// Steps every row of `sql`, reading each column as the endpoint reads it; returns the rows.
int64_t run_statement(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  check(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), db, "prepare");
  int64_t rows = 0;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      benchmark::DoNotOptimize(sqlite3_column_text(stmt, i));
    }
    ++rows;
  }
  check(rc, db, "step");
  sqlite3_finalize(stmt);
  return rows;
}

int64_t page_of(int64_t offset) { return offset / kPageSize + 1; }

void BM_FetchData(benchmark::State& state) {
  app::TContentAppService handler;
  const std::string params = "Params={\"PageNo\":" + std::to_string(page_of(state.range(0))) +
                             ",\"PageSize\":" + std::to_string(kPageSize) + ",\"TableName\":\"T\"}";
  for (auto _ : state) {
    benchmark::DoNotOptimize(call(handler, "POST", "/appservice/", {"Function=FetchData", params}));
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
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
BENCHMARK(BM_FetchDataStatements)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqlSelect)->Arg(0)->Arg(kLatePageOffset)->Unit(benchmark::kMicrosecond);
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
