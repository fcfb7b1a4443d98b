#include "transport/net/socket_errors.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

TEST(SocketErrorsTest, ErrnoValuesMapOntoWindowsSocketsCodes) {
  struct Case {
    int err;
    int code;
  };
  constexpr Case kCases[] = {
      {ECONNABORTED, 10053}, {ECONNRESET, 10054}, {EPIPE, 10058},      {ESHUTDOWN, 10058},
      {EADDRINUSE, 10048},   {ENOTSOCK, 10038},   {ETIMEDOUT, 10060},  {ECONNREFUSED, 10061},
      {EINTR, 10004},        {EMFILE, 10024},     {EWOULDBLOCK, 10035}, {ENOTCONN, 10057},
      {EBADF, 10009},        {EINVAL, 10022},     {ENOTEMPTY, 10066},  {EIO, EIO},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(socket_error_from_errno(c.err), c.code);
  }
}

TEST(SocketErrorsTest, OnlyAbortResetAndShutdownCountAsALostConnection) {
  EXPECT_TRUE(is_connection_lost(10053));
  EXPECT_TRUE(is_connection_lost(10054));
  EXPECT_TRUE(is_connection_lost(10058));
  EXPECT_FALSE(is_connection_lost(10060));
  EXPECT_FALSE(is_connection_lost(10038));
}

TEST(SocketErrorsTest, RaisedErrorsCarryCodeAndText) {
  try {
    RaiseSocketError(10054);
    FAIL();
  } catch (const EInNotASocket&) {
    FAIL() << "10054 is not the non-socket error";
  } catch (const EInSocketError& e) {
    EXPECT_EQ(e.LastError(), 10054);
    EXPECT_STREQ(e.what(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
  try {
    RaiseSocketError(10038);
    FAIL();
  } catch (const EInNotASocket& e) {
    EXPECT_EQ(e.LastError(), 10038);
    EXPECT_STREQ(e.what(), "Socket Error # 10038\r\nSocket operation on non-socket.");
  }
  try {
    RaiseSocketError(12345);
    FAIL();
  } catch (const EInSocketError& e) {
    EXPECT_STREQ(e.what(), "Socket Error # 12345\r\n");
  }
  EXPECT_EQ(WSTranslateSocketErrorMsg(10066), "Directory not empty");
  EXPECT_EQ(WSTranslateSocketErrorMsg(11001), "Host not found.");
}

}  // namespace
}  // namespace appsrv::transport
