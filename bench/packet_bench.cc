// Exchange packets between the transport and the pipeline:
//   BM_RequestRoundTrip  a request with 10 headers and 5 parameters written by the transport's
//                        packet writer and read back into THttpRequest
//   BM_ReplyCommit       a reply with a 1 KB text body committed into the exchange buffer
//   BM_LargeBodyPeakHeap a 10 MB reply body written with WriteString (in pieces of 1, 4 or 64 KiB),
//                        committed and read by the transport's reply reader; counter
//                        peak_heap_bytes is the most heap the packet layer held at once (every
//                        malloc/free is counted)
//   BM_LargeStreamPeakHeap the same for a 10 MB file sent as an inline body stream, which the
//                        reply packet and the reader both carry through temporary files
// Reproduce with: scripts/bench packet_bench
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "base/files.h"
#include "bench/bench_support.h"
#include "server/exchange/file_stream.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/exchange/temp_files.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<int64_t> heap_now{0};
std::atomic<int64_t> heap_peak{0};

void count_alloc(void* p) {
  if (p == nullptr) {
    return;
  }
  const int64_t now = heap_now.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) +
                      static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = heap_peak.load();
  while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
  }
}

void count_free(void* p) {
  if (p != nullptr) {
    heap_now.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
  }
}

}  // namespace

// Every allocation of the program, operator new included, passes through these.
extern "C" {
void* malloc(size_t size) {
  void* p = __libc_malloc(size);
  count_alloc(p);
  return p;
}
void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  count_alloc(p);
  return p;
}
void* realloc(void* old, size_t size) {
  count_free(old);
  void* p = __libc_realloc(old, size);
  count_alloc(p != nullptr ? p : (size == 0 ? nullptr : old));
  return p;
}
void free(void* p) {
  count_free(p);
  __libc_free(p);
}
void* memalign(size_t alignment, size_t size) {
  void* p = __libc_memalign(alignment, size);
  count_alloc(p);
  return p;
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  *out = memalign(alignment, size);
  return *out != nullptr ? 0 : 12;  // ENOMEM
}
}

namespace {

using namespace appsrv::server;  // NOLINT: benchmark file

constexpr size_t kLargeBody = 10 * 1024 * 1024;

// A private folder, removed at exit, whose tmp/ receives spilled packets.
const appsrv::bench::BenchFolder& temp_folder_once() {
  static const appsrv::bench::BenchFolder folder("packet-bench");
  set_temp_folder(folder.tmp());
  return folder;
}

RequestPacketFields sample_request() {
  RequestPacketFields f;
  f.user_agent = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/120.0 Safari/537.36";
  f.host = "localhost";
  f.path_info = "/appservice/";
  f.remote_addr = "127.0.0.1";
  f.server_port = 8888;
  f.query = "Function=Add&Params=%7B%22A%22%3A2%7D";
  f.method = "POST";
  f.accept_language = "en-US,en;q=0.9";
  f.raw_headers = {
      "Host: localhost:8888",
      "User-Agent: " + f.user_agent,
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
      "Accept-Language: en-US,en;q=0.9",
      "Accept-Encoding: gzip, deflate, br",
      "Connection: keep-alive",
      "Content-Type: application/x-www-form-urlencoded",
      "Content-Length: 64",
      "Cookie: SvSession=0123456789ABCDEF",
      "Cache-Control: no-cache",
  };
  f.cookie_fields = {"SvSession=0123456789ABCDEF"};
  f.query_fields = {"Function=Add", "Params={\"A\":2,\"B\":3,\"Info\":\"x\"}", "Page=1",
                    "PageSize=50", "Table=Customers"};
  f.has_content = true;
  return f;
}

void BM_RequestRoundTrip(benchmark::State& state) {
  temp_folder_once();
  const RequestPacketFields fields = sample_request();
  std::vector<char> buffer(kExchangeBufferSize);
  for (auto _ : state) {
    write_request_packet(fields, buffer.data(), kExchangeBufferSize);
    THttpRequest request(buffer.data(), kExchangeBufferSize);
    benchmark::DoNotOptimize(request.GetParams().size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RequestRoundTrip);

void BM_ReplyCommit(benchmark::State& state) {
  temp_folder_once();
  const std::string body(1024, 'x');
  std::vector<char> buffer(kExchangeBufferSize);
  for (auto _ : state) {
    THttpReply reply(buffer.data(), kExchangeBufferSize);
    reply.AddHeader("X-Request", "1");
    reply.WriteString(body);
    reply.Commit();
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_ReplyCommit);

// Runs `work` and returns the most heap it held above what was in use when it started.
template <typename Work>
int64_t peak_heap_of(Work&& work) {
  const int64_t base = heap_now.load();
  heap_peak.store(base);
  work();
  return heap_peak.load() - base;
}

void BM_LargeBodyPeakHeap(benchmark::State& state) {
  temp_folder_once();
  const std::string chunk(static_cast<size_t>(state.range(0)), 'b');
  std::vector<char> buffer(kExchangeBufferSize);
  int64_t peak = 0;
  for (auto _ : state) {
    peak = std::max(peak, peak_heap_of([&] {
                      {
                        THttpReply reply(buffer.data(), kExchangeBufferSize);
                        for (size_t done = 0; done < kLargeBody; done += chunk.size()) {
                          reply.WriteString(chunk);
                        }
                        reply.Commit();
                      }
                      const ReplyPacket packet =
                          read_reply_packet(buffer.data(), kExchangeBufferSize);
                      appsrv::base::delete_file(packet.file_path);
                    }));
  }
  state.counters["peak_heap_bytes"] = static_cast<double>(peak);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLargeBody));
}
// The argument is the size of each WriteString piece.
BENCHMARK(BM_LargeBodyPeakHeap)->Arg(1024)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

void BM_LargeStreamPeakHeap(benchmark::State& state) {
  const std::string source = temp_folder_once().tmp() + "source.bin";
  appsrv::base::write_file(source, std::string(kLargeBody, 's'));
  std::vector<char> buffer(kExchangeBufferSize);
  int64_t peak = 0;
  for (auto _ : state) {
    peak = std::max(peak, peak_heap_of([&] {
                      {
                        THttpReply reply(buffer.data(), kExchangeBufferSize);
                        reply.SendStream(std::make_unique<TReadFileStream>(source), false);
                        reply.Commit();
                      }
                      const ReplyPacket packet =
                          read_reply_packet(buffer.data(), kExchangeBufferSize);
                      benchmark::DoNotOptimize(packet.body->GetSize());
                    }));
  }
  state.counters["peak_heap_bytes"] = static_cast<double>(peak);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLargeBody));
}
BENCHMARK(BM_LargeStreamPeakHeap)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
