#include "server/pipeline/metrics_page.h"

#include <algorithm>

#include "server/session/exception_logger.h"

namespace appsrv::server {
namespace {

class PrometheusText {
 public:
  void family(std::string_view name, std::string_view type, std::string_view help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  // `labels` is "" or `name="value"`.
  void sample(std::string_view name, std::string_view labels, std::string_view value) {
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  void counter(std::string_view name, std::string_view help, uint64_t value) {
    family(name, "counter", help);
    sample(name, "", std::to_string(value));
  }
  void gauge(std::string_view name, std::string_view help, int64_t value) {
    family(name, "gauge", help);
    sample(name, "", std::to_string(value));
  }
  void histogram(std::string_view name, std::string_view help,
                 const base::DurationHistogram& histogram) {
    const base::DurationHistogram::Snapshot s = histogram.snapshot();
    family(name, "histogram", help);
    const std::string bucket = std::string(name) + "_bucket";
    uint64_t cumulative = 0;
    for (size_t i = 0; i < base::DurationHistogram::kUpperBoundsUs.size(); ++i) {
      cumulative += s.counts[i];
      sample(bucket, "le=\"" + seconds_text(base::DurationHistogram::kUpperBoundsUs[i]) + "\"",
             std::to_string(cumulative));
    }
    sample(bucket, "le=\"+Inf\"", std::to_string(s.count));
    sample(std::string(name) + "_sum", "", seconds_text(s.sum_us));
    sample(std::string(name) + "_count", "", std::to_string(s.count));
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

}  // namespace

bool may_read_metrics(std::string_view client, bool unvouched,
                      const std::vector<std::string>& trusted) {
  if (unvouched) {
    return false;
  }
  return IsLoopbackAddress(client) ||
         std::find(trusted.begin(), trusted.end(), client) != trusted.end();
}

std::string seconds_text(uint64_t us) {
  std::string text = std::to_string(us / 1000000);
  uint64_t fraction = us % 1000000;
  if (fraction == 0) {
    return text;
  }
  std::string digits = std::to_string(fraction);
  digits.insert(0, 6 - digits.size(), '0');
  digits.erase(digits.find_last_not_of('0') + 1);
  return text + "." + digits;
}

std::string prometheus_text(const base::ServerMetrics& f, int64_t live_sessions) {
  PrometheusText t;
  constexpr std::string_view kResponses = "appsrv_http_responses_total";
  t.family(kResponses, "counter", "HTTP responses sent, by the class of their status.");
  for (size_t i = 0; i < base::kStatusClasses; ++i) {
    t.sample(kResponses, "class=\"" + std::to_string(i + 1) + "xx\"",
             std::to_string(f.responses_by_class[i].value()));
  }
  constexpr std::string_view kRouted = "appsrv_http_requests_routed_total";
  t.family(kRouted, "counter", "Requests the pipeline answered, by what they were routed to.");
  for (size_t i = 0; i < base::kRouteKinds; ++i) {
    t.sample(
        kRouted,
        "route=\"" + std::string(base::route_kind_name(static_cast<base::RouteKind>(i))) + "\"",
        std::to_string(f.requests_by_route[i].value()));
  }
  constexpr std::string_view kRefused = "appsrv_http_requests_refused_total";
  t.family(kRefused, "counter", "Requests the transport refused before reading them whole.");
  for (size_t i = 0; i < base::kRequestRefusals; ++i) {
    const auto refusal = static_cast<base::RequestRefusal>(i);
    t.sample(kRefused, "cause=\"" + std::string(base::refusal_facts(refusal).cause) + "\"",
             std::to_string(f.requests_refused[i].value()));
  }
  t.counter("appsrv_http_sent_bytes_total",
            "Bytes sent to clients: status lines, headers and bodies.", f.bytes_sent.value());
  t.histogram("appsrv_http_request_duration_seconds",
              "Time from a request's first byte to the end of its response.", f.request_duration);
  t.gauge("appsrv_connections_open", "Connections being served.", f.connections_open.value());
  t.counter("appsrv_connections_accepted_total",
            "Connections accepted, including those closed at once over the connection cap.",
            f.connections_accepted.value());
  t.counter("appsrv_connections_refused_per_client_total",
            "Connections closed at accept because their client held MaxConnectionsPerClient.",
            f.connections_refused_per_client.value());
  t.counter("appsrv_connections_reclaimed_total",
            "Connections waiting for a request closed to make room for a new one, every "
            "slot being taken.",
            f.connections_reclaimed.value());
  t.gauge("appsrv_connection_threads", "Threads serving connections.",
          f.connection_threads.value());
  t.gauge("appsrv_sessions_live", "Live sessions.", live_sessions);
  t.counter("appsrv_sessions_created_total", "Sessions created.", f.sessions_created.value());
  t.counter("appsrv_sessions_expired_total", "Sessions ended by their idle time-out.",
            f.sessions_expired.value());
  t.counter("appsrv_client_sessions_refused_total",
            "Requests refused a new session: their client had started too many this minute.",
            f.client_sessions_refused.value());
  t.counter("appsrv_client_db_requests_refused_total",
            "Requests refused the database: their client had too many database requests at once.",
            f.client_database_refused.value());
  t.histogram("appsrv_db_statement_duration_seconds", "Time database statements took to run.",
              f.statement_duration);
  t.counter("appsrv_exception_reports_written_total", "Exception reports written.",
            f.exception_reports_written.value());
  t.counter("appsrv_exception_reports_dropped_total",
            "Exception reports dropped over the report limits.",
            f.exception_reports_dropped.value());
  t.counter("appsrv_access_log_dropped_lines_total",
            "Access log lines dropped: the queue was full or the write failed.",
            f.access_log_lines_dropped.value());
  t.counter("appsrv_boundary_failures_total",
            "Failures a boundary caught and noted on standard error, the work going on.",
            f.boundary_failures.value());
  return t.take();
}

}  // namespace appsrv::server
