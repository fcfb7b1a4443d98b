// The database side of bench/compare.
//
//   compare_db build <folder> <rows>
//       writes <folder>/TEST.mdb with the customer table T of <rows> rows
//   compare_db fetch <folder> <fetchdata|statements> <page> <calls>
//       serves page <page> (20 rows) of T <calls> times, either through the application's
//       "FetchData" call on a live session over <folder>/TEST.mdb, or as the two bare
//       statements it needs (SELECT COUNT(*), then SELECT * ... LIMIT 20 OFFSET n); prints
//       "ms <median time of a call> peak_kb <peak resident memory of the process>"
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "bench/bench_support.h"
#include "bench/handler_call.h"
#include "server/pipeline/controller_start.h"
#include "server/session/session_list.h"

namespace {

using namespace appsrv;

constexpr int kPageSize = 20;

long peak_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return 0;
}

template <typename Call>
double median_ms(int calls, Call&& call) {
  std::vector<double> times;
  for (int i = 0; i < calls; ++i) {
    const auto start = std::chrono::steady_clock::now();
    call();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

double fetch_data(const std::string& folder, int64_t page, int calls) {
  bench::BenchFolder temp("compare-db");
  app::RegisterContentHandlers();
  app::RegisterServerController();
  server::ControllerEnvironment env = temp.environment("appserver");
  env.application_folder = folder;
  server::TSvServerControllerBase& controller = server::InitServerController(env);
  server::SessionRequestInfo client;
  client.client_ip = "127.0.0.1";
  client.user_agent = "compare_db";
  server::SessionAttachRequest attach;
  attach.handler_can_start = true;
  attach.request = &client;
  server::TSvApplication* session = controller.Sessions().Attach(attach).session;
  app::TContentAppService handler;
  const std::vector<std::string> fields = {
      "Function=FetchData", "Params={\"PageNo\":" + std::to_string(page) + ",\"PageSize\":" +
                                std::to_string(kPageSize) + ",\"TableName\":\"T\"}"};
  const double ms = median_ms(calls, [&] {
    const std::string body =
        bench::call_handler(handler, session, client, "POST", "/appservice/", fields);
    if (body.find("RecordCount") == std::string::npos) {
      std::fprintf(stderr, "FetchData failed: %.300s\n", body.c_str());
      std::exit(1);
    }
  });
  server::SetCurrentSession(nullptr);
  controller.Sessions().Release(*session);
  server::FreeServerController();
  return ms;
}

void run_statement(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  bench::check_sqlite(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), db, "prepare");
  std::string sink;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const unsigned char* text = sqlite3_column_text(stmt, i);
      sink.assign(text == nullptr ? "" : reinterpret_cast<const char*>(text));
    }
  }
  bench::check_sqlite(rc, db, "step");
  sqlite3_finalize(stmt);
}

double statements(const std::string& folder, int64_t page, int calls) {
  sqlite3* db = nullptr;
  const std::string path = folder + "TEST.mdb";
  bench::check_sqlite(sqlite3_open(path.c_str(), &db), db, "open");
  const std::string page_sql = "SELECT * FROM T LIMIT " + std::to_string(kPageSize) + " OFFSET " +
                               std::to_string((page - 1) * kPageSize);
  const double ms = median_ms(calls, [&] {
    run_statement(db, "SELECT COUNT(*) FROM T");
    run_statement(db, page_sql);
  });
  sqlite3_close_v2(db);
  return ms;
}

int usage() {
  std::fprintf(stderr,
               "usage: compare_db build <folder> <rows>\n"
               "       compare_db fetch <folder> <fetchdata|statements> <page> <calls>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    return usage();
  }
  const std::string command = argv[1];
  std::string folder = argv[2];
  if (folder.back() != '/') {
    folder += '/';
  }
  if (command == "build" && argc == 4) {
    bench::build_customer_table(folder + "TEST.mdb", std::atoll(argv[3]), 7,
                                bench::LastColumn::kQuantity);
    return 0;
  }
  if (command != "fetch" || argc != 6) {
    return usage();
  }
  const std::string what = argv[3];
  const int64_t page = std::atoll(argv[4]);
  const int calls = std::max(1, std::atoi(argv[5]));
  double ms = 0;
  if (what == "fetchdata") {
    ms = fetch_data(folder, page, calls);
  } else if (what == "statements") {
    ms = statements(folder, page, calls);
  } else {
    return usage();
  }
  std::printf("ms %.3f peak_kb %ld\n", ms, peak_kb());
  return 0;
}
