#include "host/sent_bytes_hook.h"

#include <atomic>

namespace appsrv::host {
namespace {

std::atomic<SentBytesSink*> g_sink{nullptr};

}  // namespace

void SetSentBytesHook(SentBytesSink* sink) { g_sink.store(sink); }

SentBytesSink* SentBytesHook() { return g_sink.load(); }

}  // namespace appsrv::host
