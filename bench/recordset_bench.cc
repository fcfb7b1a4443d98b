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
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "app/ADOToXML.h"
#include "bench/bench_support.h"
#include "db/ado_connection.h"
#include "db/ado_dataset.h"

namespace {

constexpr int64_t kRows = 1'000'000;
constexpr int kPageSize = 20;
constexpr int64_t kLastPageOffset = kRows - kPageSize;

std::string g_path;

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
  appsrv::bench::check_sqlite(sqlite3_open(g_path.c_str(), &db), db, "open");
  std::string sink;
  for (auto _ : state) {
    sqlite3_stmt* count = nullptr;
    appsrv::bench::check_sqlite(
        sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM T", -1, &count, nullptr), db, "prepare");
    appsrv::bench::check_sqlite(sqlite3_step(count), db, "count");
    benchmark::DoNotOptimize(sqlite3_column_int64(count, 0));
    sqlite3_finalize(count);
    sqlite3_stmt* page = nullptr;
    appsrv::bench::check_sqlite(
        sqlite3_prepare_v2(db, "SELECT * FROM T LIMIT 20 OFFSET ?1", -1, &page, nullptr), db,
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
  {
    const appsrv::bench::BenchFolder folder("recordset-bench");
    g_path = folder.app() + "TEST.mdb";
    appsrv::bench::build_customer_table(g_path, kRows, 42, appsrv::bench::LastColumn::kNote);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("rows: %lld, page size: %d, peak RSS of the whole run: %.1f MB\n",
              static_cast<long long>(kRows), kPageSize, usage.ru_maxrss / 1024.0);
  std::printf("command: scripts/bench recordset_bench\n");
  return 0;
}
