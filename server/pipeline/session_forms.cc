#include "server/pipeline/session_forms.h"

#include <atomic>

namespace appsrv::server {

namespace {

std::atomic<SessionForms*> g_forms{nullptr};

}  // namespace

void RegisterSessionForms(SessionForms* forms) { g_forms.store(forms); }

SessionForms* RegisteredSessionForms() { return g_forms.load(); }

}  // namespace appsrv::server
