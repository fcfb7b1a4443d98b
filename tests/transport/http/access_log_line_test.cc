#include "transport/http/access_log_line.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/transport/access_log_parse.h"

namespace appsrv::transport {
namespace {

using testing::ParseAccessLine;
using testing::ParsedAccessLine;

AccessLogEntry sample_entry() {
  AccessLogEntry e;
  e.client = "192.0.2.7";
  e.when = 1765380000;  // a fixed second
  e.request_line = "GET /index.html?a=1 HTTP/1.1";
  e.status = 200;
  e.body_bytes = 1234;
  e.referer = "http://example.test/";
  e.user_agent = "Mozilla/5.0 (X11)";
  e.duration_us = 4567;
  e.session_id = "Sh-o-13LrV6lVrhJgr3nLa";
  return e;
}

TEST(AccessLogLine, ReadsBackFieldByField) {
  const std::string line = format_access_log_line(sample_entry());
  const std::optional<ParsedAccessLine> p = ParseAccessLine(line);
  ASSERT_TRUE(p) << line;
  EXPECT_EQ(p->client, "192.0.2.7");
  EXPECT_EQ(p->ident, "-");
  EXPECT_EQ(p->user, "-");
  EXPECT_TRUE(std::regex_match(
      p->time, std::regex(R"(\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d [+-]\d{4})")))
      << p->time;
  EXPECT_EQ(p->request, "GET /index.html?a=1 HTTP/1.1");
  EXPECT_EQ(p->status, "200");
  EXPECT_EQ(p->bytes, "1234");
  EXPECT_EQ(p->referer, "http://example.test/");
  EXPECT_EQ(p->user_agent, "Mozilla/5.0 (X11)");
  EXPECT_EQ(p->duration, "4567");
  EXPECT_EQ(p->session, "Sh-o-1");
  EXPECT_EQ(line.find("Sh-o-13LrV6lVrhJgr3nLa"), std::string::npos);
}

TEST(AccessLogLine, AbsentTextIsADash) {
  AccessLogEntry e = sample_entry();
  e.request_line = "";
  e.referer = "";
  e.user_agent = "";
  e.session_id = "";
  e.status = 408;
  e.body_bytes = 0;
  const std::optional<ParsedAccessLine> p = ParseAccessLine(format_access_log_line(e));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->request, "-");
  EXPECT_EQ(p->referer, "-");
  EXPECT_EQ(p->user_agent, "-");
  EXPECT_EQ(p->session, "-");
  EXPECT_EQ(p->status, "408");
  EXPECT_EQ(p->bytes, "0");
}

// What a stranger sends must not end a field, start a line or pass for another entry.
TEST(AccessLogLine, RequestTextCannotForgeFieldsOrLines) {
  struct Case {
    std::string_view raw;
    std::string_view logged;
  };
  // clang-format off
  const Case kCases[] = {
    {"plain text",                 "plain text"},
    {"a\"b",                       "a\\x22b"},
    {"back\\slash",                "back\\x5Cslash"},
    {"line\nbreak\r",              "line\\x0Abreak\\x0D"},
    {std::string_view("nul\0x", 5), "nul\\x00x"},
    {"tab\tdel\x7f",               "tab\\x09del\\x7F"},
    {"caf\xc3\xa9",                "caf\\xC3\\xA9"},
    {"\" 200 5 \"-\" \"x\" 1 abc\n1.2.3.4 - - [", "\\x22 200 5 \\x22-\\x22 \\x22x\\x22 1 abc\\x0A1.2.3.4 - - ["},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.raw);
    std::string escaped;
    append_escaped(escaped, c.raw);
    EXPECT_EQ(escaped, c.logged);
    AccessLogEntry e = sample_entry();
    e.request_line = c.raw;
    e.user_agent = c.raw;
    e.referer = c.raw;
    const std::string line = format_access_log_line(e);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const std::optional<ParsedAccessLine> p = ParseAccessLine(line);
    ASSERT_TRUE(p) << line;
    EXPECT_EQ(p->request, c.logged);
    EXPECT_EQ(p->user_agent, c.logged);
    EXPECT_EQ(p->status, "200");
    EXPECT_EQ(p->duration, "4567");
  }
}

TEST(AccessLogLine, UnquotedFieldsHoldNoBlank) {
  AccessLogEntry e = sample_entry();
  e.client = "1.2.3.4 - - [x]";
  e.session_id = "a b\"c\nxxxxxxxxxx";
  const std::string line = format_access_log_line(e);
  const std::optional<ParsedAccessLine> p = ParseAccessLine(line);
  ASSERT_TRUE(p) << line;
  EXPECT_EQ(p->client, "1.2.3.4\\x20-\\x20-\\x20[x]");
  EXPECT_EQ(p->session, "a\\x20b\\x22c\\x0A");  // its first six bytes
}

TEST(AccessLogLine, LongTextIsCut) {
  AccessLogEntry e = sample_entry();
  const std::string long_agent(kMaxLoggedFieldBytes + 100, 'u');
  e.user_agent = long_agent;
  const std::optional<ParsedAccessLine> p = ParseAccessLine(format_access_log_line(e));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->user_agent, std::string(kMaxLoggedFieldBytes, 'u') + "...");
}

// A session identifier carried in the URL (sessions without cookies) or the referer is a
// credential as much as the cookie is.
TEST(AccessLogLine, TheWholeSessionIdentifierNeverAppears) {
  AccessLogEntry e = sample_entry();
  e.request_line = "GET /Sh-o-13LrV6lVrhJgr3nLa/$/callback?x=Sh-o-13LrV6lVrhJgr3nLa HTTP/1.1";
  e.referer = "http://h/Sh-o-13LrV6lVrhJgr3nLa/";
  const std::string line = format_access_log_line(e);
  EXPECT_EQ(line.find("Sh-o-13LrV6lVrhJgr3nLa"), std::string::npos) << line;
  const std::optional<ParsedAccessLine> p = ParseAccessLine(line);
  ASSERT_TRUE(p) << line;
  EXPECT_EQ(p->request, "GET /Sh-o-1*/$/callback?x=Sh-o-1* HTTP/1.1");
  EXPECT_EQ(p->referer, "http://h/Sh-o-1*/");
}

}  // namespace
}  // namespace appsrv::transport
