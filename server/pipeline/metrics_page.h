// "/$/metrics": the process's figures in the Prometheus text exposition format, and who may
// read them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/metrics.h"

namespace appsrv::server {

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// The loopback address itself (127.0.0.1, ::1) and the `trusted` proxies: `client` as
// base::client_address finds it, and a request `unvouched` (naming a forwarded client that no
// trusted proxy vouches for) is that someone's, not the client's.
bool may_read_metrics(std::string_view client, bool unvouched,
                      const std::vector<std::string>& trusted);

// Every figure with its HELP and TYPE lines; durations in seconds.
std::string prometheus_text(const base::ServerMetrics& figures, int64_t live_sessions);

// `us` microseconds as decimal seconds in the shortest exact form ("0.00025", "10").
std::string seconds_text(uint64_t us);

}  // namespace appsrv::server
