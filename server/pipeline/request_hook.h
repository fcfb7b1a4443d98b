// The request hook: the one procedure the transport calls per request with the exchange
// buffer, and the pipeline entry that start-up puts into it.
#pragma once

#include <cstdint>

namespace appsrv::server {

// Reads the request packet in the buffer and leaves the reply packet in its place. Throws only
// when the packet cannot be read or the reply cannot be committed (the transport answers 400).
using RequestHookProc = void (*)(char* aBytes, int32_t aSize);

// The process-wide slot; set at start-up, read by every connection thread.
void SetRequestHook(RequestHookProc proc);
RequestHookProc RequestHook();

// The pipeline entry: runs one request through a TSvServerSession. REQUIRES: the process-wide
// server controller exists.
void ExecuteRequest(char* aBytes, int32_t aSize);

}  // namespace appsrv::server
