// The cost of the status page, through the request hook as the transport calls it (packets in
// and out, no sockets), with the application's controller, main form and page rendering:
//   BM_StatusPage      "/$/" on a started session: execute the form, render the whole document
//                      (tags, label style rule, scripts, start-up code), send it as the reply
//   BM_RenderDocument  the form's document alone, without the pipeline around it
// Figures are microseconds per page (time per iteration). Reproduce with:
//   scripts/bench render_bench
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "app/ServerUnit1.h"
#include "bench/bench_support.h"
#include "render/app_form.h"
#include "render/session_forms.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/handlers.h"
#include "server/pipeline/request_hook.h"
#include "server/session/server_controller.h"

namespace appsrv::render {
namespace {

constexpr const char* kAgent =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36";

// The application wired as start-up wires it, over a private folder.
class App {
 public:
  App() {
    server::THandlers::Clear();
    app::RegisterContentHandlers();
    app::RegisterServerController();
    app::RegisterMainForm();
    InstallPageRendering();
    server::InitServerController(folder_.environment("render_bench"));
    server::SetRequestHook(&server::ExecuteRequest);
  }
  ~App() {
    server::SetRequestHook(nullptr);
    server::FreeServerController();
    server::THandlers::Clear();
    UninstallPageRendering();
    SetMainFormClass(nullptr);
  }
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  server::ReplyPacket Call(const std::string& method, const std::string& path,
                           std::vector<std::string> fields, const std::string& cookie) {
    server::RequestPacketFields f;
    f.method = method;
    f.path_info = path;
    f.remote_addr = "127.0.0.1";
    f.host = "localhost";
    f.server_port = 8888;
    f.user_agent = kAgent;
    f.query_fields = std::move(fields);
    if (!cookie.empty()) {
      f.cookie_fields = {"SV_MyApp=" + cookie};
    }
    server::write_request_packet(f, buffer_.data(), server::kExchangeBufferSize);
    server::RequestHook()(buffer_.data(), server::kExchangeBufferSize);
    return server::read_reply_packet(buffer_.data(), server::kExchangeBufferSize);
  }

  // A browser's start: the session and the window size it reported.
  std::string StartSession() {
    const server::ReplyPacket start = Call("GET", "/", {}, "");
    if (start.cookies.empty()) {
      return {};
    }
    const std::string cookie = start.cookies.front().value;
    Call("GET", "/$/StartCheck", {"SV_width=1280", "SV_height=720"}, cookie);
    return cookie;
  }

 private:
  bench::BenchFolder folder_{"render-bench"};
  std::vector<char> buffer_ = std::vector<char>(server::kExchangeBufferSize);
};

void BM_StatusPage(benchmark::State& state) {
  App app;
  const std::string cookie = app.StartSession();
  if (cookie.empty()) {
    state.SkipWithError("no session");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    server::ReplyPacket page = app.Call("GET", "/$/", {}, cookie);
    bytes = page.body_text().size();
    benchmark::DoNotOptimize(page.body);
  }
  if (app.Call("GET", "/$/", {}, cookie).body_text().find("AppService Server Is Running...") ==
      std::string::npos) {
    state.SkipWithError("no status page");
  }
  state.counters["page_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusPage)->Unit(benchmark::kMicrosecond);

void BM_RenderDocument(benchmark::State& state) {
  App app;  // the controller the page reads its settings from
  app::TSvForm2 form(nullptr);
  std::string page;
  for (auto _ : state) {
    page.clear();
    form.GenerateForm(page);
    benchmark::DoNotOptimize(page.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenderDocument)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace appsrv::render

BENCHMARK_MAIN();
