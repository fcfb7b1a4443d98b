#include "host/status_figures.h"

#include <cstdio>
#include <limits>

#include "host/window_settings.h"

namespace appsrv::host {
namespace {

// "1,234 requests, average 0.42 ms, 99% within 2.50 ms" (or "none yet").
std::string durations_in_words(const base::DurationHistogram& histogram, const char* what) {
  const base::DurationHistogram::Snapshot s = histogram.snapshot();
  if (s.count == 0) {
    return std::string("no ") + what + " yet";
  }
  std::string text =
      with_thousands(s.count) + " " + what + ", average " + MillisecondsText(s.sum_us / s.count);
  const uint64_t bound = QuantileBoundUs(s, 0.99);
  text += bound == std::numeric_limits<uint64_t>::max()
              ? ", 99% beyond " + MillisecondsText(base::DurationHistogram::kUpperBoundsUs.back())
              : ", 99% within " + MillisecondsText(bound);
  return text;
}

}  // namespace

std::string MillisecondsText(uint64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%02llu ms", static_cast<unsigned long long>(us / 1000),
                static_cast<unsigned long long>(us % 1000 / 10));
  return text;
}

uint64_t QuantileBoundUs(const base::DurationHistogram::Snapshot& s, double share) {
  if (s.count == 0) {
    return 0;
  }
  const auto wanted = static_cast<double>(s.count) * share;
  uint64_t cumulative = 0;
  for (size_t i = 0; i < base::DurationHistogram::kUpperBoundsUs.size(); ++i) {
    cumulative += s.counts[i];
    if (static_cast<double>(cumulative) >= wanted) {
      return base::DurationHistogram::kUpperBoundsUs[i];
    }
  }
  return std::numeric_limits<uint64_t>::max();
}

std::vector<std::string> FiguresInWords(const base::ServerMetrics& f, int64_t live_sessions) {
  std::vector<std::string> lines;
  uint64_t answered = 0;
  std::string by_class;
  for (size_t i = 0; i < base::kStatusClasses; ++i) {
    const uint64_t n = f.responses_by_class[i].value();
    answered += n;
    by_class += (i == 0 ? "" : ", ") + std::to_string(i + 1) + "xx " + with_thousands(n);
  }
  lines.push_back("Responses: " + with_thousands(answered) + " (" + by_class + ")");
  constexpr const char* kRouteWords[] = {"app service", "sqlselect", "files", "internal",
                                         "framework"};
  static_assert(std::size(kRouteWords) == base::kRouteKinds);
  std::string routed = "Requests by route: ";
  for (size_t i = 0; i < base::kRouteKinds; ++i) {
    routed += (i == 0 ? "" : ", ") + std::string(kRouteWords[i]) + " " +
              with_thousands(f.requests_by_route[i].value());
  }
  lines.push_back(routed);
  lines.push_back("Bytes sent: " + with_thousands(f.bytes_sent.value()));
  lines.push_back("Connections: " + std::to_string(f.connections_open.value()) + " open, " +
                  with_thousands(f.connections_accepted.value()) + " accepted, " +
                  std::to_string(f.connection_threads.value()) + " threads, " +
                  with_thousands(f.connections_refused_per_client.value()) +
                  " refused over the per-client cap, " +
                  with_thousands(f.connections_reclaimed.value()) + " closed to make room");
  lines.push_back("Sessions: " + with_thousands(static_cast<uint64_t>(live_sessions)) + " live, " +
                  with_thousands(f.sessions_created.value()) + " created, " +
                  with_thousands(f.sessions_expired.value()) + " expired");
  lines.push_back("Refused over a client's share: " +
                  with_thousands(f.client_sessions_refused.value()) + " new sessions, " +
                  with_thousands(f.client_database_refused.value()) + " database requests");
  lines.push_back("Request time: " + durations_in_words(f.request_duration, "requests"));
  lines.push_back("Statement time: " + durations_in_words(f.statement_duration, "statements"));
  lines.push_back("Exception reports: " + with_thousands(f.exception_reports_written.value()) +
                  " written, " + with_thousands(f.exception_reports_dropped.value()) + " dropped");
  lines.push_back("Access log lines dropped: " +
                  with_thousands(f.access_log_lines_dropped.value()));
  return lines;
}

}  // namespace appsrv::host
