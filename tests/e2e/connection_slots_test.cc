// The program's connection slots under clients that hold many of them: one address holds at
// most MaxConnectionsPerClient, and with every slot taken a new connection takes the place of
// one that waits for a request, so a prompt client is served.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/app_folder.h"
#include "tests/support/http_client.h"

namespace appsrv::testing {
namespace {

using transport::testing::LoopbackClient;
using transport::testing::ParseResponses;
using Clients = std::vector<std::unique_ptr<LoopbackClient>>;

const std::string kPing = "GET /$/ping HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
// A head that never ends, as a slow client keeps it.
const std::string kPartialHead = "GET /$/ping HTTP/1.1\r\nHost: h\r\nX-Slow: ";
// Deadlines far beyond the case, so that no slot frees itself meanwhile.
const std::string kLongDeadlines =
    "HeaderTimeoutMs=120000\nHeaderMaxTimeoutMs=120000\nKeepAliveIdleTimeoutMs=120000\n"
    "BodyIdleTimeoutMs=120000\nBodyRateGraceMs=120000\n";

// The indices of the clients the program closes, waiting until `enough` have closed or
// `patience` is over. A closed client must have had no reply.
std::vector<size_t> closed_among(const Clients& clients, size_t enough,
                                 std::chrono::milliseconds patience) {
  std::vector<pollfd> waits;
  for (const auto& client : clients) {
    waits.push_back(pollfd{client->fd(), POLLIN, 0});
  }
  std::vector<size_t> closed;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (closed.size() < enough && std::chrono::steady_clock::now() < deadline) {
    if (::poll(waits.data(), waits.size(), 100) <= 0) {
      continue;
    }
    for (size_t i = 0; i < waits.size(); ++i) {
      if (waits[i].fd >= 0 && (waits[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char byte;
        EXPECT_LE(::recv(waits[i].fd, &byte, 1, 0), 0) << "client " << i << " got a reply";
        closed.push_back(i);
        waits[i].fd = -1;  // poll skips it from now on
      }
    }
  }
  return closed;
}

void expect_pong(LoopbackClient& client, const std::string& request) {
  client.Send(request);
  const std::vector<ParsedResponse> r = ParseResponses(client.ReadToClose());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r[0].body, "Pong");
}

// Waits (bounded) until the program runs `count` threads or fewer (`at_least`: or more).
void settle_threads(pid_t pid, int count, bool at_least) {
  for (int i = 0; i < 600; ++i) {
    const int now = ThreadsOf(pid);
    if (at_least ? now >= count : now <= count) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "the program runs " << ThreadsOf(pid) << " threads, not "
                << (at_least ? "at least " : "at most ") << count;
}

// 600 slow connections from 127.0.0.1, which is no trusted proxy here: it keeps 100, the
// others are closed at once, while a client from 127.0.0.2 is served. Without the per-client
// cap the slow client would take all 500 slots.
TEST(ConnectionSlots, OneAddressHoldsItsCapAndAnotherIsServed) {
  if (!EnsureDescriptors(1024)) {
    GTEST_SKIP() << "the descriptor limit is too low for the case";
  }
  AppFolder folder;
  write_file(folder.root() / "port.ini",
             "[PORTS]\nPort=0\n[LIMITS]\nMaxConnections=500\nMaxConnectionsPerClient=100\n" +
                 kLongDeadlines + "[SECURITY]\nTrustedProxies=\n");
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  {
    LoopbackClient first(server.port());
    expect_pong(first, kPing);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int threads_before = ThreadsOf(server.process().pid());

  Clients slow;
  for (int i = 0; i < 600; ++i) {
    slow.push_back(std::make_unique<LoopbackClient>(server.port()));
    slow.back()->Send(kPartialHead);
  }
  const std::vector<size_t> closed = closed_among(slow, 500, std::chrono::seconds(60));
  EXPECT_EQ(closed.size(), 500u);
  // Accepted in the order they connected: the first 100 kept their slots.
  for (size_t i : closed) {
    EXPECT_GE(i, 100u);
  }
  LoopbackClient other(server.port(), "127.0.0.1", "127.0.0.2");
  expect_pong(other, kPing);
  // The slow client's own connections are still served.
  expect_pong(*slow.front(), "\r\n\r\n");

  slow.clear();
  settle_threads(server.process().pid(), threads_before, /*at_least=*/false);
  const ParsedResponse metrics = Get(server.port(), "/$/metrics");
  EXPECT_NE(metrics.body.find("\nappsrv_connections_refused_per_client_total 500\n"),
            std::string::npos)
      << metrics.body;
  EXPECT_EQ(server.Stop(), 0);
}

// Every slot taken by connections from other addresses: a client that sends its request at
// once is served in the place of one that waits for its request, never of one whose request is
// under way; with every connection's request under way the new one is closed.
TEST(ConnectionSlots, WithEverySlotTakenAPromptClientTakesTheSlotOfOneThatWaits) {
  constexpr int kSlots = 50;
  if (!EnsureDescriptors(512)) {
    GTEST_SKIP() << "the descriptor limit is too low for the case";
  }
  AppFolder folder;
  // Keep-alive on, so that a connection can wait idle after its reply.
  write_file(folder.root() / "port.ini",
             "[PORTS]\nPort=0\n[HTTP]\nKeepAlive=1\n[LIMITS]\nMaxConnections=" +
                 std::to_string(kSlots) + "\n" + kLongDeadlines);
  Server server(folder, "true");
  ASSERT_NE(server.port(), 0);
  const pid_t pid = server.process().pid();
  {
    LoopbackClient first(server.port());
    expect_pong(first, kPing);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int threads_before = ThreadsOf(pid);

  struct Case {
    const char* name;
    std::string sent;  // by every connection that takes a slot
    bool replied;      // the connections get a reply first and wait for their next request
    bool served;       // the prompt client
  };
  const Case kCases[] = {
      {"partial heads", kPartialHead, false, true},
      {"silent connections", "", false, true},
      {"idle after a reply", "GET /$/ping HTTP/1.1\r\nHost: h\r\n\r\n", true, true},
      {"bodies under way", "POST /$/ping HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\nabc",
       false, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Clients slots;
    for (int i = 0; i < kSlots; ++i) {
      const std::string from = "127.0.0." + std::to_string(2 + i % 5);
      slots.push_back(std::make_unique<LoopbackClient>(server.port(), "127.0.0.1", from.c_str()));
      slots.back()->Send(c.sent);
      if (c.replied) {
        ASSERT_EQ(slots.back()->ReadResponses(1).size(), 1u);
      }
    }
    settle_threads(pid, threads_before + kSlots, /*at_least=*/true);
    LoopbackClient prompt(server.port());
    if (c.served) {
      expect_pong(prompt, kPing);
      // One, and only one, gave its slot.
      EXPECT_EQ(closed_among(slots, 2, std::chrono::seconds(3)).size(), 1u);
    } else {
      prompt.Send(kPing);
      EXPECT_EQ(prompt.ReadToClose(), "");
      EXPECT_EQ(closed_among(slots, 1, std::chrono::milliseconds(500)).size(), 0u);
    }
    slots.clear();
    settle_threads(pid, threads_before, /*at_least=*/false);
  }
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace appsrv::testing
