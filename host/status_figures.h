// The server's figures (the same as "/$/metrics" shows) as lines of words for the console's
// status command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/metrics.h"

namespace appsrv::host {

std::vector<std::string> FiguresInWords(const base::ServerMetrics& figures, int64_t live_sessions);

// "0.42 ms" for microseconds: milliseconds with two decimals.
std::string MillisecondsText(uint64_t us);

// The upper bound (µs) of the bucket holding the `share` quantile (0 < share <= 1) of the
// histogram's observations; 0 when it has none, UINT64_MAX when it lies past the last bound.
uint64_t QuantileBoundUs(const base::DurationHistogram::Snapshot& s, double share);

}  // namespace appsrv::host
