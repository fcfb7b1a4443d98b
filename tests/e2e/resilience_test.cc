// The program under strangers, slow clients, faults and crashes: short limits come from the
// [LIMITS] section of port.ini, and after every case the program's threads, descriptors and
// temporary files are back where they were.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "tests/e2e/app_calls.h"
#include "tests/e2e/app_folder.h"
#include "tests/support/http_client.h"

namespace appsrv::testing {
namespace {

using transport::testing::LoopbackClient;
using transport::testing::ParseResponses;

// What a connection holds in the program: its thread and its descriptor.
struct Holdings {
  int threads = 0;
  int descriptors = 0;
};

Holdings holdings_of(pid_t pid) {
  Holdings h;
  h.threads = ThreadsOf(pid);
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++h.descriptors;
  }
  return h;
}

// Waits (bounded) until the program holds no more than `baseline`; returns what it holds.
Holdings settle_to(pid_t pid, const Holdings& baseline) {
  Holdings now = holdings_of(pid);
  for (int i = 0;
       i < 400 && (now.threads > baseline.threads || now.descriptors > baseline.descriptors); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    now = holdings_of(pid);
  }
  return now;
}

// Regular files under `folder`, by path.
std::vector<std::string> files_under(const fs::path& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) {
      out.push_back(it->path().string());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A call of the application service on the session of `cookie`, as raw request bytes.
std::string app_service_request(const std::string& cookie, const std::string& function,
                                const std::string& params) {
  const std::string body = "Function=" + FormEncode(function) + "&Params=" + FormEncode(params);
  return "POST /appservice/ HTTP/1.1\r\nHost: h\r\nCookie: " + cookie +
         "\r\nConnection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

void expect_pong(uint16_t port) {
  const ParsedResponse probe = Get(port, "/$/ping");
  EXPECT_EQ(probe.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(probe.body, "Pong");
}

// The program with the given [LIMITS] lines, probed once so that the baseline counts a
// program that has served.
class Running {
 public:
  explicit Running(const std::string& limits, AppFolder& folder) : folder_(folder) {
    write_file(folder_.root() / "port.ini", "[PORTS]\nPort=0\n[LIMITS]\n" + limits);
    server_ = std::make_unique<Server>(folder_);
    if (server_->port() != 0) {
      expect_pong(port());
      // The probe's thread ends just after its reply.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      baseline_ = holdings_of(pid());
      temp_files_ = files_under(folder_.temp());
    }
  }
  ~Running() {
    if (server_->process().Running()) {
      EXPECT_EQ(server_->Stop(), 0);
    }
  }

  uint16_t port() const { return server_->port(); }
  pid_t pid() const { return server_->process().pid(); }
  Server& server() { return *server_; }
  // Measures the baseline again, after the case has opened what the program keeps (such as a
  // session's database connection).
  void Rebaseline() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    baseline_ = holdings_of(pid());
  }
  // Nothing a finished case used is still held.
  void ExpectBaseline() {
    const Holdings now = settle_to(pid(), baseline_);
    EXPECT_LE(now.threads, baseline_.threads);
    EXPECT_LE(now.descriptors, baseline_.descriptors);
    EXPECT_EQ(files_under(folder_.temp()), temp_files_);
  }

 private:
  AppFolder& folder_;
  std::unique_ptr<Server> server_;
  Holdings baseline_;
  std::vector<std::string> temp_files_;
};

TEST(Resilience, SlowClientsAreClosedAtTheirDeadlinesWhileOthersAreServed) {
  AppFolder folder;
  Running app("HeaderTimeoutMs=600\nBodyIdleTimeoutMs=600\nKeepAliveIdleTimeoutMs=600\n", folder);
  ASSERT_NE(app.port(), 0);
  struct Case {
    std::string name;
    std::string first;
    std::string trickle;      // sent every 100 ms, 30 times, until the server closes
    std::string status_line;  // of the one reply; empty: closed without one
  };
  const Case kCases[] = {
      {"slowloris", "GET /$/ping HTTP/1.1\r\nHost: h\r\n", "X-Slow: 1\r\n",
       "HTTP/1.1 408 Request Timeout"},
      {"slow body", "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\nabc", "",
       "HTTP/1.1 408 Request Timeout"},
      {"silent connection", "", "", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    LoopbackClient slow(app.port());
    slow.Send(c.first);
    std::atomic<bool> done{false};
    std::thread trickler([&] {
      for (int i = 0; i < 30 && !done && !c.trickle.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        slow.Send(c.trickle);
      }
    });
    expect_pong(app.port());
    const std::string reply = slow.ReadToClose();
    done = true;
    trickler.join();
    const std::vector<ParsedResponse> r = ParseResponses(reply);
    if (c.status_line.empty()) {
      EXPECT_EQ(reply, "");
    } else {
      ASSERT_EQ(r.size(), 1u) << reply;
      EXPECT_EQ(r[0].status_line, c.status_line);
    }
    app.ExpectBaseline();
  }
}

// A body that keeps coming, but below the minimum rate, is cut once its grace is over; one at
// the rate goes on past the grace. The pause limit alone would let the slow one through.
TEST(Resilience, ABodyBelowTheMinimumRateIsCutAfterItsGrace) {
  AppFolder folder;
  Running app("BodyIdleTimeoutMs=5000\nBodyRateGraceMs=400\nBodyMinRateBytesPerSec=1000\n",
              folder);
  ASSERT_NE(app.port(), 0);
  struct Case {
    const char* name;
    int body_bytes;
    int piece_bytes;          // sent every 100 ms
    const char* status_line;  // of the one reply
  };
  const Case kCases[] = {
      {"100 bytes/s", 200, 10, "HTTP/1.1 408 Request Timeout"},
      {"5000 bytes/s", 4000, 500, "HTTP/1.1 200 OK"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    LoopbackClient client(app.port());
    client.Send("POST /$/ping HTTP/1.1\r\nHost: h\r\nConnection: close\r\nContent-Length: " +
                std::to_string(c.body_bytes) + "\r\n\r\n");
    std::atomic<bool> done{false};
    std::thread sender([&] {
      for (int sent = 0; sent < c.body_bytes && !done; sent += c.piece_bytes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        client.Send(std::string(static_cast<size_t>(c.piece_bytes), 'b'));
      }
    });
    const std::string reply = client.ReadToClose();
    done = true;
    sender.join();
    const std::vector<ParsedResponse> r = ParseResponses(reply);
    ASSERT_EQ(r.size(), 1u) << reply;
    EXPECT_EQ(r[0].status_line, c.status_line);
    app.ExpectBaseline();
  }
}

TEST(Resilience, IdleConnectionsAndTheConnectionCap) {
  if (!EnsureDescriptors(2600)) {
    GTEST_SKIP() << "the descriptor limit is too low for the case";
  }
  AppFolder folder;
  Running app("MaxConnections=1050\nKeepAliveIdleTimeoutMs=120000\n", folder);
  ASSERT_NE(app.port(), 0);
  const int threads_before = holdings_of(app.pid()).threads;
  std::vector<std::unique_ptr<LoopbackClient>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<LoopbackClient>(app.port()));
  }
  // Each idle connection has its thread before the probe comes.
  for (int i = 0; i < 600 && holdings_of(app.pid()).threads < threads_before + 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_GE(holdings_of(app.pid()).threads, threads_before + 1000);
  expect_pong(app.port());
  // Beyond the cap a new connection takes the slot of the one that has waited longest for a
  // request: the oldest idle ones are closed without a reply. The extra clients send nothing,
  // so none of them frees a place for another while they are counted.
  std::vector<std::unique_ptr<LoopbackClient>> more;
  for (int i = 0; i < 60; ++i) {
    more.push_back(std::make_unique<LoopbackClient>(app.port()));
  }
  std::vector<pollfd> waits;
  for (auto& client : idle) {
    waits.push_back(pollfd{client->fd(), POLLIN, 0});
  }
  int closed = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (closed < 10 && std::chrono::steady_clock::now() < deadline) {
    if (::poll(waits.data(), waits.size(), 200) <= 0) {
      continue;
    }
    for (pollfd& w : waits) {
      if (w.fd >= 0 && (w.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char byte;
        EXPECT_LE(::recv(w.fd, &byte, 1, 0), 0) << "a closed idle connection got data";
        ++closed;
        w.fd = -1;  // poll skips it from now on
      }
    }
  }
  EXPECT_GE(closed, 10);
  // The connections that kept their slots are served, the newest as well.
  for (LoopbackClient* client : {idle.back().get(), more.back().get()}) {
    client->Send("GET /$/ping HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    const std::vector<ParsedResponse> served = ParseResponses(client->ReadToClose());
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0].body, "Pong");
  }
  idle.clear();
  more.clear();
  app.ExpectBaseline();
}

TEST(Resilience, MalformedAndSmuggledRequests) {
  AppFolder folder;
  Running app("MaxBodyBytes=100000\nMaxFormBytes=1000\n", folder);
  ASSERT_NE(app.port(), 0);
  using namespace std::string_literals;
  const std::string next = "GET /$/ping HTTP/1.1\r\nHost: h\r\n\r\n";
  std::string many_lines;  // 80 KB of header in lines of 4 KB
  for (int i = 0; i < 20; ++i) {
    many_lines += "X-" + std::to_string(i) + ": " + std::string(4000, 'y') + "\r\n";
  }
  struct Case {
    std::string name;
    std::string raw;
    int status;  // of the only reply: the request after it is never served
  };
  const Case kCases[] = {
      {"length beside chunked",
       "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Length: 40\r\nTransfer-Encoding: chunked\r\n"
       "\r\n0\r\n\r\n",
       400},
      {"two lengths",
       "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
      {"unknown coding", "POST /$/ping HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\n\r\n",
       400},
      {"bad chunk size",
       "POST /$/ping HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400},
      {"NUL", "GET /$/ping HTTP/1.1\r\nHost: h\r\nX: a\0b\r\n\r\n"s, 400},
      {"bare CR", "GET /$/ping HTTP/1.1\r\nHost: h\r\nX: a\rb\r\n\r\n", 400},
      {"control character", "GET /$/ping\x01 HTTP/1.1\r\nHost: h\r\n\r\n", 400},
      {"folded line", "GET /$/ping HTTP/1.1\r\nHost: h\r\nX: a\r\n b\r\n\r\n", 400},
      {"no host", "GET /$/ping HTTP/1.1\r\n\r\n", 400},
      {"header too large", "GET /$/ping HTTP/1.1\r\nHost: h\r\n" + many_lines + "\r\n", 431},
      {"body over the cap",
       "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Length: 100001\r\n\r\n" +
           std::string(100001, 'b'),
       413},
      {"form over the cap",
       "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 1001\r\n\r\na=" +
           std::string(999, 'f'),
       413},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    LoopbackClient client(app.port());
    client.Send(c.raw + next);
    const std::string reply = client.ReadToClose();
    const std::vector<ParsedResponse> r = ParseResponses(reply);
    ASSERT_EQ(r.size(), 1u) << reply.substr(0, 300);
    EXPECT_EQ(r[0].status(), c.status);
    EXPECT_EQ(r[0].header("Connection"), "close");
  }
  expect_pong(app.port());
  app.ExpectBaseline();
}

// A reply that closes the connection arrives whole and then the end of the stream, also when
// the client sends its next request with the first or while the reply is on its way; and the
// connection then goes away, once the client has closed or the linger time has passed.
TEST(Resilience, TheLastReplyArrivesWholeWhateverTheClientSendsBeyondIt) {
  AppFolder folder;
  const std::string file(size_t{6} << 20, 'f');
  write_file(folder.root() / "wwwroot" / "big.txt", file);
  Running app("CloseLingerMs=200\n", folder);
  ASSERT_NE(app.port(), 0);
  const std::string ping = "GET /$/ping HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  const std::string big = "GET /big.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  const std::string next = "GET /$/ping HTTP/1.1\r\nHost: h\r\n\r\n";
  struct Case {
    std::string name;
    std::string raw;
    std::string once_the_reply_comes;
    std::string body;
    bool client_keeps_its_end;  // the client neither sends nor closes after the reply
  };
  const Case kCases[] = {
      {"ping", ping, "", "Pong", false},
      {"ping, the next request with it", ping + next, "", "Pong", false},
      {"ping, the next request with it, the client keeps its end", ping + next, "", "Pong", true},
      {"big file", big, "", file, false},
      {"big file, the next request while it arrives", big, next, file, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto client = std::make_unique<LoopbackClient>(app.port());
    client->Send(c.raw);
    std::string reply;
    if (!c.once_the_reply_comes.empty()) {
      client->ReadSomeInto(reply);
      client->Send(c.once_the_reply_comes);
    }
    bool orderly = false;
    reply += client->ReadToClose(&orderly);
    std::string rest;
    const std::vector<ParsedResponse> r = ParseResponses(reply, &rest);
    ASSERT_EQ(r.size(), 1u) << reply.size() << " bytes: " << reply.substr(0, 300);
    EXPECT_EQ(r[0].status(), 200);
    EXPECT_TRUE(r[0].body == c.body) << r[0].body.size() << " bytes of " << c.body.size();
    EXPECT_EQ(rest, "");
    EXPECT_TRUE(orderly) << "the connection was reset";
    if (!c.client_keeps_its_end) {
      client.reset();
    }
    app.ExpectBaseline();
  }
}

TEST(Resilience, NoSessionBeyondTheCap) {
  AppFolder folder;
  Running app("MaxSessions=2\n", folder);
  ASSERT_NE(app.port(), 0);
  Client first(app.port());
  Client second(app.port());
  first.Call("Time", "");
  second.Call("Time", "");
  ASSERT_FALSE(first.cookie().empty());
  Client third(app.port());
  const ParsedResponse refused = third.Call("Time", "");
  EXPECT_EQ(refused.status(), 503);
  EXPECT_EQ(refused.body, "The server is busy: too many sessions. Try again later.");
  EXPECT_TRUE(third.cookie().empty());
  EXPECT_EQ(first.Call("Add", R"({"A":1,"B":2})").body,
            envelope("Add", R"({"A":1,"B":2})", R"({"Result":3,"Info":""})"));
}

// A client that resets its connection halfway leaves nothing behind in the program, and a
// session it used is free for the next request.
TEST(Resilience, ResetsLeaveNothingBehind) {
  AppFolder folder;
  exec_sql(folder.database(),
           "CREATE TABLE big (ID INTEGER PRIMARY KEY, Name VARCHAR(255));"
           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)"
           " INSERT INTO big SELECT i, printf('%0200d', i) FROM n;");
  Running app("", folder);
  ASSERT_NE(app.port(), 0);
  Client session(app.port());
  session.Call("Time", "");
  ASSERT_FALSE(session.cookie().empty());
  // The session's database connection stays open with the session: part of the baseline.
  const std::string small_page = R"({"PageNo":1,"PageSize":1,"TableName":"big"})";
  ASSERT_EQ(session.Call("FetchData", small_page).status(), 200);
  app.Rebaseline();
  const std::string big_page = app_service_request(
      session.cookie(), "FetchData", R"({"PageNo":1,"PageSize":10000,"TableName":"big"})");
  struct Case {
    std::string name;
    std::string sent;
    size_t read_before_reset;  // bytes of the reply read first
    int copies;                // connections at once
  };
  const Case kCases[] = {
      {"mid-body",
       "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Length: 500000\r\n\r\n" +
           std::string(200000, 'b'),
       0, 1},
      {"mid-reply", big_page, 1000, 1},
      {"waiting for its session", big_page, 0, 4},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < c.copies; ++i) {
      clients.push_back(std::make_unique<LoopbackClient>(app.port()));
      clients.back()->Send(c.sent);
    }
    if (c.read_before_reset > 0) {
      std::string got;
      char buf[4096];
      while (got.size() < c.read_before_reset) {
        const ssize_t n = ::recv(clients[0]->fd(), buf, sizeof buf, 0);
        if (n <= 0) {
          break;
        }
        got.append(buf, static_cast<size_t>(n));
      }
      EXPECT_GE(got.size(), c.read_before_reset);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (auto& client : clients) {
      client->Reset();
    }
    // The session is not left locked: its next call is served.
    EXPECT_EQ(session.Call("Add", R"({"A":2,"B":2})").body,
              envelope("Add", R"({"A":2,"B":2})", R"({"Result":4,"Info":""})"));
    app.ExpectBaseline();
  }
}

// A private mount namespace with a small tmpfs as the program's temporary folder.
class SmallTempFolder {
 public:
  explicit SmallTempFolder(const fs::path& folder) : folder_(folder) {
    if (::unshare(CLONE_NEWNS) != 0) {
      error_ = std::string("unshare: ") + std::strerror(errno);
      return;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0) {
      error_ = std::string("mount: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~SmallTempFolder() {
    if (mounted_) {
      ::umount2(folder_.c_str(), MNT_DETACH);
    }
  }
  SmallTempFolder(const SmallTempFolder&) = delete;
  SmallTempFolder& operator=(const SmallTempFolder&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  // Fills the folder up to `room` free bytes.
  void LeaveRoom(uint64_t room) {
    struct statvfs fsinfo {};
    ASSERT_EQ(::statvfs(folder_.c_str(), &fsinfo), 0);
    const uint64_t free_bytes = static_cast<uint64_t>(fsinfo.f_bavail) * fsinfo.f_frsize;
    ASSERT_GT(free_bytes, room);
    write_file(filler(), std::string(free_bytes - room, 'f'));
  }
  fs::path filler() const { return folder_ / "filler"; }

 private:
  fs::path folder_;
  bool mounted_ = false;
  std::string error_;
};

TEST(Resilience, AFullTemporaryFolderFailsOnlyTheRequestThatNeedsIt) {
  AppFolder folder;
  SmallTempFolder small(folder.temp());
  if (!small.mounted()) {
    GTEST_SKIP() << "mounting a small tmpfs is not permitted here (" << small.error() << ")";
  }
  Running app("", folder);
  ASSERT_NE(app.port(), 0);
  small.LeaveRoom(64 * 1024);
  const std::string upload =
      "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: 300000\r\nConnection: close\r\n\r\n" +
      std::string(300000, 'u');
  const auto send_upload = [&] {
    LoopbackClient client(app.port());
    client.Send(upload);
    const std::vector<ParsedResponse> r = ParseResponses(client.ReadToClose());
    return r.empty() ? 0 : r[0].status();
  };
  const int refused = send_upload();
  EXPECT_TRUE(refused == 500 || refused == 413) << refused;
  expect_pong(app.port());
  fs::remove(small.filler());
  app.ExpectBaseline();  // no partial file
  EXPECT_EQ(send_upload(), 200);
  app.ExpectBaseline();
}

// 50 sessions saving at once, then saving on while the program is killed: what was answered
// as saved is there after a restart, every save is whole or absent, the file is sound.
TEST(Resilience, ConcurrentSavesSurviveAKill) {
  AppFolder folder;
  exec_sql(folder.database(), "CREATE TABLE items (ID INTEGER PRIMARY KEY, Name VARCHAR(20));");
  constexpr int kSessions = 50;
  constexpr int kRowsPerSave = 3;
  // Every session is of one address: its share of the server is not what is tested here.
  write_file(folder.root() / "port.ini",
             "[PORTS]\nPort=0\n[LIMITS]\nNewSessionsPerClientPerMinute=0\n"
             "MaxDatabaseRequestsPerClient=0\n");
  auto server = std::make_unique<Server>(folder);
  ASSERT_NE(server->port(), 0);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kSessions; ++i) {
    clients.push_back(std::make_unique<Client>(server->port()));
    clients.back()->Call("Time", "");
    ASSERT_FALSE(clients.back()->cookie().empty());
  }
  const auto first_id = [](int session, int n) { return 1 + (session * 1000 + n) * kRowsPerSave; };
  const uint16_t port = server->port();
  const auto save = [&](int session, int n) {
    std::string rows;
    for (int k = 0; k < kRowsPerSave; ++k) {
      rows += "<z:row ID='" + std::to_string(first_id(session, n) + k) + "' Name='s'/>";
    }
    const std::vector<ParsedResponse> r = ParseResponses(ExchangeUntilClose(
        port, app_service_request(
                  clients[static_cast<size_t>(session)]->cookie(), "SaveData",
                  R"({"TableName":"items","KeyFields":"ID","Changes":"<rs:data><rs:insert>)" +
                      rows + R"(</rs:insert></rs:data>"})")));
    return r.empty() ? ParsedResponse{} : r[0];
  };
  // Per session: the saves answered as done (each thread writes only its own entry) and the
  // first answer that was neither success nor a connection the killed program dropped.
  std::vector<int> done(kSessions, 0);
  std::vector<std::string> failures(kSessions);
  std::atomic<bool> stop{false};
  const auto run = [&](int saves_each) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; ++i) {
      threads.emplace_back([&, i, saves_each] {
        const auto at = static_cast<size_t>(i);
        for (int left = saves_each; left > 0 && !stop; --left) {
          const ParsedResponse r = save(i, done[at]);
          if (r.status_line.empty()) {
            return;  // the program is gone
          }
          if (r.status() != 200 || r.body.find("Result={\"Info\":") == std::string::npos) {
            failures[at] = r.status_line + " " + r.body.substr(0, 300);
            return;
          }
          ++done[at];
        }
      });
    }
    return threads;
  };
  for (std::thread& t : run(1)) {
    t.join();
  }
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_EQ(failures[static_cast<size_t>(i)], "") << "session " << i;
    EXPECT_EQ(done[static_cast<size_t>(i)], 1) << "session " << i;
  }
  EXPECT_EQ(query_text(folder.database(), "SELECT count(*) FROM items"),
            std::to_string(kSessions * kRowsPerSave) + "\n");

  std::vector<std::thread> savers = run(999);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  server->process().Signal(SIGKILL);
  server->process().Wait(seconds(20));
  stop = true;
  for (std::thread& t : savers) {
    t.join();
  }
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_EQ(failures[static_cast<size_t>(i)], "") << "session " << i;
  }
  Server restarted(folder);
  ASSERT_NE(restarted.port(), 0);
  EXPECT_EQ(query_text(folder.database(), "PRAGMA integrity_check"), "ok\n");
  int total = 0;
  for (int i = 0; i < kSessions; ++i) {
    total += done[static_cast<size_t>(i)];
    for (int n = 0; n <= done[static_cast<size_t>(i)]; ++n) {
      const std::string count =
          query_text(folder.database(), "SELECT count(*) FROM items WHERE ID BETWEEN " +
                                            std::to_string(first_id(i, n)) + " AND " +
                                            std::to_string(first_id(i, n) + kRowsPerSave - 1));
      if (n < done[static_cast<size_t>(i)]) {
        EXPECT_EQ(count, std::to_string(kRowsPerSave) + "\n") << "session " << i << " save " << n;
      } else {  // the save in flight at the kill: whole or absent
        EXPECT_TRUE(count == "0\n" || count == std::to_string(kRowsPerSave) + "\n") << count;
      }
    }
  }
  EXPECT_GT(total, kSessions);  // saves went on until the kill
  EXPECT_EQ(restarted.Stop(), 0);
}

}  // namespace
}  // namespace appsrv::testing
