#include "server/http/http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/exception.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/request_packet_writer.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

class HttpRequestTest : public testing::PacketTest {
 protected:
  std::unique_ptr<THttpRequest> build(const RequestPacketFields& fields) {
    write_request_packet(fields, buffer_.data(), kExchangeBufferSize);
    return std::make_unique<THttpRequest>(buffer_.data(), kExchangeBufferSize);
  }
};

TEST_F(HttpRequestTest, EveryFieldArrives) {
  RequestPacketFields f;
  f.user_agent = "Mozilla/5.0";
  f.referer = "http://r/";
  f.script_name = "/app";
  f.host = "example.com";
  f.authorization = "Basic abc";
  f.url = "http://example.com/x";
  f.path_info = "/appservice/";
  f.remote_addr = "10.0.0.1";
  f.server_port = 8888;
  f.query = "a=%20";
  f.method = "POST";
  f.if_modified_since = "Sun, 06 Nov 1994 08:49:37 GMT";
  f.forwarded_for = "1.1.1.1";
  f.http_client_ip = "2.2.2.2";
  f.authorization_header = "Basic def";
  f.auth_user = "u";
  f.auth_pass = "p";
  f.accept_language = "en";
  f.https_header = "on";
  f.raw_headers = {"Host: example.com", "Accept: */*"};
  f.content_fields = {"c=1"};
  f.cookie_fields = {"SID=42"};
  f.query_fields = {"a= "};
  f.server_variables = {"V=1"};
  f.files = {{"r\xC3\xA9sum\xC3\xA9.pdf", "/tmp/u1", "application/pdf", "doc", "1234"},
             {"b.bin", "/tmp/u2", "", "other", "unknown"}};
  f.has_content = true;
  const auto r = build(f);

  EXPECT_EQ(r->UserAgent(), "Mozilla/5.0");
  EXPECT_EQ(r->Referer(), "http://r/");
  EXPECT_EQ(r->ScriptName(), "/app");
  EXPECT_EQ(r->Host(), "example.com");
  EXPECT_EQ(r->Authorization(), "Basic abc");
  EXPECT_EQ(r->URL(), "http://example.com/x");
  EXPECT_EQ(r->PathInfo(), "/appservice/");
  EXPECT_EQ(r->RemoteAddr(), "10.0.0.1");
  EXPECT_EQ(r->ServerPort(), 8888);
  EXPECT_EQ(r->Query(), "a=%20");
  EXPECT_EQ(r->QueryString(), "a=%20");
  EXPECT_EQ(r->HttpMethod(), hmPost);
  EXPECT_EQ(r->IfModifiedSince(), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(r->ForwardedFor(), "1.1.1.1");
  EXPECT_EQ(r->HttpClientIP(), "2.2.2.2");
  EXPECT_EQ(r->AuthorizationHeader(), "Basic def");
  EXPECT_EQ(r->AuthUser(), "u");
  EXPECT_EQ(r->AuthPass(), "p");
  EXPECT_EQ(r->AcceptLanguage(), "en");
  EXPECT_EQ(r->HttpsHeader(), "on");
  EXPECT_EQ(r->RawHeaders().lines(), f.raw_headers);
  EXPECT_EQ(r->ContentFields().lines(), f.content_fields);
  EXPECT_EQ(r->GetCookieValue("sid"), "42");
  EXPECT_EQ(r->GetCookieValue("none"), "");
  EXPECT_EQ(r->GetContentFieldValue("C"), "1");
  EXPECT_EQ(r->QueryFields().lines(), f.query_fields);
  EXPECT_EQ(r->ServerVariables().lines(), f.server_variables);
  EXPECT_TRUE(r->HasContent());
  ASSERT_EQ(r->Files().Count(), 2u);
  const THttpFile& pdf = r->Files()[0];
  EXPECT_EQ(pdf.mFileName, "r\xC3\xA9sum\xC3\xA9.pdf");
  EXPECT_EQ(pdf.mTempPathName, "/tmp/u1");
  EXPECT_EQ(pdf.mContentType, "application/pdf");
  EXPECT_EQ(pdf.mFieldName, "doc");
  EXPECT_EQ(pdf.mFileSize, 1234);
  EXPECT_FALSE(pdf.mDeleteFile);
  EXPECT_EQ(r->Files()[1].mFileSize, -1);
}

TEST_F(HttpRequestTest, MethodText) {
  struct Case {
    const char* text;
    THttpMethod want;
  };
  const Case kCases[] = {
      {"GET", hmGet},   {"get", hmGet},      {"Put", hmPut}, {"POST", hmPost},
      {"head", hmHead}, {"OPTIONS", hmNone}, {"", hmNone},   {"GETX", hmNone},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    RequestPacketFields f;
    f.method = c.text;
    EXPECT_EQ(build(f)->HttpMethod(), c.want);
  }
}

TEST_F(HttpRequestTest, HasContentIsAnyNonZeroByte) {
  RequestPacketFields f;
  std::vector<char> without(kExchangeBufferSize);
  write_request_packet(f, without.data(), kExchangeBufferSize);
  f.has_content = true;
  write_request_packet(f, buffer_.data(), kExchangeBufferSize);
  size_t flag = 0;
  while (flag < without.size() && without[flag] == buffer_[flag]) {
    ++flag;
  }
  ASSERT_LT(flag, without.size());
  for (const char byte : {'\0', '\1', '\2', '\xFF'}) {
    SCOPED_TRACE(static_cast<int>(byte));
    buffer_[flag] = byte;
    EXPECT_EQ(THttpRequest(buffer_.data(), kExchangeBufferSize).HasContent(), byte != 0);
  }
}

TEST_F(HttpRequestTest, RawHeaderLookup) {
  RequestPacketFields f;
  f.raw_headers = {"Accept-Encoding: gzip",   "X-Twice: first", "X-Twice: second",
                   "X-Tight:value",           "X-Empty:",       "Accept-Encodingx: no",
                   "Content-Type: text/plain"};
  f.server_variables = {"REMOTE_USER: bob"};
  const auto r = build(f);
  struct Case {
    const char* name;
    const char* want;
  };
  const Case kCases[] = {
      {"accept-encoding", "gzip"},
      {"X-TWICE", "second"},
      {"X-Tight", "value"},
      {"X-Empty", ""},
      {"Missing", ""},
      {"", ""},
      {"Content", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(r->GetRawHeaderValue(c.name), c.want);
  }
  EXPECT_EQ(r->GetServerVariableValue("remote_user"), "bob");
}

TEST_F(HttpRequestTest, AcceptsGZip) {
  struct Case {
    std::vector<std::string> headers;
    bool want;
  };
  const Case kCases[] = {
      {{"Accept-Encoding: gzip, deflate"}, true},
      {{"accept-encoding: GZip"}, true},
      {{"Accept-Encoding: deflate"}, false},
      {{}, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.headers.empty() ? "none" : c.headers[0]);
    RequestPacketFields f;
    f.raw_headers = c.headers;
    EXPECT_EQ(build(f)->AcceptsGZip(), c.want);
  }
}

TEST_F(HttpRequestTest, GetParamsOfAPostAppendsTheQueryFieldsEveryCall) {
  RequestPacketFields f;
  f.method = "POST";
  f.query_fields = {"a=1"};
  const auto r = build(f);
  base::NameValueList& params = r->GetParams();
  EXPECT_EQ(&params, &r->mContentFields);
  EXPECT_EQ(params.lines(), (std::vector<std::string>{"a=1"}));
  r->GetParams();
  EXPECT_EQ(r->mContentFields.lines(), (std::vector<std::string>{"a=1", "a=1"}));
  EXPECT_EQ(r->GetContentFieldValue("a"), "1");
}

TEST_F(HttpRequestTest, GetParamsOfAGetIsTheQueryFields) {
  RequestPacketFields f;
  f.method = "GET";
  f.query_fields = {"a=1"};
  const auto r = build(f);
  EXPECT_EQ(&r->GetParams(), &r->mQueryFields);
  EXPECT_TRUE(r->mContentFields.empty());
}

TEST_F(HttpRequestTest, RewriteUrlSetsTheScriptName) {
  const auto r = build({});
  r->SetRewriteURL("/mounted");
  EXPECT_EQ(r->ScriptName(), "/mounted");
}

TEST_F(HttpRequestTest, MalformedPacketFails) {
  RequestPacketFields f;
  write_request_packet(f, buffer_.data(), kExchangeBufferSize);
  buffer_[9] = 0;  // the payload's own signature
  expect_failure([&] { THttpRequest r(buffer_.data(), kExchangeBufferSize); },
                 "No stream signature found.");
}

TEST_F(HttpRequestTest, LargeRequestArrivesThroughAFile) {
  RequestPacketFields f;
  f.query_fields.assign(3000, "k=" + std::string(20, 'v'));
  const auto r = build(f);
  EXPECT_EQ(r->QueryFields().size(), 3000u);
  EXPECT_TRUE(testing::file_names(dir_.tmp()).empty());
}

}  // namespace
}  // namespace appsrv::server
