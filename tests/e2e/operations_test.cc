// What an operator sees of the running program: the access log (read back field by field,
// reopened after rotation), "/$/metrics" (checked by Prometheus's own tool, and closed to
// other peers) and the figures in the console's status.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "tests/e2e/app_calls.h"
#include "tests/e2e/app_folder.h"
#include "tests/support/child_process.h"
#include "tests/support/http_client.h"
#include "tests/transport/access_log_parse.h"

namespace appsrv::testing {
namespace {

using transport::testing::ParseAccessLine;
using transport::testing::ParsedAccessLine;

constexpr auto kPatience = std::chrono::seconds(20);

// A GET as a browser would send it, from the loopback address `from`.
std::string get_request(uint16_t port, const std::string& target, const std::string& agent,
                        const std::string& referer = "", const std::string& cookie = "") {
  std::string raw = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nUser-Agent: " + agent + "\r\nConnection: close\r\n";
  if (!referer.empty()) {
    raw += "Referer: " + referer + "\r\n";
  }
  if (!cookie.empty()) {
    raw += "Cookie: " + cookie + "\r\n";
  }
  return raw + "\r\n";
}

// The lines of the file once it has at least `count` of them (the log is written off the
// request path, a moment later), or what it has when the patience runs out.
std::vector<std::string> wait_for_lines(const fs::path& path, size_t count) {
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  do {
    lines = base::split(read_file(path), '\n');
    if (!lines.empty() && lines.back().empty()) {
      lines.pop_back();
    }
    if (lines.size() >= count) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return lines;
}

bool wait_for_file(const fs::path& path) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The access-log line whose request line starts with `request`.
std::optional<ParsedAccessLine> line_for(const std::vector<std::string>& lines,
                                         const std::string& request) {
  for (const std::string& line : lines) {
    std::optional<ParsedAccessLine> parsed = ParseAccessLine(line);
    EXPECT_TRUE(parsed) << "unreadable line: " << line;
    if (parsed && parsed->request.starts_with(request)) {
      return parsed;
    }
  }
  ADD_FAILURE() << "no line for " << request;
  return std::nullopt;
}

// "SV_MyApp=<id>_<track>" -> <id>.
std::string session_id_of(const std::string& cookie) {
  const std::string value = cookie.substr(cookie.find('=') + 1);
  return value.substr(0, value.rfind('_'));
}

fs::path access_log(const AppFolder& folder) { return folder.root() / "appserver-access.log"; }

TEST(AccessLog, EachRequestIsALineReadBackFieldByField) {
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  const uint16_t port = server.port();
  const std::string agent = R"(ops-test/1.0 (quoted "part"))";

  const ParsedResponse ping =
      SendRaw(port, get_request(port, "/$/ping", agent, "http://referer.test/page?x=1"));
  const ParsedResponse missing = SendRaw(port, get_request(port, "/nosuchfile.png", agent));
  Client client(port);
  client.Call("Time", "");  // earns the session cookie
  ASSERT_FALSE(client.cookie().empty());
  const std::string upload_body(100000, 'u');
  const ParsedResponse upload = SendRaw(
      port, "POST /appservice/?SvFileUploader=true HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: " +
                agent + "\r\nCookie: " + client.cookie() +
                "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(upload_body.size()) + "\r\nConnection: close\r\n\r\n" + upload_body);
  const ParsedResponse failing =
      client.Call("FetchData", R"({"PageNo":1,"PageSize":2,"TableName":"nosuchtable"})");
  EXPECT_EQ(ping.status(), 200);
  EXPECT_EQ(missing.status(), 404);
  EXPECT_EQ(failing.status(), 500);

  const std::vector<std::string> lines = wait_for_lines(access_log(folder), 5);
  ASSERT_EQ(lines.size(), 5u) << read_file(access_log(folder));
  const std::string session = session_id_of(client.cookie());
  ASSERT_GT(session.size(), 6u);

  struct Expected {
    std::string request;
    const ParsedResponse* response;
    std::string referer;
    std::string user_agent;
    std::string session;
  };
  const std::string escaped_agent = R"(ops-test/1.0 (quoted \x22part\x22))";
  const Expected kExpected[] = {
      {"GET /$/ping HTTP/1.1", &ping, "http://referer.test/page?x=1", escaped_agent, "-"},
      {"GET /nosuchfile.png HTTP/1.1", &missing, "-", escaped_agent, "-"},
      {"POST /appservice/?SvFileUploader=true HTTP/1.1", &upload, "-", escaped_agent,
       session.substr(0, 6)},
      {"POST /appservice/ HTTP/1.1", &failing, "-", "appsrv-e2e", session.substr(0, 6)},
  };
  std::vector<std::string> later_lines = lines;
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.request);
    // The two calls share a request line: the failing one is the last.
    const std::vector<std::string> search =
        e.response == &failing ? std::vector<std::string>{lines.back()} : lines;
    const std::optional<ParsedAccessLine> p = line_for(search, e.request);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->client, "127.0.0.1");
    EXPECT_EQ(p->ident, "-");
    EXPECT_EQ(p->user, "-");
    EXPECT_EQ(p->status, std::to_string(e.response->status()));
    EXPECT_EQ(p->bytes, std::to_string(e.response->body.size()));
    EXPECT_EQ(p->referer, e.referer);
    EXPECT_EQ(p->user_agent, e.user_agent);
    EXPECT_EQ(p->session, e.session);
    EXPECT_GT(std::stoll(p->duration), 0);
  }
  // The session identifier is a credential: never whole in the log.
  EXPECT_EQ(read_file(access_log(folder)).find(session), std::string::npos);
  EXPECT_EQ(server.Stop(), 0);
}

TEST(AccessLog, RenamedLogsGoOnInANewFileAfterSighupOrReopenLogs) {
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  const uint16_t port = server.port();
  SendRaw(port, get_request(port, "/$/ping", "first"));
  ASSERT_EQ(wait_for_lines(access_log(folder), 1).size(), 1u);

  struct Rotation {
    const char* how;
    std::function<void()> ask;
  };
  const Rotation kRotations[] = {
      {"SIGHUP", [&] { server.process().Signal(SIGHUP); }},
      {"reopen-logs", [&] { EXPECT_EQ(server.Command("reopen-logs"), "Log files reopened."); }},
  };
  int n = 0;
  for (const Rotation& r : kRotations) {
    SCOPED_TRACE(r.how);
    const fs::path rotated = folder.root() / ("appserver-access.log." + std::to_string(++n));
    fs::rename(access_log(folder), rotated);
    r.ask();
    // The writer reopens on its next round, with or without lines to write.
    ASSERT_TRUE(wait_for_file(access_log(folder)));
    SendRaw(port, get_request(port, "/$/ping", r.how));
    const std::vector<std::string> fresh = wait_for_lines(access_log(folder), 1);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_NE(fresh[0].find(std::string("\"") + r.how + "\""), std::string::npos) << fresh[0];
    EXPECT_EQ(wait_for_lines(rotated, 1).size(), 1u);
  }
  EXPECT_TRUE(server.process().Running());
  EXPECT_EQ(server.Stop(), 0);
}

TEST(AccessLog, OffWritesNoFile) {
  AppFolder folder;
  write_file(folder.root() / "port.ini", "[PORTS]\nPort=0\n[ACCESSLOG]\nOutput=off\n");
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  EXPECT_EQ(SendRaw(server.port(), get_request(server.port(), "/$/ping", "x")).status(), 200);
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_FALSE(fs::exists(access_log(folder)));
}

// The next line of the program's output that holds `needle`, or nullopt when none comes in time.
std::optional<std::string> wait_for_output(Server& server, const std::string& needle) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::optional<std::string> line = server.process().ReadLine(kPatience);
    if (!line) {
      return std::nullopt;
    }
    if (line->find(needle) != std::string::npos) {
      return line;
    }
  }
  return std::nullopt;
}

// A failed request is one line on the console whatever the settings, and a report under
// ErrorLog/ once port.ini turns reports on; with "debug on" every request is a line.
TEST(Console, FailedRequestsAndWithDebugOnEveryRequestAreLines) {
  AppFolder folder;
  write_file(folder.root() / "port.ini", "[PORTS]\nPort=0\n[LOG]\nExceptionReports=1\n");
  write_file(folder.database(), "");  // an empty database: the table is what is missing
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  Client client(server.port());
  client.Call("Time", "");  // earns the session cookie
  const ParsedResponse failing =
      client.Call("FetchData", R"({"PageNo":1,"PageSize":2,"TableName":"nosuchtable"})");
  ASSERT_EQ(failing.status(), 500);
  const std::string session = session_id_of(client.cookie());
  ASSERT_GT(session.size(), 6u);

  const std::optional<std::string> failed = wait_for_output(server, "Request failed: ");
  ASSERT_TRUE(failed) << server.output();
  EXPECT_TRUE(std::regex_search(
      *failed, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d Request failed: POST /appservice/ 500 )"
                          R"(\w+: .*nosuchtable.* \[session )" +
                          session.substr(0, 6) + R"(\]$)")))
      << *failed;
  EXPECT_EQ(failed->find(session), std::string::npos) << *failed;
  bool reported = false;
  for (int tries = 0; tries < 100 && !reported; ++tries) {
    reported = fs::exists(folder.root() / "ErrorLog") &&
               !fs::is_empty(folder.root() / "ErrorLog");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(reported);

  EXPECT_EQ(server.Command("debug on"), "Debug Log: on");
  EXPECT_EQ(client.Get("/$/ping").status(), 200);
  const std::optional<std::string> seen = wait_for_output(server, "GET /$/ping 200 ");
  ASSERT_TRUE(seen) << server.output();
  EXPECT_TRUE(std::regex_match(*seen, std::regex(R"(GET /\$/ping 200 \d+ us)"))) << *seen;
  EXPECT_EQ(server.Stop(), 0);
}

// sample name (with its labels) -> value, of the exposition text.
std::map<std::string, double> samples_of(const std::string& text) {
  std::map<std::string, double> samples;
  for (const std::string& line : base::split(text, '\n')) {
    if (line.empty() || line.front() == '#') {
      continue;
    }
    const size_t blank = line.rfind(' ');
    samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
  }
  return samples;
}

// Runs Debian's promtool on the text; its verdict and what it said.
std::pair<int, std::string> promtool_check(const AppFolder& folder, const std::string& text) {
  const fs::path file = folder.root() / "metrics.txt";
  write_file(file, text);
  ChildProcess tool({"/bin/sh", "-c",
                     "command -v promtool >/dev/null || { echo promtool is missing: "
                     "scripts/install-deps test installs it; exit 127; }; "
                     "promtool check metrics < \"$0\" 2>&1",
                     file.string()},
                    folder.root().string());
  std::string said;
  while (const std::optional<std::string> line = tool.ReadLine(kPatience)) {
    said += *line + "\n";
  }
  return {tool.Wait(kPatience).value_or(-1), said};
}

// A client that connects from another loopback address than 127.0.0.1.
ParsedResponse get_from(const char* source, uint16_t port, const std::string& target) {
  transport::testing::LoopbackClient client(port, "127.0.0.1", source);
  client.Send(get_request(port, target, "other-peer"));
  std::vector<ParsedResponse> responses = transport::testing::ParseResponses(client.ReadToClose());
  if (responses.empty()) {
    ADD_FAILURE() << "no response from " << source;
    return {};
  }
  return std::move(responses.front());
}

TEST(Metrics, PassPromtoolAndMoveAsRequestsAreMade) {
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  const uint16_t port = server.port();

  const ParsedResponse first = Get(port, "/$/metrics");
  ASSERT_EQ(first.status(), 200) << first.body;
  EXPECT_EQ(first.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const auto [verdict, said] = promtool_check(folder, first.body);
  EXPECT_EQ(verdict, 0) << said << "\n" << first.body;

  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Get(port, "/$/ping").status(), 200);
  }
  EXPECT_EQ(Get(port, "/nosuchfile.png").status(), 404);
  Client client(port);
  client.Call("Time", "");  // the start page: a new session
  EXPECT_EQ(client.Call("Time", "").status(), 200);

  const ParsedResponse second = Get(port, "/$/metrics");
  ASSERT_EQ(second.status(), 200);
  EXPECT_EQ(promtool_check(folder, second.body).first, 0);
  std::map<std::string, double> before = samples_of(first.body);
  std::map<std::string, double> after = samples_of(second.body);
  const auto moved = [&](const std::string& name) { return after[name] - before[name]; };
  // Between the two: the first scrape itself, 3 pings, the start page and the call.
  EXPECT_EQ(moved("appsrv_http_responses_total{class=\"2xx\"}"), 6);
  EXPECT_EQ(moved("appsrv_http_responses_total{class=\"4xx\"}"), 1);
  EXPECT_EQ(moved("appsrv_http_requests_routed_total{route=\"internal\"}"), 4);
  EXPECT_EQ(moved("appsrv_http_requests_routed_total{route=\"files\"}"), 1);
  EXPECT_EQ(moved("appsrv_http_requests_routed_total{route=\"appservice\"}"), 1);
  EXPECT_EQ(moved("appsrv_http_requests_routed_total{route=\"framework\"}"), 1);
  EXPECT_EQ(moved("appsrv_sessions_created_total"), 1);
  EXPECT_EQ(after["appsrv_sessions_live"], 1);
  EXPECT_EQ(moved("appsrv_http_request_duration_seconds_count"), 7);
  EXPECT_GE(moved("appsrv_connections_accepted_total"), 7);
  EXPECT_GT(moved("appsrv_http_sent_bytes_total"), 0);
  EXPECT_GE(after["appsrv_connections_open"], 1);  // the scrape's own
  EXPECT_EQ(after["appsrv_access_log_dropped_lines_total"], 0);

  // The console says the same in words.
  server.process().WriteInput("status\n");
  std::string status;
  while (const std::optional<std::string> line = server.process().ReadLine(kPatience)) {
    status += *line + "\n";
    if (line->starts_with("Access log lines dropped:")) {
      break;
    }
  }
  EXPECT_NE(status.find("Sessions: 1 live, 1 created"), std::string::npos) << status;
  EXPECT_NE(status.find("Requests by route: app service 1,"), std::string::npos) << status;
  EXPECT_EQ(server.Stop(), 0);
}

// "Loopback" for the page is the loopback address itself, not the whole 127.0.0.0/8 network:
// a peer at 127.0.0.2, not among the trusted proxies, is any other peer.
TEST(Metrics, RefusedToOtherPeers) {
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  const ParsedResponse refused = get_from("127.0.0.2", server.port(), "/$/metrics");
  EXPECT_EQ(refused.status(), 404);
  EXPECT_EQ(refused.body.find("appsrv_"), std::string::npos);
  // Readiness says why the database fails: the same operators only.
  EXPECT_EQ(get_from("127.0.0.2", server.port(), "/$/ready").status(), 404);
  EXPECT_EQ(get_from("127.0.0.2", server.port(), "/$/ping").status(), 200);
  EXPECT_EQ(get_from("127.0.0.1", server.port(), "/$/metrics").status(), 200);
  // A proxy on this machine relaying a stranger's request.
  const std::string relayed =
      "GET /$/metrics HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: 192.0.2.1\r\n"
      "Connection: close\r\n\r\n";
  EXPECT_EQ(SendRaw(server.port(), relayed).status(), 404);
  EXPECT_EQ(server.Stop(), 0);
  // The access log names the other peer as itself, and the relayed request's client as the
  // trusted proxy (127.0.0.1) says.
  std::vector<std::string> clients;
  for (const std::string& line : wait_for_lines(access_log(folder), 5)) {
    const std::optional<ParsedAccessLine> p = ParseAccessLine(line);
    ASSERT_TRUE(p) << line;
    clients.push_back(p->client + " " + p->status);
  }
  EXPECT_EQ(clients, (std::vector<std::string>{"127.0.0.2 404", "127.0.0.2 404", "127.0.0.2 200",
                                               "127.0.0.1 200", "192.0.2.1 404"}));
}

TEST(Metrics, AnsweredToATrustedProxy) {
  AppFolder folder;
  write_file(folder.root() / "port.ini",
             "[PORTS]\nPort=0\n[SECURITY]\nTrustedProxies=127.0.0.1,127.0.0.2\n");
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  const ParsedResponse trusted = get_from("127.0.0.2", server.port(), "/$/metrics");
  EXPECT_EQ(trusted.status(), 200);
  EXPECT_NE(trusted.body.find("appsrv_http_responses_total"), std::string::npos);
  EXPECT_EQ(get_from("127.0.0.3", server.port(), "/$/metrics").status(), 404);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace appsrv::testing
