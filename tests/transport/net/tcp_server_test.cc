#include "transport/net/tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/metrics.h"
#include "tests/support/descriptor_exhaustion.h"
#include "tests/transport/raw_socket_client.h"
#include "transport/net/memory_channel.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

using testing::kPatienceMs;
using testing::RawSocketClient;

// Counts events from connection threads; the test waits for a count with a bound.
class Counter {
 public:
  void add() {
    std::scoped_lock lock(mu_);
    ++count_;
    changed_.notify_all();
  }
  bool wait_for(int n) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kPatienceMs),
                             [&] { return count_ >= n; });
  }
  int count() {
    std::scoped_lock lock(mu_);
    return count_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  int count_ = 0;  // guarded by mu_
};

// A server on 127.0.0.1 and a free port that echoes lines until the peer closes.
class EchoServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Bindings().Add().FIP = "127.0.0.1";
    server_.OnConnect = [this](TInContext& context) {
      {
        std::scoped_lock lock(mu_);
        peers_.push_back(context.PeerIP() + " -> " + std::to_string(context.LocalPort()));
      }
      connects_.add();
    };
    server_.OnDisconnect = [this](TInContext&) { disconnects_.add(); };
    server_.OnExecute = [](TInContext& context) {
      const std::string line = context.IOHandler().ReadLn();
      context.IOHandler().WriteLn("echo " + line);
    };
    server_.OnException = [this](TInContext&, const std::exception& e) {
      {
        std::scoped_lock lock(mu_);
        errors_.push_back(e.what());
      }
      exceptions_.add();
    };
  }
  void TearDown() override { server_.SetActive(false); }

  uint16_t port() { return server_.Bindings()[0].FPort; }

  TInCustomTCPServer server_;
  Counter connects_;
  Counter disconnects_;
  Counter exceptions_;
  std::mutex mu_;
  std::vector<std::string> peers_;   // guarded by mu_
  std::vector<std::string> errors_;  // guarded by mu_
};

TEST_F(EchoServerTest, ServesEveryConnectionUntilThePeerCloses) {
  server_.SetActive(true);
  ASSERT_NE(port(), 0);
  std::vector<std::unique_ptr<RawSocketClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<RawSocketClient>(port()));
    ASSERT_TRUE(clients.back()->connected());
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    clients[i]->send("a" + std::to_string(i) + "\r\nb\n");
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    EXPECT_EQ(clients[i]->read_some(15), "echo a" + std::to_string(i) + "\r\necho b\r\n");
    ::shutdown(clients[i]->fd(), SHUT_WR);
    bool closed = false;
    EXPECT_EQ(clients[i]->read_to_end(&closed), "");
    EXPECT_TRUE(closed);
  }
  ASSERT_TRUE(disconnects_.wait_for(3));
  EXPECT_EQ(connects_.count(), 3);
  std::scoped_lock lock(mu_);
  EXPECT_EQ(peers_[0], "127.0.0.1 -> " + std::to_string(port()));
  for (const std::string& e : errors_) {
    EXPECT_EQ(e, "Connection Closed Gracefully.");
  }
}

TEST_F(EchoServerTest, StartingOnAPortInUseFailsAndWorksOnceItIsFree) {
  TInSocketHandle blocker;
  blocker.FIP = "127.0.0.1";
  blocker.AllocateSocket();
  blocker.Bind();
  blocker.Listen(1);
  server_.Bindings()[0].FPort = blocker.FPort;
  EXPECT_THROW(server_.SetActive(true), EInCouldNotBindSocket);
  EXPECT_FALSE(server_.Active());
  EXPECT_FALSE(server_.Bindings()[0].HandleAllocated());

  blocker.CloseSocket();
  server_.SetActive(true);
  EXPECT_TRUE(server_.Active());
  RawSocketClient client(blocker.FPort);
  client.send("x\n");
  EXPECT_EQ(client.read_some(8), "echo x\r\n");
}

TEST_F(EchoServerTest, StopClosesOpenConnectionsAndWaitsForTheirThreads) {
  server_.SetActive(true);
  std::vector<std::unique_ptr<RawSocketClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<RawSocketClient>(port()));
    clients.back()->send("half a line");
  }
  ASSERT_TRUE(connects_.wait_for(3));
  server_.SetActive(false);
  EXPECT_EQ(server_.ContextCount(), 0u);
  EXPECT_EQ(disconnects_.count(), 3);  // every thread ran to its end before the stop returned
  for (auto& client : clients) {
    bool closed = false;
    EXPECT_EQ(client->read_to_end(&closed), "");
    EXPECT_TRUE(closed);
  }
}

TEST_F(EchoServerTest, RestartListensOnTheSameBindings) {
  server_.SetActive(true);
  const uint16_t first_port = port();
  server_.SetActive(false);
  server_.SetActive(true);
  EXPECT_EQ(port(), first_port);
  RawSocketClient client(first_port);
  client.send("again\n");
  EXPECT_EQ(client.read_some(12), "echo again\r\n");
}

TEST_F(EchoServerTest, ConnectionsOverTheLimitAreClosedWithoutData) {
  server_.SetMaxConnections(1);
  server_.SetActive(true);
  RawSocketClient first(port());
  ASSERT_TRUE(connects_.wait_for(1));
  RawSocketClient second(port());
  ASSERT_TRUE(second.connected());
  second.send("ignored\n");
  bool closed = false;
  EXPECT_EQ(second.read_to_end(&closed), "");
  EXPECT_TRUE(closed);
  first.send("still here\n");
  EXPECT_EQ(first.read_some(17), "echo still here\r\n");
  EXPECT_EQ(connects_.count(), 1);
}

// One client holds MaxConnectionsPerClient connections at most, counted from accept: one more
// is closed without data while the others are served; each ending connection, however it ends,
// gives its place back.
TEST_F(EchoServerTest, OneClientHoldsItsCapAtMost) {
  std::vector<std::string> notes;
  server_.log_line = [&](std::string_view line) {
    std::scoped_lock lock(mu_);
    notes.emplace_back(line);
  };
  const uint64_t refused_before = base::metrics().connections_refused_per_client.value();
  server_.SetMaxConnectionsPerClient(2);
  server_.SetActive(true);
  std::vector<std::unique_ptr<RawSocketClient>> held;
  for (int i = 0; i < 2; ++i) {
    held.push_back(std::make_unique<RawSocketClient>(port()));
  }
  ASSERT_TRUE(connects_.wait_for(2));
  EXPECT_EQ(server_.ClientConnectionCount("127.0.0.1"), 2);
  RawSocketClient over(port());
  over.send("ignored\n");
  bool closed = false;
  EXPECT_EQ(over.read_to_end(&closed), "");
  EXPECT_TRUE(closed);
  held[1]->send("still here\n");
  EXPECT_EQ(held[1]->read_some(17), "echo still here\r\n");
  EXPECT_EQ(base::metrics().connections_refused_per_client.value(), refused_before + 1);
  {
    std::scoped_lock lock(mu_);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("127.0.0.1 holds 2 connections (MaxConnectionsPerClient)"),
              std::string::npos)
        << notes[0];
  }
  // One ends by a reset, one by a plain close.
  const linger reset{1, 0};
  ::setsockopt(held[0]->fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  held.clear();
  ASSERT_TRUE(disconnects_.wait_for(2));
  for (int i = 0; i < 400 && server_.ContextCount() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(server_.ClientConnectionCount("127.0.0.1"), 0);
  RawSocketClient again(port());
  again.send("again\n");
  EXPECT_EQ(again.read_some(12), "echo again\r\n");
  EXPECT_EQ(connects_.count(), 3);
}

// With every slot taken and slot recovery on, a new connection takes the place of the
// connection that waits and has sent the least for its time; a connection that holds its slot
// (being served) is never closed for it, and with none waiting the newcomer is closed.
TEST_F(EchoServerTest, SlotRecoveryClosesTheWaitingConnectionThatSentTheLeast) {
  server_.OnExecute = [](TInContext& context) {
    const std::string line = context.IOHandler().ReadLn();
    if (line == "busy" && !context.Claim().Hold()) {
      return;
    }
    context.IOHandler().WriteLn("echo " + line);
  };
  const std::string kLongLine(1000, 'x');
  struct Case {
    const char* name;
    int32_t rate;              // bytes a second that earn a second
    std::string sends[2];      // by the two connections that take the two slots, in turn
    int closed;                // which of them the newcomer replaces; -1: the newcomer is closed
  };
  const Case kCases[] = {
      {"the older of two silent ones", 0, {"", ""}, 0},
      {"a silent one before an older one that sent more", 100, {kLongLine, ""}, 1},
      {"a waiting one, never one being served", 0, {"busy", ""}, 1},
      {"none waits", 0, {"busy", "busy"}, -1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    server_.SetMaxConnections(2);
    server_.SetSlotRecovery(true, c.rate);
    server_.SetActive(true);
    const int connects_before = connects_.count();
    std::vector<std::unique_ptr<RawSocketClient>> clients;
    for (int i = 0; i < 2; ++i) {
      clients.push_back(std::make_unique<RawSocketClient>(port()));
      ASSERT_TRUE(connects_.wait_for(connects_before + i + 1));
      if (!c.sends[i].empty()) {
        clients[i]->send(c.sends[i] + "\n");
        const std::string echo = "echo " + c.sends[i] + "\r\n";
        EXPECT_EQ(clients[i]->read_some(echo.size()), echo);
      }
    }
    RawSocketClient newcomer(port());
    newcomer.send("new\n");
    bool closed = false;
    if (c.closed < 0) {
      EXPECT_EQ(newcomer.read_to_end(&closed), "");
      EXPECT_TRUE(closed);
    } else {
      EXPECT_EQ(newcomer.read_some(10), "echo new\r\n");
      EXPECT_EQ(clients[static_cast<size_t>(c.closed)]->read_to_end(&closed), "");
      EXPECT_TRUE(closed);
    }
    // The others are still served.
    for (int i = 0; i < 2; ++i) {
      if (i != c.closed) {
        clients[static_cast<size_t>(i)]->send("more\n");
        EXPECT_EQ(clients[static_cast<size_t>(i)]->read_some(11), "echo more\r\n") << i;
      }
    }
    server_.SetActive(false);
  }
}

// Out of descriptors, a new connection is answered 503 and closed at once instead of waiting
// unaccepted (with the listener spinning on it); once descriptors are free it is served again.
TEST_F(EchoServerTest, OutOfDescriptorsNewConnectionsGet503UntilSomeAreFree) {
  std::vector<std::string> notes;
  server_.log_line = [&](std::string_view line) {
    std::scoped_lock lock(mu_);
    notes.emplace_back(line);
  };
  server_.SetActive(true);
  const uint16_t listening = port();
  std::string replies[2];
  {
    // The clients' sockets exist before descriptors run out; connecting needs none.
    const int fds[2] = {::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0),
                        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    ::appsrv::testing::DescriptorExhaustion exhausted;
    for (int i = 0; i < 2; ++i) {
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(listening);
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(::connect(fds[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
      (void)::send(fds[i], "hello\n", 6, MSG_NOSIGNAL);
      char buf[512];
      pollfd p{fds[i], POLLIN, 0};
      while (::poll(&p, 1, kPatienceMs) > 0) {
        const ssize_t n = ::recv(fds[i], buf, sizeof buf, 0);
        if (n <= 0) {
          break;
        }
        replies[i].append(buf, static_cast<size_t>(n));
      }
    }
    // Closed only now: a freed descriptor would let the next connection in.
    ::close(fds[0]);
    ::close(fds[1]);
  }
  for (const std::string& reply : replies) {
    EXPECT_EQ(reply, kOutOfDescriptorsReply);
  }
  EXPECT_EQ(connects_.count(), 0);
  RawSocketClient client(port());
  client.send("back\n");
  EXPECT_EQ(client.read_some(11), "echo back\r\n");
  std::scoped_lock lock(mu_);
  ASSERT_EQ(notes.size(), 1u);  // one note a minute, however many connections were refused
  EXPECT_NE(notes[0].find("out of file descriptors"), std::string::npos) << notes[0];
}

// A shortage handler that frees descriptors lets the waiting connection in to be served.
TEST_F(EchoServerTest, OutOfDescriptorsTheShortageHandlerMayFreeSomeForTheConnection) {
  ::appsrv::testing::DescriptorExhaustion* exhausted = nullptr;
  std::atomic<int> calls{0};
  server_.OnDescriptorShortage = [&] {
    ++calls;
    exhausted->Free(4);
    return true;
  };
  server_.SetActive(true);
  const uint16_t listening = port();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string reply;
  {
    ::appsrv::testing::DescriptorExhaustion exhaustion;
    exhausted = &exhaustion;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(listening);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    (void)::send(fd, "in\n", 3, MSG_NOSIGNAL);
    char buf[64];
    pollfd p{fd, POLLIN, 0};
    while (reply.size() < 9 && ::poll(&p, 1, kPatienceMs) > 0) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        break;
      }
      reply.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    ASSERT_TRUE(disconnects_.wait_for(1));
  }
  EXPECT_EQ(reply, "echo in\r\n");
  EXPECT_EQ(calls, 1);
}

TEST_F(EchoServerTest, AFailingConnectionEndsAloneAndWritesNothing) {
  server_.OnExecute = [](TInContext& context) {
    const std::string line = context.IOHandler().ReadLn();
    if (line == "fail") {
      throw std::runtime_error("boom");
    }
    context.IOHandler().WriteLn("ok");
  };
  server_.SetActive(true);
  RawSocketClient good(port());
  RawSocketClient bad(port());
  bad.send("fail\n");
  bool closed = false;
  EXPECT_EQ(bad.read_to_end(&closed), "");
  EXPECT_TRUE(closed);
  ASSERT_TRUE(exceptions_.wait_for(1));
  {
    std::scoped_lock lock(mu_);
    EXPECT_EQ(errors_[0], "boom");
  }
  good.send("fine\n");
  EXPECT_EQ(good.read_some(4), "ok\r\n");
}

TEST_F(EchoServerTest, AConnectionWhoseThreadCannotStartIsClosedAndLogged) {
  std::mutex log_mu;
  std::vector<std::string> logged;  // guarded by log_mu
  server_.log_line = [&](std::string_view line) {
    std::scoped_lock lock(log_mu);
    logged.emplace_back(line);
  };
  // No platform hands out a stack this large.
  server_.SetConnectionStackSize(size_t{1} << 50);
  server_.SetActive(true);
  {
    RawSocketClient refused(port());
    refused.send("x\n");
    bool closed = false;
    EXPECT_EQ(refused.read_to_end(&closed), "");
    EXPECT_TRUE(closed);
  }
  {
    std::scoped_lock lock(log_mu);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("Could not start a thread for the connection from 127.0.0.1:"),
              std::string::npos);
  }
  server_.SetActive(false);
  server_.SetConnectionStackSize(TInCustomTCPServer::kDefaultConnectionStackSize);
  server_.SetActive(true);
  RawSocketClient served(port());
  served.send("y\n");
  EXPECT_EQ(served.read_some(8), "echo y\r\n");
}

TEST_F(EchoServerTest, ConnectionThreadsRunOnTheConfiguredStack) {
  std::atomic<size_t> stack_size{0};
  server_.OnExecute = [&](TInContext& context) {
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    size_t size = 0;
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
    stack_size = size;
    context.IOHandler().ReadLn();
    context.IOHandler().WriteLn("done");
    // Served once: a second round would write to `stack_size` after the test has returned.
    context.Connection().Disconnect();
  };
  server_.SetActive(true);
  RawSocketClient client(port());
  client.send("go\n");
  EXPECT_EQ(client.read_some(6), "done\r\n");
  // The stack is the server's own; AddressSanitizer's runtime reports a page more for it.
  EXPECT_GE(stack_size.load(), TInCustomTCPServer::kDefaultConnectionStackSize);
  EXPECT_LE(stack_size.load(), TInCustomTCPServer::kDefaultConnectionStackSize + 4096);
}

// Connection threads run on stacks the server keeps between threads; a thread on a stack used
// before still starts with its own thread-local state, whether many threads ran at once (more
// than the server keeps stacks for) or one after another.
TEST_F(EchoServerTest, EveryConnectionThreadStartsFresh) {
  static thread_local int visits = 0;
  server_.OnExecute = [](TInContext& context) {
    const std::string line = context.IOHandler().ReadLn();
    context.IOHandler().WriteLn(line + " " + std::to_string(++visits));
  };
  // Room for every connection of a burst at once, so that none waits for a repeated SYN.
  server_.SetListenQueue(256);
  server_.SetActive(true);
  for (const size_t together :
       {TInCustomTCPServer::kKeptStacksBusy + 8, size_t{1}, size_t{1}, size_t{5}}) {
    SCOPED_TRACE(together);
    std::vector<std::unique_ptr<RawSocketClient>> clients;
    for (size_t i = 0; i < together; ++i) {
      clients.push_back(std::make_unique<RawSocketClient>(port()));
      ASSERT_TRUE(clients.back()->connected());
    }
    for (size_t i = 0; i < together; ++i) {
      clients[i]->send("c" + std::to_string(i % 10) + "\n");
    }
    for (size_t i = 0; i < together; ++i) {
      EXPECT_EQ(clients[i]->read_some(6), "c" + std::to_string(i % 10) + " 1\r\n");
    }
  }
  server_.SetActive(false);
  EXPECT_EQ(server_.ContextCount(), 0u);
}

// A burst of connections leaves its stacks kept for the next ones; once no connection has come
// for a while the server lets go of those beyond what it keeps at rest, also while connections
// are still open.
TEST_F(EchoServerTest, StacksKeptForABurstAreLetGoOfOnceIdle) {
  server_.SetListenQueue(256);
  server_.SetActive(true);
  const size_t burst = TInCustomTCPServer::kKeptStacksIdle + 8;
  std::vector<std::unique_ptr<RawSocketClient>> clients;
  for (size_t i = 0; i < burst; ++i) {
    clients.push_back(std::make_unique<RawSocketClient>(port()));
    clients.back()->send("x\n");
  }
  // Every connection is served at once, each on a thread and a stack of its own.
  for (auto& client : clients) {
    ASSERT_EQ(client->read_some(8), "echo x\r\n");
  }
  // All but one end.
  for (size_t i = 1; i < burst; ++i) {
    clients[i]->close();
  }
  ASSERT_TRUE(disconnects_.wait_for(static_cast<int>(burst - 1)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
  while (server_.KeptStackCount() != TInCustomTCPServer::kKeptStacksIdle &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(server_.KeptStackCount(), TInCustomTCPServer::kKeptStacksIdle);
  // The connection left open and the next ones are served as before.
  clients[0]->send("y\n");
  EXPECT_EQ(clients[0]->read_some(8), "echo y\r\n");
  RawSocketClient next(port());
  next.send("z\n");
  EXPECT_EQ(next.read_some(8), "echo z\r\n");
}

TEST(TcpServerTest, StartingWithoutBindingsListensOnTheDefaultPortForEachFamily) {
  TInCustomTCPServer server;
  server.SetActive(true);
  ASSERT_EQ(server.Bindings().Count(), TInStack::SupportsIPv6() ? 2u : 1u);
  EXPECT_EQ(server.Bindings()[0].FIPVersion, TInIPVersion::Id_IPv4);
  EXPECT_EQ(server.Bindings()[0].FIP, "0.0.0.0");
  RawSocketClient client(server.Bindings()[0].FPort);
  EXPECT_TRUE(client.connected());
  server.SetActive(false);
  EXPECT_FALSE(server.Active());
}

// On a binding to every address, each connection knows the address it came in on and the
// binding's port, and the peer's address.
TEST(TcpServerTest, ConnectionsOnABindingToEveryAddressKnowBothEnds) {
  TInCustomTCPServer server;
  server.Bindings().Add().FIP = "0.0.0.0";
  std::mutex mu;
  std::vector<std::string> seen;  // guarded by mu
  Counter served;
  server.OnExecute = [&](TInContext& context) {
    {
      std::scoped_lock lock(mu);
      seen.push_back(context.PeerIP() + " -> " + context.LocalIP() + ":" +
                     std::to_string(context.LocalPort()) + " " + context.Endpoints().local_ip);
    }
    context.Connection().Disconnect();
    served.add();
  };
  server.SetActive(true);
  const uint16_t port = server.Bindings()[0].FPort;
  // From and to addresses whose parts have one, two and three digits.
  const std::pair<const char*, const char*> kConnections[] = {{"127.0.0.1", "127.0.0.1"},
                                                              {"127.45.6.200", "127.0.0.2"}};
  for (const auto& [from, to] : kConnections) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &address.sin_addr);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << from;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, to, &address.sin_addr);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << to;
    ::close(fd);
  }
  ASSERT_TRUE(served.wait_for(static_cast<int>(std::size(kConnections))));
  server.SetActive(false);
  std::sort(seen.begin(), seen.end());
  const std::string p = std::to_string(port);
  EXPECT_EQ(seen, (std::vector<std::string>{"127.0.0.1 -> 127.0.0.1:" + p + " 127.0.0.1",
                                            "127.45.6.200 -> 127.0.0.2:" + p + " 127.0.0.2"}));
}

TEST(TcpServerTest, ServeConnectionRunsTheStepsOverAnyChannel) {
  TInCustomTCPServer server;
  std::vector<std::string> steps;
  server.OnConnect = [&](TInContext&) { steps.push_back("connect"); };
  server.OnExecute = [&](TInContext& context) {
    steps.push_back("execute " + context.IOHandler().ReadLn());
  };
  server.OnDisconnect = [&](TInContext&) { steps.push_back("disconnect"); };
  server.OnException = [&](TInContext&, const std::exception& e) {
    steps.push_back(std::string("exception ") + e.what());
  };
  auto [ours, theirs] = make_memory_channel_pair();
  theirs->Send("one\ntwo\n", 8);
  theirs->Close();
  server.ServeConnection(std::make_unique<TInIOHandler>(std::move(ours)));
  EXPECT_EQ(steps, (std::vector<std::string>{"connect", "execute one", "execute two",
                                             "disconnect",
                                             "exception Connection Closed Gracefully."}));
}

TEST(TcpServerTest, NothingOutlivesTheServer) {
  const int usages = TInStack::UsageCount();
  {
    TInCustomTCPServer server;
    server.Bindings().Add().FIP = "127.0.0.1";
    server.OnExecute = [](TInContext& context) { context.IOHandler().ReadLn(); };
    server.SetActive(true);
    RawSocketClient client(server.Bindings()[0].FPort);
    client.send("x\n");
    // Destroying an active server stops it and waits for the connection's thread.
  }
  EXPECT_EQ(TInStack::UsageCount(), usages);
}

}  // namespace
}  // namespace appsrv::transport
