// Measures the gzip path of reply compression and the internal files lookup:
//   BM_CompressBytes      gzip of seeded HTML-like text at levels 1, 6 and 9, 1 KiB to 1 MiB
//   BM_CompressorReply    TSvCompressor::Compress of a 2000-byte "text/html" reply
//   BM_InternalFileLookup ResourceAsStream of a pre-compressed script
// Reproduce with: scripts/bench compress_bench
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "server/exchange/memory_stream.h"
#include "server/pipeline/compress_stream.h"
#include "server/pipeline/compressor.h"
#include "server/pipeline/internal_files.h"

namespace {

using namespace appsrv::server;

std::string page_text(size_t size) {
  std::mt19937 rng(42);
  static const char* kWords[] = {"<div>", "</div>",      "session", "value", "table",
                                 "row",   "class=\"x\"", "42",      "data",  "\n"};
  std::string s;
  while (s.size() < size) {
    s += kWords[rng() % std::size(kWords)];
    s += ' ';
  }
  s.resize(size);
  return s;
}

void BM_CompressBytes(benchmark::State& state) {
  const std::string input = page_text(static_cast<size_t>(state.range(0)));
  const int level = static_cast<int>(state.range(1));
  for (auto _ : state) {
    benchmark::DoNotOptimize(compress_bytes(input, level, false));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_CompressBytes)->ArgsProduct({{1 << 10, 1 << 14, 1 << 20}, {1, 6, 9}});

void BM_CompressorReply(benchmark::State& state) {
  TSvCompressionOptions options;
  const TSvCompressor compressor(options);
  const std::string body = page_text(2000);
  std::vector<std::string> headers;
  for (auto _ : state) {
    headers.clear();
    CompressResponse response;
    response.code = 200;
    response.content_type = "text/html; charset=UTF-8";
    response.custom_headers = &headers;
    auto stream = std::make_unique<TSvMemoryStream>();
    stream->WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
    response.body = std::move(stream);
    compressor.Compress("gzip, deflate", response);
    benchmark::DoNotOptimize(response.content_length);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompressorReply);

void BM_InternalFileLookup(benchmark::State& state) {
  TSvServerInternalFiles files;
  files.SetPreCompressFiles(true);
  for (auto _ : state) {
    benchmark::DoNotOptimize(files.ResourceAsStream("SV_JS_SVBASE"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternalFileLookup);

}  // namespace

BENCHMARK_MAIN();
