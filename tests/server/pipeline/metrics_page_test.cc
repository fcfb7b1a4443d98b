#include "server/pipeline/metrics_page.h"

#include <gtest/gtest.h>

#include <string>

namespace appsrv::server {
namespace {

TEST(MetricsPage, OnlyTheLoopbackAddressAndTrustedProxiesMayRead) {
  const std::vector<std::string> trusted = {"10.0.0.5"};
  struct Case {
    const char* peer;
    bool may;
  };
  constexpr Case kCases[] = {
      {"127.0.0.1", true}, {"::1", true},        {"::ffff:127.0.0.1", true},
      {"10.0.0.5", true},  {"127.0.0.2", false},  // loopback network, not the address itself
      {"10.0.0.6", false}, {"", false},          {"192.0.2.1", false},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(may_read_metrics(c.peer, false, trusted), c.may) << c.peer;
    EXPECT_FALSE(may_read_metrics(c.peer, true, trusted)) << c.peer << " relaying";
  }
}

TEST(MetricsPage, SecondsAreExactDecimals) {
  struct Case {
    uint64_t us;
    const char* text;
  };
  constexpr Case kCases[] = {
      {0, "0"},         {100, "0.0001"},  {250, "0.00025"},     {1000000, "1"},
      {1500000, "1.5"}, {10000000, "10"}, {1234567, "1.234567"}};
  for (const Case& c : kCases) {
    EXPECT_EQ(seconds_text(c.us), c.text) << c.us;
  }
}

TEST(MetricsPage, FiguresAppearWithTheirTypesAndCumulativeBuckets) {
  base::ServerMetrics figures;
  figures.responses_by_class[base::status_class_index(200)].add(7);
  figures.responses_by_class[base::status_class_index(404)].add(2);
  figures.requests_by_route[static_cast<size_t>(base::RouteKind::kSqlSelect)].add(3);
  figures.requests_refused[static_cast<size_t>(base::RequestRefusal::kBodyTooLarge)].add(2);
  figures.connections_open.add(4);
  figures.connections_refused_per_client.add(6);
  figures.access_log_lines_dropped.add(11);
  figures.request_duration.observe_us(50);        // first bucket
  figures.request_duration.observe_us(300);       // le 0.0005
  figures.request_duration.observe_us(20000000);  // past the last bound
  const std::string text = prometheus_text(figures, 5);

  const auto has_line = [&](const std::string& line) {
    return text.find("\n" + line + "\n") != std::string::npos || text.starts_with(line + "\n");
  };
  for (const char* line : {
           "# TYPE appsrv_http_responses_total counter",
           "appsrv_http_responses_total{class=\"2xx\"} 7",
           "appsrv_http_responses_total{class=\"4xx\"} 2",
           "appsrv_http_responses_total{class=\"5xx\"} 0",
           "appsrv_http_requests_routed_total{route=\"sqlselect\"} 3",
           "appsrv_http_requests_routed_total{route=\"appservice\"} 0",
           "appsrv_http_requests_refused_total{cause=\"body_too_large\"} 2",
           "appsrv_http_requests_refused_total{cause=\"timed_out\"} 0",
           "# TYPE appsrv_connections_open gauge",
           "appsrv_connections_open 4",
           "# TYPE appsrv_connections_refused_per_client_total counter",
           "appsrv_connections_refused_per_client_total 6",
           "appsrv_connections_reclaimed_total 0",
           "appsrv_sessions_live 5",
           "appsrv_access_log_dropped_lines_total 11",
           "appsrv_boundary_failures_total 0",
           "# TYPE appsrv_http_request_duration_seconds histogram",
           "appsrv_http_request_duration_seconds_bucket{le=\"0.0001\"} 1",
           "appsrv_http_request_duration_seconds_bucket{le=\"0.00025\"} 1",
           "appsrv_http_request_duration_seconds_bucket{le=\"0.0005\"} 2",
           "appsrv_http_request_duration_seconds_bucket{le=\"10\"} 2",
           "appsrv_http_request_duration_seconds_bucket{le=\"+Inf\"} 3",
           "appsrv_http_request_duration_seconds_sum 20.00035",
           "appsrv_http_request_duration_seconds_count 3",
           "appsrv_db_statement_duration_seconds_count 0",
       }) {
    EXPECT_TRUE(has_line(line)) << line << "\n" << text;
  }
  // Every family is introduced before its samples, exactly once.
  EXPECT_EQ(text.find("# TYPE appsrv_http_responses_total"),
            text.rfind("# TYPE appsrv_http_responses_total"));
  EXPECT_LT(text.find("# HELP appsrv_sessions_live"), text.find("appsrv_sessions_live 5"));
  EXPECT_TRUE(text.ends_with("\n"));
}

}  // namespace
}  // namespace appsrv::server
