#include "server/pipeline/request_hook.h"

#include <atomic>

#include "server/pipeline/server_session.h"

namespace appsrv::server {

namespace {

std::atomic<RequestHookProc> g_request_hook{nullptr};

}  // namespace

void SetRequestHook(RequestHookProc proc) { g_request_hook.store(proc); }

RequestHookProc RequestHook() { return g_request_hook.load(); }

void ExecuteRequest(char* aBytes, int32_t aSize) {
  TSvServerSession executor(aBytes, aSize);
  executor.Execute();
}

}  // namespace appsrv::server
