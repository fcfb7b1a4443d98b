#include "host/status_figures.h"

#include <gtest/gtest.h>

#include <limits>

namespace appsrv::host {
namespace {

TEST(StatusFigures, QuantileBoundIsTheBucketThatReachesTheShare) {
  base::DurationHistogram h;
  EXPECT_EQ(QuantileBoundUs(h.snapshot(), 0.99), 0u);
  for (int i = 0; i < 98; ++i) {
    h.observe_us(80);  // le 100 µs
  }
  h.observe_us(3000);  // le 5 ms
  EXPECT_EQ(QuantileBoundUs(h.snapshot(), 0.5), 100u);
  EXPECT_EQ(QuantileBoundUs(h.snapshot(), 0.99), 5000u);
  h.observe_us(60000000);
  h.observe_us(60000000);
  EXPECT_EQ(QuantileBoundUs(h.snapshot(), 0.99), std::numeric_limits<uint64_t>::max());
}

TEST(StatusFigures, SayTheFiguresInWords) {
  base::ServerMetrics f;
  f.responses_by_class[1].add(1234);
  f.responses_by_class[3].add(5);
  f.requests_by_route[static_cast<size_t>(base::RouteKind::kAppService)].add(12);
  f.bytes_sent.add(1234567);
  f.connections_open.add(3);
  f.connections_accepted.add(2000);
  f.connection_threads.add(3);
  f.connections_refused_per_client.add(1500);
  f.connections_reclaimed.add(4);
  f.sessions_created.add(20);
  f.sessions_expired.add(15);
  f.client_sessions_refused.add(1500);
  f.client_database_refused.add(4);
  f.request_duration.observe_us(400);
  f.request_duration.observe_us(600);
  f.exception_reports_written.add(2);
  f.access_log_lines_dropped.add(7);
  const std::vector<std::string> want = {
      "Responses: 1,239 (1xx 0, 2xx 1,234, 3xx 0, 4xx 5, 5xx 0)",
      "Requests by route: app service 12, sqlselect 0, files 0, internal 0, framework 0",
      "Bytes sent: 1,234,567",
      "Connections: 3 open, 2,000 accepted, 3 threads, 1,500 refused over the per-client cap, 4 "
      "closed to make room",
      "Sessions: 5 live, 20 created, 15 expired",
      "Refused over a client's share: 1,500 new sessions, 4 database requests",
      "Request time: 2 requests, average 0.50 ms, 99% within 1.00 ms",
      "Statement time: no statements yet",
      "Exception reports: 2 written, 0 dropped",
      "Access log lines dropped: 7",
  };
  EXPECT_EQ(FiguresInWords(f, 5), want);
}

}  // namespace
}  // namespace appsrv::host
