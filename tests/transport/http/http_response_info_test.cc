#include "transport/http/http_response_info.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "server/exchange/memory_stream.h"
#include "transport/http/http_status.h"

namespace appsrv::transport {
namespace {

// Runs the test in UTC so that dates read the same everywhere.
class ResponseInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    saved_tz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_tz_) {
      setenv("TZ", saved_tz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  // 1994-11-06 08:49:37
  const base::DateTime now_ = base::encode_date(1994, 11, 6) + base::encode_time(8, 49, 37);

 private:
  std::optional<std::string> saved_tz_;
};

TEST_F(ResponseInfo, StatusPhrases) {
  EXPECT_EQ(StatusPhrase(200), "OK");
  EXPECT_EQ(StatusPhrase(302), "Moved Temporarily");
  EXPECT_EQ(StatusPhrase(431), "Request Header Fields Too Large");
  EXPECT_EQ(StatusPhrase(504), "Gateway timeout");
  EXPECT_EQ(StatusPhrase(418), "Unknown Response Code");
}

TEST_F(ResponseInfo, ContentTypeRule) {
  struct Case {
    std::string_view value, type, charset;
  };
  constexpr Case kCases[] = {
      {"text/html; charset=UTF-8", "text/html", "UTF-8"},
      {"text/html", "text/html", "ISO-8859-1"},
      {"text/xml", "text/xml", "us-ascii"},
      {"text/svg+xml", "text/svg+xml", "us-ascii"},
      {"application/json", "application/json", ""},
      {"multipart/form-data; boundary=x; charset=\"utf-8\"", "multipart/form-data; boundary=x",
       "utf-8"},
      {"", "", ""},
      {" text/plain ;; level=1 ; ", "text/plain; level=1", "ISO-8859-1"},
      {"; charset=x; a=b", "; a=b", "x"},
      {"TEXT/Plain;Charset = \"\"", "TEXT/Plain", "ISO-8859-1"},
      {"application/json;charset=utf-8;charset=latin1", "application/json", "latin1"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.value);
    std::string type = "old", charset = "old";
    ApplyContentType(c.value, type, charset);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(charset, c.charset);
  }
}

TEST_F(ResponseInfo, HeaderOrderAndDefaults) {
  TInHTTPResponseInfo r;
  r.SetCloseConnection(true);
  r.SetContentType("text/html; charset=UTF-8");
  auto body = std::make_unique<server::TSvMemoryStream>();
  body->Write("hello", 5);
  r.FContentStream = std::move(body);
  r.FCustomHeaders.add("Cache-Control:no-cache");
  r.FCustomHeaders.add("Location: /elsewhere");
  r.FLocation = "/there";
  r.FContentEncoding = "gzip";
  r.complete(now_);
  EXPECT_EQ(r.HeaderText(now_),
            "HTTP/1.1 200 OK\r\n"
            "Connection: close\r\n"
            "Content-Encoding: gzip\r\n"
            "Content-Type: text/html; charset=UTF-8\r\n"
            "Content-Length: 5\r\n"
            "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
            "Cache-Control:no-cache\r\n"
            "Location: /there\r\n"
            "\r\n");
}

TEST_F(ResponseInfo, ACustomLocationStaysWhenTheResponseSetsNone) {
  TInHTTPResponseInfo r;
  r.SetResponseNo(302);
  r.FCustomHeaders.add("Location: https://example.org:8443/");
  r.FCustomHeaders.add("Server: mine");
  r.complete(now_);
  const std::string text = r.HeaderText(now_);
  EXPECT_NE(text.find("\r\nLocation: https://example.org:8443/\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\r\nServer: mine\r\n"), std::string::npos) << text;
}

TEST_F(ResponseInfo, StatusOnlyAndTextBodies) {
  TInHTTPResponseInfo empty;
  empty.SetResponseNo(400);
  empty.complete(now_);
  EXPECT_EQ(empty.HeaderText(now_),
            "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
            "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n");

  TInHTTPResponseInfo text;
  text.SetResponseNo(500);
  text.FContentText = "caf\xC3\xA9";
  text.complete(now_);
  const std::string head = text.HeaderText(now_);
  EXPECT_NE(head.find("Content-Type: text/html; charset=ISO-8859-1\r\n"), std::string::npos);
  EXPECT_NE(head.find("Content-Length: 4\r\n"), std::string::npos);  // one Latin-1 byte for é
  EXPECT_EQ(text.EncodedContentText(), "caf\xE9");
}

TEST_F(ResponseInfo, NotFoundClosesAndNotModifiedDropsBodyHeaders) {
  TInHTTPResponseInfo r;
  r.SetResponseNo(404);
  EXPECT_TRUE(r.FCloseConnection);
  EXPECT_EQ(r.FResponseText, "Not Found");

  TInHTTPResponseInfo nm;
  nm.SetResponseNo(304);
  nm.SetContentType("text/html");
  nm.complete(now_);
  const std::string head = nm.HeaderText(now_);
  EXPECT_EQ(head.find("Content-Type"), std::string::npos);
  EXPECT_EQ(head.find("Content-Length"), std::string::npos);
}

TEST_F(ResponseInfo, RedirectSetsStatusAndLocation) {
  TInHTTPResponseInfo r;
  r.Redirect("/next");
  r.complete(now_);
  const std::string head = r.HeaderText(now_);
  EXPECT_EQ(head.substr(0, head.find("\r\n")), "HTTP/1.1 302 Moved Temporarily");
  EXPECT_NE(head.find("\r\nLocation: /next\r\n"), std::string::npos);
}

TEST_F(ResponseInfo, RealmMakesABasicChallenge) {
  TInHTTPResponseInfo r;
  r.FAuthRealm = "Staff";
  r.complete(now_);
  const std::string head = r.HeaderText(now_);
  EXPECT_EQ(head.substr(0, head.find("\r\n")), "HTTP/1.1 401 Unauthorized");
  EXPECT_NE(head.find("WWW-Authenticate: Basic realm=\"Staff\"\r\n"), std::string::npos);
  EXPECT_EQ(r.FContentText, "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>");
  EXPECT_NE(head.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
}

TEST_F(ResponseInfo, PhrasesAndHeadersStayOnOneLineAndAscii) {
  TInHTTPResponseInfo r;
  r.SetResponseNo(400);
  r.FResponseText = "bad\r\nX-Injected: 1";
  r.FCustomHeaders.add("X-Name: J\xC3\xBCrgen");
  r.complete(now_);
  const std::string head = r.HeaderText(now_);
  EXPECT_EQ(head.substr(0, head.find("\r\n")), "HTTP/1.1 400 bad  X-Injected: 1");
  EXPECT_NE(head.find("X-Name: J?rgen\r\n"), std::string::npos);
}

TEST_F(ResponseInfo, SetCookieText) {
  struct Case {
    TInCookie cookie;
    std::string_view text;
  };
  const base::DateTime in_one_hour = now_ + 1.0 / 24;
  const Case kCases[] = {
      {{"SID", "abc", "/", "", 0, true, false, ""}, "SID=abc; Path=/; HttpOnly"},
      {{"a", "b", "", "example.org", 0, false, true, ""}, "a=b; Domain=example.org; Secure"},
      {{"SID", "abc", "/", "", 0, true, true, "Lax"},
       "SID=abc; Path=/; Secure; HttpOnly; SameSite=Lax"},
      {{"a", "b", "/p", "", in_one_hour, false, false, ""},
       "a=b; Path=/p; Max-Age=3600; Expires=Sun, 06-Nov-1994 09:49:37 GMT"},
      {{"gone", "", "/", "", -1.0, false, false, ""},
       "gone=; Path=/; Expires=Fri, 29-Dec-1899 00:00:00 GMT"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CookieText(c.cookie, now_), c.text);
  }
}

}  // namespace
}  // namespace appsrv::transport
