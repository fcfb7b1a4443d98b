// The program under a small descriptor limit (256, set by the shell that starts it): sessions
// give their database connections back while idle, and when descriptors run out new
// connections are refused at once, without a crash, until some are free again.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tests/e2e/app_calls.h"
#include "tests/e2e/app_folder.h"
#include "tests/support/http_client.h"

namespace appsrv::testing {
namespace {

constexpr int kLimit = 256;
// The hard limit is the one the program raises its soft limit to.
const std::string kUnderTheLimit =
    "ulimit -S -n " + std::to_string(kLimit - 56) + " && ulimit -H -n " + std::to_string(kLimit);

// UndefinedBehaviorSanitizer checks an object's dynamic type the first time it meets a type at
// a call by probing the memory through a pipe; with no descriptor left the probe fails and it
// reports the object as bad ("invalid vptr", "memory cannot be printed"). Those reports go on
// (and its stack traces, which would start a symbolizer, are off); every other report still
// fails the test (sanitizer_reports below), and AddressSanitizer still stops the program.
const std::vector<std::string> kSanitizerUnderExhaustion = {
    "UBSAN_OPTIONS=halt_on_error=0:print_stacktrace=0"};

// The sanitizer reports in `output` other than failed type probes.
std::vector<std::string> sanitizer_reports(const std::string& output) {
  std::vector<std::string> reports;
  std::istringstream lines(output);
  std::string line;
  std::string pending;
  while (std::getline(lines, line)) {
    if (!pending.empty()) {
      if (line.find("note: object has invalid vptr") == std::string::npos) {
        reports.push_back(pending);
      }
      pending.clear();
    }
    if (line.find("runtime error:") != std::string::npos ||
        line.find("Sanitizer") != std::string::npos) {
      pending = line;
    }
  }
  if (!pending.empty()) {
    reports.push_back(pending);
  }
  return reports;
}

int descriptors_of(pid_t pid) {
  int count = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

// Waits (bounded) until the program holds at most `count` descriptors; returns what it holds.
int settle_descriptors(pid_t pid, int count) {
  int now = descriptors_of(pid);
  for (int i = 0; i < 300 && now > count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    now = descriptors_of(pid);
  }
  return now;
}

class DescriptorLimit : public ::testing::Test {
 protected:
  void Start(const std::string& limits) {
    create_named_rows(folder_.database(), 2000);
    write_file(folder_.root() / "port.ini", "[PORTS]\nPort=0\n[LIMITS]\n" + limits);
    server_ = std::make_unique<Server>(folder_, kUnderTheLimit, kSanitizerUnderExhaustion);
    ASSERT_NE(server_->port(), 0) << server_->output();
    EXPECT_EQ(Get(port(), "/$/ping").body, "Pong");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    idle_descriptors_ = descriptors_of(pid());
  }
  void TearDown() override {
    if (server_ && server_->process().Running()) {
      EXPECT_EQ(server_->Stop(), 0) << server_->output();
    }
    if (server_) {
      while (server_->process().ReadLine(std::chrono::milliseconds(200))) {
      }
      EXPECT_EQ(sanitizer_reports(server_->output()), std::vector<std::string>{})
          << server_->output();
    }
  }

  uint16_t port() const { return server_->port(); }
  pid_t pid() const { return server_->process().pid(); }

  AppFolder folder_;
  std::unique_ptr<Server> server_;
  int idle_descriptors_ = 0;
};

TEST_F(DescriptorLimit, ThreeHundredSessionsAreServedAndGiveTheirConnectionsBackWhenIdle) {
  // The sessions are all of one address, which would otherwise start 60 at once.
  ASSERT_NO_FATAL_FAILURE(Start("DatabaseIdleTimeoutMs=1000\nNewSessionsPerClientPerMinute=0\n"));
  EXPECT_NE(server_->output().find("Open file limit: 256 (hard limit 256, raised from 200)"),
            std::string::npos)
      << server_->output();

  const std::string params = R"({"PageNo":3,"PageSize":5,"TableName":"T"})";
  std::vector<Client> clients;
  int answered = 0;
  for (int i = 0; i < 300; ++i) {
    Client& client = clients.emplace_back(port());
    client.Call("FetchData", params);  // the start page and the session cookie
    const ParsedResponse r = client.Call("FetchData", params);
    if (r.status_line == "HTTP/1.1 200 OK" &&
        r.body.find(R"("RecordCount":2000,"PageNo":3)") != std::string::npos) {
      ++answered;
    } else {
      ADD_FAILURE() << "session " << i << ": " << r.status_line << "\n" << r.body.substr(0, 300);
    }
  }
  EXPECT_EQ(answered, 300);
  // Idle for a second, every session's connection is closed again.
  EXPECT_LE(settle_descriptors(pid(), idle_descriptors_), idle_descriptors_);
  // A session whose connection was closed opens it again on its next call.
  const ParsedResponse again = clients.front().Call("FetchData", params);
  EXPECT_EQ(again.status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(again.body.find(R"("RecordCount":2000,"PageNo":3)"), std::string::npos);
}

TEST_F(DescriptorLimit, OutOfDescriptorsNewConnectionsAreRefusedUntilSomeAreFree) {
  ASSERT_NO_FATAL_FAILURE(Start("KeepAliveIdleTimeoutMs=60000\nHeaderTimeoutMs=60000\n"));
  // Idle connections hold a descriptor each until the program has none left. They come ten
  // at a time, taken by the program before the next ten: beyond its listen queue, connecting
  // would wait for the system to retry, seconds later.
  std::vector<int> held;
  for (int wave = 0; wave < 40 && descriptors_of(pid()) < kLimit - 4; ++wave) {
    for (int k = 0; k < 10; ++k) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(port());
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      (void)::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      held.push_back(fd);
    }
    const int taken = std::min(idle_descriptors_ + static_cast<int>(held.size()), kLimit - 4);
    for (int i = 0; i < 100 && descriptors_of(pid()) < taken; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  EXPECT_GE(descriptors_of(pid()), kLimit - 4) << held.size() << " connections held";
  // A request now is refused at once with 503, or finds its connection closed: never a hang.
  const std::string refused =
      ExchangeUntilClose(port(), "GET /$/ping HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  if (!refused.empty()) {
    EXPECT_TRUE(refused.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << refused;
  }
  EXPECT_TRUE(server_->process().Running());

  for (const int fd : held) {
    ::close(fd);
  }
  std::string served;
  for (int i = 0; i < 100 && served.find("Pong") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    served =
        ExchangeUntilClose(port(), "GET /$/ping HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
  }
  EXPECT_NE(served.find("\r\n\r\nPong"), std::string::npos) << served;
  EXPECT_LE(settle_descriptors(pid(), idle_descriptors_), idle_descriptors_);
  // However many connections were refused, the log says so once a minute.
  while (server_->process().ReadLine(std::chrono::milliseconds(500))) {
  }
  const std::string output = server_->output();
  size_t notes = 0;
  for (size_t at = output.find("out of file descriptors"); at != std::string::npos;
       at = output.find("out of file descriptors", at + 1)) {
    ++notes;
  }
  EXPECT_EQ(notes, 1u) << output;
}

}  // namespace
}  // namespace appsrv::testing
