#include "transport/http/http_request_line.h"

#include <gtest/gtest.h>
#include <string>

namespace appsrv::transport {
namespace {

TEST(RequestLine, SplitsMethodTargetAndVersion) {
  struct Case {
    std::string_view line;
    std::string_view method, target, version;
    int major, minor;
  };
  constexpr Case kCases[] = {
      {"GET / HTTP/1.1", "GET", "/", "HTTP/1.1", 1, 1},
      {"post /a?b=c HTTP/1.0", "POST", "/a?b=c", "HTTP/1.0", 1, 0},
      {"GET /with blank HTTP/1.1", "GET", "/with blank", "HTTP/1.1", 1, 1},
      {"GET HTTP/1.1", "GET", "", "HTTP/1.1", 1, 1},
      {"GET / HTTP/2", "GET", "/", "HTTP/2", 2, -1},
      {"GET / HTTP/x.y", "GET", "/", "HTTP/x.y", -1, -1},
      {"GET / junk", "GET", "/", "junk", -1, -1},
      {"GET / ", "GET", "/", "", -1, -1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    const std::optional<RequestLine> r = parse_request_line(c.line);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->method, c.method);
    EXPECT_EQ(r->target, c.target);
    EXPECT_EQ(r->version, c.version);
    EXPECT_EQ(r->major, c.major);
    EXPECT_EQ(r->minor, c.minor);
  }
}

TEST(RequestLine, LineWithoutBlankIsRejected) {
  EXPECT_FALSE(parse_request_line("GET").has_value());
  EXPECT_FALSE(parse_request_line("").has_value());
}

TEST(RequestLine, CommandTableIgnoresCase) {
  EXPECT_EQ(CommandType("get"), hcGET);
  EXPECT_EQ(CommandType("HEAD"), hcHEAD);
  EXPECT_EQ(CommandType("Options"), hcOPTIONS);
  EXPECT_EQ(CommandType("PATCH"), hcUnknown);
  EXPECT_EQ(CommandType("UNKNOWN"), hcUnknown);
}

TEST(RequestLine, KeepAliveDecision) {
  struct Case {
    bool allowed;
    int major, minor;
    std::string_view connection;
    bool keep;
  };
  constexpr Case kCases[] = {
      {false, 1, 1, "", false},         {false, 1, 0, "keep-alive", false},
      {true, 1, 1, "", true},           {true, 1, 1, "Close", false},
      {true, 1, 1, "keep-alive", true}, {true, 2, 0, "", true},
      {true, 1, 0, "", false},          {true, 1, 0, "Keep-Alive", true},
      {true, 1, 0, "close", false},     {true, -1, -1, "", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::Message()
                 << c.allowed << " " << c.major << "." << c.minor << " " << c.connection);
    EXPECT_EQ(keep_connection_open(c.allowed, c.major, c.minor, c.connection), c.keep);
  }
}


// A control byte (but a tab) or DEL anywhere, in an eight-byte step or in the tail, makes the
// line unclean; every other byte leaves it clean.
TEST(RequestLine, CleanHeaderLineLooksAtEveryByte) {
  for (int b = 0; b < 256; ++b) {
    const bool want = !((b < 0x20 && b != '\t') || b == 0x7F);
    for (const size_t at : {size_t{0}, size_t{3}, size_t{7}, size_t{8}, size_t{15}, size_t{17}}) {
      std::string line = "Accept-Language: en";
      line[at] = static_cast<char>(b);
      if (IsCleanHeaderLine(line) != want) {
        ADD_FAILURE() << "byte " << b << " at " << at;
        return;
      }
    }
  }
  EXPECT_TRUE(IsCleanHeaderLine(""));
  EXPECT_TRUE(IsCleanHeaderLine("X: a\tb"));
}
}  // namespace
}  // namespace appsrv::transport
