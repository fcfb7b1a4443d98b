#include "transport/net/socket_handle.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "tests/transport/raw_socket_client.h"
#include "transport/net/socket_errors.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

using testing::RawSocketClient;

// A listening handle on 127.0.0.1 and a port the platform chose.
void listen_on_loopback(TInSocketHandle& handle) {
  handle.FIP = "127.0.0.1";
  handle.FPort = 0;
  handle.AllocateSocket();
  handle.Bind();
  handle.Listen(15);
}

TEST(SocketHandleTest, BindingPortZeroHoldsTheAssignedPort) {
  TInSocketHandle handle;
  listen_on_loopback(handle);
  EXPECT_NE(handle.FPort, 0);
  EXPECT_EQ(handle.FIP, "127.0.0.1");
  EXPECT_EQ(TInStack::GetSocketName(handle.Handle()).port, handle.FPort);
  EXPECT_EQ(handle.FSocketType, 1);
  EXPECT_TRUE(handle.FUseNagle);
  RawSocketClient client(handle.FPort);
  ASSERT_TRUE(client.connected());
}

TEST(SocketHandleTest, BindingAPortInUseFails) {
  TInSocketHandle first;
  listen_on_loopback(first);
  TInSocketHandle second;
  second.FIP = "127.0.0.1";
  second.FPort = first.FPort;
  second.AllocateSocket();
  try {
    second.Bind();
    FAIL();
  } catch (const EInCouldNotBindSocket& e) {
    EXPECT_EQ(std::string(e.what()), "Could not bind socket to 127.0.0.1:" +
                                         std::to_string(first.FPort) +
                                         ": Address already in use.");
  }
}

// The text names where the bind was tried and gives the system's reason, for each kind of
// address; an address this machine does not have fails as bind() would put it.
TEST(SocketHandleTest, BindFailuresNameTheAddressPortAndReason) {
  struct Case {
    std::string ip;
    TInIPVersion version;
    uint16_t port;
    int err;
    std::string text;
  };
  const Case cases[] = {
      {"127.0.0.1", TInIPVersion::Id_IPv4, 8080, EADDRINUSE,
       "Could not bind socket to 127.0.0.1:8080: Address already in use."},
      {"", TInIPVersion::Id_IPv4, 80, EACCES,
       "Could not bind socket to 0.0.0.0:80: Permission denied."},
      {"::1", TInIPVersion::Id_IPv6, 443, EADDRINUSE,
       "Could not bind socket to [::1]:443: Address already in use."},
      {"", TInIPVersion::Id_IPv6, 8443, EADDRNOTAVAIL,
       "Could not bind socket to [::]:8443: Cannot assign requested address."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BindFailureText(c.ip, c.version, c.port, c.err), c.text);
  }
  TInSocketHandle elsewhere;
  elsewhere.FIP = "not-an-address";
  elsewhere.FPort = 8080;
  elsewhere.AllocateSocket();
  try {
    elsewhere.Bind();
    FAIL();
  } catch (const EInCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket to not-an-address:8080: Cannot assign "
                           "requested address.");
  }
}

TEST(SocketHandleTest, AddressReuseNeverLetsTwoListenersSharePort) {
  for (TInReuseSocket reuse : {TInReuseSocket::rsOSDependent, TInReuseSocket::rsTrue}) {
    TInSocketHandle first;
    first.FReuseSocket = reuse;
    listen_on_loopback(first);
    TInSocketHandle second;
    second.FReuseSocket = reuse;
    second.FIP = "127.0.0.1";
    second.FPort = first.FPort;
    second.AllocateSocket();
    EXPECT_THROW(second.Bind(), EInCouldNotBindSocket);
  }
}

TEST(SocketHandleTest, AListenerBindsAgainWhileItsClosedConnectionsLinger) {
  TInSocketHandle listener;
  listen_on_loopback(listener);
  const uint16_t port = listener.FPort;
  {
    RawSocketClient client(port);
    TInSocketHandle accepted;
    ASSERT_TRUE(accepted.Accept(listener));
    accepted.CloseSocket();  // the server side closes first and keeps the TIME_WAIT
    client.read_to_end();
  }
  listener.CloseSocket();
  listener.AllocateSocket();
  listener.FPort = port;
  EXPECT_NO_THROW(listener.Bind());
}

TEST(SocketHandleTest, AcceptFillsBothEnds) {
  TInSocketHandle listener;
  listen_on_loopback(listener);
  RawSocketClient client(listener.FPort);
  TInSocketHandle accepted;
  ASSERT_TRUE(listener.Readable(testing::kPatienceMs));
  ASSERT_TRUE(accepted.Accept(listener));
  EXPECT_EQ(accepted.FIP, "127.0.0.1");
  EXPECT_EQ(accepted.FPort, listener.FPort);
  EXPECT_EQ(accepted.FPeerIP, "127.0.0.1");
  EXPECT_NE(accepted.FPeerPort, 0);
  client.send("ping");
  char buf[8];
  int error = 0;
  ASSERT_TRUE(accepted.Readable(testing::kPatienceMs));
  EXPECT_EQ(accepted.Receive(buf, sizeof(buf), error), 4);
}

int32_t send_timeout_ms(const TInSocketHandle& handle) {
  timeval tv{};
  socklen_t size = sizeof tv;
  EXPECT_EQ(::getsockopt(handle.Handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, &size), 0);
  return static_cast<int32_t>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

// An accepted socket starts with its listener's send time-out; tightening keeps a shorter one
// and replaces a longer one or none, also after the time-outs were set another way.
TEST(SocketHandleTest, SendTimeoutsAreInheritedAndTightened) {
  TInSocketHandle listener;
  listen_on_loopback(listener);
  listener.TightenSendTimeout(3000);
  RawSocketClient client(listener.FPort);
  TInSocketHandle accepted;
  ASSERT_TRUE(listener.Readable(testing::kPatienceMs));
  ASSERT_TRUE(accepted.Accept(listener));
  EXPECT_EQ(send_timeout_ms(accepted), 3000);
  accepted.TightenSendTimeout(5000);
  EXPECT_EQ(send_timeout_ms(accepted), 3000);
  accepted.TightenSendTimeout(2000);
  EXPECT_EQ(send_timeout_ms(accepted), 2000);
  accepted.SetTimeouts(0);
  EXPECT_EQ(send_timeout_ms(accepted), 0);
  accepted.TightenSendTimeout(4000);
  EXPECT_EQ(send_timeout_ms(accepted), 4000);
  accepted.SetTimeouts(9000);
  accepted.TightenSendTimeout(4000);
  EXPECT_EQ(send_timeout_ms(accepted), 4000);
}

TEST(SocketHandleTest, IPv6BindingsListenAndAccept) {
  if (!TInStack::SupportsIPv6()) {
    GTEST_SKIP() << "no IPv6 on this machine";
  }
  TInSocketHandle listener;
  listener.FIPVersion = TInIPVersion::Id_IPv6;
  listener.FIP = "::1";
  listener.AllocateSocket();
  try {
    listener.Bind();
  } catch (const EInCouldNotBindSocket&) {
    GTEST_SKIP() << "no IPv6 loopback address";
  }
  listener.Listen(15);
  RawSocketClient client(listener.FPort, true);
  ASSERT_TRUE(client.connected());
  TInSocketHandle accepted;
  ASSERT_TRUE(accepted.Accept(listener));
  EXPECT_EQ(accepted.FIPVersion, TInIPVersion::Id_IPv6);
  EXPECT_EQ(accepted.FPeerIP, "::1");
}

bool descriptor_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(SocketHandleTest, ClosingTwiceFromTwoThreadsReleasesTheDescriptorOnce) {
  for (int round = 0; round < 50; ++round) {
    TInSocketHandle handle;
    handle.AllocateSocket();
    const int fd = handle.Handle();
    std::thread other([&] { handle.CloseSocket(); });
    handle.CloseSocket();
    other.join();
    EXPECT_FALSE(handle.HandleAllocated());
    // The freed number goes to the next descriptor; a second release would close that one.
    const int victim = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    handle.CloseSocket();
    EXPECT_TRUE(descriptor_open(victim)) << "descriptor " << fd << " released twice";
    ::close(victim);
  }
}

TEST(SocketHandleTest, CloseWakesAThreadWaitingOnTheSocket) {
  TInSocketHandle listener;
  listen_on_loopback(listener);
  RawSocketClient client(listener.FPort);
  TInSocketHandle accepted;
  ASSERT_TRUE(accepted.Accept(listener));
  std::thread waiter([&] { accepted.Readable(-1); });
  accepted.CloseSocket();
  waiter.join();
  bool closed = false;
  client.read_to_end(&closed);
  EXPECT_TRUE(closed);
  int error = 0;
  char buf[4];
  EXPECT_EQ(accepted.Receive(buf, sizeof(buf), error), -1);
  EXPECT_EQ(error, kWSAESHUTDOWN);
}

TEST(SocketHandleTest, SendingToAPeerThatHasGoneIsAnErrorNotASignal) {
  TInSocketHandle listener;
  listen_on_loopback(listener);
  auto client = std::make_unique<RawSocketClient>(listener.FPort);
  TInSocketHandle accepted;
  ASSERT_TRUE(accepted.Accept(listener));
  client.reset();
  int error = 0;
  const std::string block(1024, 'x');
  for (int i = 0; i < 100000 && error == 0; ++i) {
    accepted.Send(block.data(), block.size(), error);
  }
  EXPECT_TRUE(is_connection_lost(error)) << error;
}

TEST(SocketHandleTest, StackUsageFollowsHandles) {
  const int before = TInStack::UsageCount();
  {
    TInSocketHandle a;
    TInSocketHandle b;
    EXPECT_EQ(TInStack::UsageCount(), before + 2);
  }
  EXPECT_EQ(TInStack::UsageCount(), before);
}

}  // namespace
}  // namespace appsrv::transport
