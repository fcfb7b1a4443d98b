// Measures the cost of serving one page of a large table as a recordset packet, the way
// "FetchData" does it: open "select * from T", count, move to the page's offset, copy 20 rows
// into a client dataset and write the packet (and its schema). The table has 1 000 000 rows
// of five columns, built once per run in a temporary folder. Page 1 and the last page run
// beside the raw sqlite3 queries for the same page on the same file (SELECT COUNT(*) plus
// SELECT ... LIMIT 20 OFFSET n). Peak memory of the whole run (getrusage max RSS) is printed
// at the end; it must stay under 64 MB whatever the table size.
//
// Reproduce: scripts/bench recordset_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "app/ADOToXML.h"
#include "base/files.h"
#include "db/ado_connection.h"
#include "db/ado_dataset.h"

namespace {

constexpr int64_t kRows = 1'000'000;
constexpr int kPageSize = 20;
constexpr int64_t kLastPageOffset = kRows - kPageSize;

std::string g_path;

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Bulk insert in one transaction; values are seeded, so every run builds the same file.
void build_table(const std::string& path) {
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db, "open");
  check(sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL;"
                     "create table T (ID integer primary key, Name varchar(40), Amount money, "
                     "Created datetime, Note text);"
                     "begin",
                     nullptr, nullptr, nullptr),
        db, "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "insert into T values(?1, ?2, ?3, ?4, ?5)", -1, &insert, nullptr),
        db, "prepare");
  uint64_t seed = 42;
  char text[64];
  for (int64_t id = 1; id <= kRows; ++id) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    sqlite3_bind_int64(insert, 1, id);
    std::snprintf(text, sizeof text, "Customer %llu", static_cast<unsigned long long>(seed >> 40));
    sqlite3_bind_text(insert, 2, text, -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 3, static_cast<double>(seed % 1000000) / 100);
    std::snprintf(text, sizeof text, "20%02d-%02d-%02d 12:%02d:00", static_cast<int>(seed % 25),
                  static_cast<int>(seed % 12 + 1), static_cast<int>(seed % 28 + 1),
                  static_cast<int>(seed % 60));
    sqlite3_bind_text(insert, 4, text, -1, SQLITE_TRANSIENT);
    std::snprintf(text, sizeof text, "note <%lld> & 'quoted'", static_cast<long long>(id));
    sqlite3_bind_text(insert, 5, text, -1, SQLITE_TRANSIENT);
    check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "commit", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_close_v2(db);
}

// The page sequence of "FetchData".
std::string fetch_page(appsrv::db::TADOConnection& connection, int64_t offset) {
  appsrv::db::TADODataSet ds(&connection);
  ds.SetCommandText("select * from T");
  ds.Open();
  const int64_t count = ds.RecordCount();
  if (offset >= count) {
    offset = 0;
  }
  appsrv::db::TADODataSet page;
  page.FieldDefs().Assign(ds.FieldDefs());
  page.CreateDataSet();
  ds.First();
  if (offset > 0) {
    ds.MoveBy(offset);
  }
  const int64_t n = offset + kPageSize > count ? count - offset : kPageSize;
  const appsrv::db::RowBlock block = ds.GetRows(n);
  for (size_t r = 0; r < block[0].size(); ++r) {
    page.Append();
    for (size_t f = 0; f < page.FieldCount(); ++f) {
      page.Fields(f).SetValue(block[f][r]);
    }
    page.Post();
  }
  page.UpdateBatch();
  std::string xml = appsrv::app::RecordsetToXml(page);
  benchmark::DoNotOptimize(appsrv::app::StripPacketData(xml));
  ds.Close();
  return xml;
}

void BM_FetchDataPage(benchmark::State& state) {
  appsrv::db::TADOConnection connection;
  connection.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + g_path + ";");
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string xml = fetch_page(connection, state.range(0));
    bytes += xml.size();
    benchmark::DoNotOptimize(xml.data());
  }
  state.SetItemsProcessed(state.iterations() * kPageSize);
  state.counters["packet_bytes"] = static_cast<double>(bytes) / state.iterations();
}
BENCHMARK(BM_FetchDataPage)->Arg(0)->Arg(kLastPageOffset)->Unit(benchmark::kMillisecond);

void BM_RawSqlitePage(benchmark::State& state) {
  sqlite3* db = nullptr;
  check(sqlite3_open(g_path.c_str(), &db), db, "open");
  std::string sink;
  for (auto _ : state) {
    sqlite3_stmt* count = nullptr;
    check(sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM T", -1, &count, nullptr), db, "prepare");
    check(sqlite3_step(count), db, "count");
    benchmark::DoNotOptimize(sqlite3_column_int64(count, 0));
    sqlite3_finalize(count);
    sqlite3_stmt* page = nullptr;
    check(sqlite3_prepare_v2(db, "SELECT * FROM T LIMIT 20 OFFSET ?1", -1, &page, nullptr), db,
          "prepare");
    sqlite3_bind_int64(page, 1, state.range(0));
    while (sqlite3_step(page) == SQLITE_ROW) {
      for (int c = 0; c < 5; ++c) {
        const auto* text = sqlite3_column_text(page, c);
        sink.assign(text == nullptr ? "" : reinterpret_cast<const char*>(text));
        benchmark::DoNotOptimize(sink.data());
      }
    }
    sqlite3_finalize(page);
  }
  sqlite3_close_v2(db);
  state.SetItemsProcessed(state.iterations() * kPageSize);
}
BENCHMARK(BM_RawSqlitePage)->Arg(0)->Arg(kLastPageOffset)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string folder = appsrv::base::system_temp_folder() + "appsrv-bench-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  g_path = folder + "/TEST.mdb";
  build_table(g_path);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  appsrv::base::remove_tree(folder);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("rows: %lld, page size: %d, peak RSS of the whole run: %.1f MB\n",
              static_cast<long long>(kRows), kPageSize, usage.ru_maxrss / 1024.0);
  std::printf("command: scripts/bench recordset_bench\n");
  return 0;
}
