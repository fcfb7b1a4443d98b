// The request pipeline's cost per request through the request hook, packets in and packet out
// (the transport's request writer, the hook, the transport's reply reader; no sockets):
//   BM_Ping         "/$/ping": routing of a framework path, no session
//   BM_HandlerCall  a POST of Function=Add with Params to a content handler on an existing
//                   session named by its cookie: session lookup and lock, handler, cookie,
//                   release
// Figures are microseconds per request (time per iteration). Reproduce with:
//   scripts/bench pipeline_bench
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/pipeline/content_base.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/handlers.h"
#include "server/pipeline/request_hook.h"
#include "server/session/server_controller.h"

namespace appsrv::server {
namespace {

constexpr const char* kAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36";

class BenchController : public TSvServerControllerBase {
 public:
  using TSvServerControllerBase::TSvServerControllerBase;

 protected:
  void LoadDesignValues() override { SetAppName("MyApp"); }
};

// Echoes the call as the application's service endpoint does: the function, its parameters and
// a small JSON result.
class EchoHandler : public TContentBase {
 public:
  EchoHandler() { mFileMustExist = false; }
  bool Execute(THttpRequest&, THttpReply& aReply, const std::string&, TSvApplication*,
               base::NameValueList& aParams) override {
    aReply.mContentType = "text/html; charset=UTF-8";
    aReply.WriteString("Function=" + aParams.value("Function") + "\r\nParams=" +
                       aParams.value("Params") + "\r\nResult={\"Result\":5,\"Info\":\"x\"}");
    return true;
  }
};

// A process-wide controller over a private folder, for the lifetime of one benchmark.
class Server {
 public:
  Server() {
    THandlers::Clear();
    THandlers::Add("/appservice/", "", std::make_unique<EchoHandler>());
    SetServerControllerClass<BenchController>();
    InitServerController(folder_.environment("pipeline_bench"));
    SetRequestHook(&ExecuteRequest);
  }
  ~Server() {
    SetRequestHook(nullptr);
    FreeServerController();
    THandlers::Clear();
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  ReplyPacket Call(const RequestPacketFields& f) {
    write_request_packet(f, buffer_.data(), kExchangeBufferSize);
    RequestHook()(buffer_.data(), kExchangeBufferSize);
    return read_reply_packet(buffer_.data(), kExchangeBufferSize);
  }

 private:
  bench::BenchFolder folder_{"pipeline-bench"};
  std::vector<char> buffer_ = std::vector<char>(kExchangeBufferSize);
};

RequestPacketFields Request(std::string method, std::string path) {
  RequestPacketFields f;
  f.method = std::move(method);
  f.path_info = std::move(path);
  f.remote_addr = "10.1.2.3";
  f.host = "localhost";
  f.server_port = 8888;
  f.user_agent = kAgent;
  f.raw_headers = {"Host: localhost:8888", std::string("User-Agent: ") + kAgent,
                   "Accept-Encoding: gzip, deflate", "Connection: keep-alive"};
  return f;
}

void BM_Ping(benchmark::State& state) {
  Server server;
  const RequestPacketFields ping = Request("GET", "/$/ping");
  for (auto _ : state) {
    ReplyPacket reply = server.Call(ping);
    benchmark::DoNotOptimize(reply.body);
  }
  if (server.Call(ping).body_text() != "Pong") {
    state.SkipWithError("no Pong");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Ping)->Unit(benchmark::kMicrosecond);

void BM_HandlerCall(benchmark::State& state) {
  Server server;
  RequestPacketFields call = Request("POST", "/appservice/Add");
  call.query_fields = {"Function=Add", "Params={\"A\":2,\"B\":3,\"Info\":\"x\"}"};
  call.has_content = true;
  // The first call starts the session and brings its cookie.
  const ReplyPacket start = server.Call(call);
  if (start.cookies.empty()) {
    state.SkipWithError("no session cookie");
    return;
  }
  call.cookie_fields = {"SV_MyApp=" + start.cookies.front().value};
  for (auto _ : state) {
    ReplyPacket reply = server.Call(call);
    benchmark::DoNotOptimize(reply.body);
  }
  if (server.Call(call).body_text().rfind("Function=Add", 0) != 0) {
    state.SkipWithError("handler not reached");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandlerCall)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace appsrv::server

BENCHMARK_MAIN();
