#include "server/pipeline/sv_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "base/date_time.h"
#include "base/files.h"
#include "server/http/mime_types.h"
#include "server/pipeline/app_cache.h"
#include "server/pipeline/compress_stream.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/internal_files.h"
#include "server/pipeline/pipeline_pages.h"
#include "server/session/session_list.h"
#include "tests/server/pipeline_fixture.h"

namespace appsrv::server {
namespace {

using testing::PipelineTest;

constexpr std::string_view kHtml = "text/html; charset=UTF-8";

class RoutingTest : public PipelineTest {
 protected:
  int SessionCount() { return controller_->Sessions().GetCount(); }
};

TEST_F(RoutingTest, PingAnswersPongWithoutSession) {
  for (const char* path : {"/$/ping", "/$/PING", "//$//ping"}) {
    SCOPED_TRACE(path);
    const ReplyPacket r = Call(Get(path));
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.data_type, rtInline);
    EXPECT_EQ(r.body_text(), "Pong");
    EXPECT_EQ(r.content_type, kHtml);
    EXPECT_TRUE(r.cookies.empty());
  }
  EXPECT_EQ(SessionCount(), 0);
}

TEST_F(RoutingTest, UrlBaseIsRemovedBeforeRouting) {
  controller_->SetURLBase("/app/");
  EXPECT_EQ(Call(Get("/app/$/ping")).body_text(), "Pong");
  EXPECT_EQ(Call(Get("/APP/$/ping")).body_text(), "Pong");
  const ReplyPacket files = Call(Get("/app/$/files/report.pdf"));
  EXPECT_EQ(files.code, 302);
  EXPECT_EQ(Header(files, "Location"), "/app/files/report.pdf");
}

TEST_F(RoutingTest, FilesRedirectToTheBaseUrl) {
  const ReplyPacket r = Call(Get("/$/files/report.pdf"));
  EXPECT_EQ(r.code, 302);
  EXPECT_EQ(Header(r, "Location"), "/files/report.pdf");
  EXPECT_EQ(SessionCount(), 0);
}

TEST_F(RoutingTest, QueryStatusWithoutSessionIsMinusOne) {
  const ReplyPacket r = Call(Get("/$/QueryStatus"));
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.body_text(), status_xml(-1));
  EXPECT_EQ(SessionCount(), 0);
}

TEST_F(RoutingTest, BlankPageAndItsRevalidation) {
  const ReplyPacket r = Call(Get("/$/blank"));
  EXPECT_EQ(r.body_text(), kBlankPage);
  EXPECT_EQ(Header(r, "Last-Modified"), base::http_date(controller_->FStartDateTime()));
  EXPECT_EQ(Header(r, "Cache-Control"), "private");
  RequestPacketFields again = Get("/$/blank_");
  again.if_modified_since = "anything";
  const ReplyPacket cached = Call(again);
  EXPECT_EQ(cached.code, 304);
  EXPECT_EQ(cached.data_type, rtNoData);
}

TEST_F(RoutingTest, MissingStaticFileIsNotFoundOnceWithoutSession) {
  const ReplyPacket r = Call(Get("/style.css"));
  EXPECT_EQ(r.code, 404);
  EXPECT_EQ(r.content_type, "text/html");
  EXPECT_EQ(r.body_text(), kNotFoundBody);
  EXPECT_TRUE(r.cookies.empty());
  EXPECT_EQ(SessionCount(), 0);
}

TEST_F(RoutingTest, StaticFileRuleWithIfModifiedSince) {
  WriteContent("css/site.css", "body{}");
  const ReplyPacket first = Call(Get("/css/site.css"));
  EXPECT_EQ(first.code, 200);
  EXPECT_EQ(first.data_type, rtFile);
  EXPECT_EQ(first.file_path, content_ + "css/site.css");
  EXPECT_FALSE(first.file_delete);
  EXPECT_EQ(first.content_type, "text/css; charset=UTF-8");
  const std::string last_modified = Header(first, "Last-Modified");
  ASSERT_EQ(last_modified, base::http_date(*base::file_modified(content_ + "css/site.css")));

  struct Case {
    std::string if_modified_since;
    uint16_t code;
  };
  const Case kCases[] = {
      {last_modified, 304},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 200},
      {"not a date", 200},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.if_modified_since);
    RequestPacketFields f = Get("/css/site.css");
    f.if_modified_since = c.if_modified_since;
    const ReplyPacket r = Call(f);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.data_type, c.code == 304 ? rtNoData : rtFile);
  }
  EXPECT_EQ(SessionCount(), 0);
}

TEST_F(RoutingTest, UncachedFilesFolderAndCacheFiles) {
  WriteContent("Files/report.pdf", "%PDF");
  const ReplyPacket pdf = Call(Get("/$/filesnc/report.pdf"));
  EXPECT_EQ(pdf.data_type, rtFile);
  EXPECT_EQ(pdf.file_path, content_ + "Files/report.pdf");
  EXPECT_EQ(pdf.content_type, "application/pdf");
  EXPECT_EQ(Header(pdf, "Cache-Control"), "no-cache");
  EXPECT_EQ(Call(Get("/$/filesnc/missing.pdf")).code, 404);

  // The server's own cache files go to anyone; other files of the cache folder to no one.
  const std::string internal_base = "/$/";
  const std::string app_id = "owner";
  std::vector<std::string> session_files;
  const CacheOwner owner{&internal_base, &session_files, nullptr, &app_id};
  std::string href;
  auto cache = TSvAppCache::NewAppCacheStream(&owner, "text/plain", href);
  cache->WriteBuffer("body", 4);
  const std::string cache_file = cache->mFilename;
  cache.reset();
  const ReplyPacket cached = Call(Get(href));
  EXPECT_EQ(cached.data_type, rtCacheFile);
  EXPECT_EQ(cached.file_path, cache_file);
  base::write_file(controller_->CacheDir() + "QVKtest1.tmp", "a spilled body");
  EXPECT_EQ(Call(Get("/$/temp/QVKtest1")).code, 404);
  EXPECT_EQ(Call(Get("/$/temp/QVKnone")).code, 404);
}

TEST_F(RoutingTest, TraversalNeverLeavesItsFolder) {
  // A file beside the content folder that no URL may reach.
  const std::string secret = folder_.app() + "secret.css";
  base::write_file(secret, "secret");
  base::write_file(controller_->CacheDir() + "../outside.tmp", "secret");
  WriteContent("Files/x.txt", "x");
  struct Case {
    std::string path;
    std::string_view message;
  };
  const Case kCases[] = {
      {"/a/../../secret.css", "URL contains illegal characters."},
      {"/../../secret.css", "URL contains illegal characters."},
      {"/$/filesnc/../../secret.css", "URL contains illegal characters."},
      {"/$/filesnc/../x/../../secret.css", "URL contains illegal characters."},
      {"/$/temp/../outside", "URL contains illegal characters."},
      {"/.hidden.css", "URL contains illegal characters."},
      {"/c:/secret.css", "URL contains illegal characters."},
      {"/a\\..\\..\\secret.css", "Invalid characters in URL."},
      {std::string("/x.html\0.css", 12), "URL contains illegal characters."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    const ReplyPacket r = Call(Get(c.path));
    EXPECT_EQ(r.code, 500);
    EXPECT_TRUE(PageShows(r, c.message));
    EXPECT_NE(r.data_type, rtFile);
  }
}

TEST_F(RoutingTest, InternalFilesAreGzippedAndRevalidatedAgainstTheStartTime) {
  TSvServerInternalFiles::Instance().SetPreCompressFiles(true);
  RequestPacketFields gzip_client = Get("/$/js/SvBase__1A2B3C.js");
  gzip_client.raw_headers = {"Accept-Encoding: gzip, deflate"};
  const ReplyPacket r = Call(gzip_client);
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.content_type, MimeTypes::GetAsString(".js"));
  EXPECT_EQ(Header(r, "Content-Encoding"), "gzip");
  EXPECT_EQ(Header(r, "Vary"), "Accept-Encoding");
  const std::string body = r.body_text();
  ASSERT_GE(body.size(), 2u);
  EXPECT_EQ(body.substr(0, 2), "\x1F\x8B");
  const std::string start = base::http_date(controller_->FStartDateTime());
  EXPECT_EQ(Header(r, "Last-Modified"), start);

  // A client that does not take gzip gets the script itself.
  const ReplyPacket plain = Call(Get("/$/js/SvBase__1A2B3C.js"));
  EXPECT_EQ(Header(plain, "Content-Encoding"), "(none)");
  EXPECT_EQ(Header(plain, "Vary"), "Accept-Encoding");
  EXPECT_EQ(plain.body_text(), gunzip_bytes(body));
  EXPECT_NE(plain.body_text().substr(0, 2), "\x1F\x8B");

  // However much later the client asks again, the start time still matches.
  clock_.advance_seconds(7 * 86400);
  RequestPacketFields again = Get("/$/javascript/SvBase.js");
  again.if_modified_since = start;
  EXPECT_EQ(Call(again).code, 304);
  again.if_modified_since = "Sun, 06 Nov 1994 08:49:37 GMT";
  EXPECT_EQ(Call(again).code, 200);
  // After a restart the start time differs, so the same header asks for the new script.
  FreeServerController();
  controller_ = &InitServerController(folder_.environment(clock_));
  again.if_modified_since = start;
  EXPECT_EQ(Call(again).code, 200);

  const ReplyPacket gif = Call(Get("/$/gfx/Tp.gif"));
  EXPECT_EQ(gif.content_type, MimeTypes::GetAsString(".gif"));
  EXPECT_EQ(Header(gif, "Content-Encoding"), "(none)");
  EXPECT_EQ(gif.body_text().substr(0, 6), "GIF89a");

  for (const char* missing : {"/$/js/NoSuch.js", "/$/css/none.css", "/$/gfx/x/y.png"}) {
    SCOPED_TRACE(missing);
    const ReplyPacket r404 = Call(Get(missing));
    EXPECT_EQ(r404.code, 404);
    EXPECT_EQ(r404.body_text(), kNotFoundBody);
  }
  TSvServerInternalFiles::Instance().SetPreCompressFiles(false);
}

TEST_F(RoutingTest, FaviconFromTheContentFolderElseBuiltIn) {
  const ReplyPacket built_in = Call(Get("/favicon.ico"));
  EXPECT_EQ(built_in.code, 200);
  EXPECT_EQ(built_in.content_type, MimeTypes::GetAsString(".ico"));
  EXPECT_EQ(built_in.body_text().substr(0, 4), std::string("\0\0\1\0", 4));
  WriteContent("favicon.ico", "ico");
  const ReplyPacket own = Call(Get("/FAVICON.ICO"));
  EXPECT_EQ(own.data_type, rtFile);
  EXPECT_EQ(own.file_path, content_ + "favicon.ico");
  EXPECT_EQ(own.content_type, MimeTypes::GetAsString(".ico"));
}

TEST_F(RoutingTest, PlainRequestsRedirectToHttps) {
  controller_->SSLOptions().NonSSLRequest = NonSslRequest::nsRedirect;
  controller_->SSLOptions().Port = 8443;
  RequestPacketFields f = Get("/$/ping");
  f.query = "a=1";
  const ReplyPacket r = Call(f);
  EXPECT_EQ(r.code, 302);
  EXPECT_EQ(Header(r, "Location"), "https://example.org:8443/?a=1");
  f.server_port = 8443;
  EXPECT_EQ(Call(f).body_text(), "Pong");
  // With HTTPS off the request is served where it came.
  controller_->SSLOptions().Port = 0;
  f.server_port = 8888;
  EXPECT_EQ(Call(f).body_text(), "Pong");
}

TEST_F(RoutingTest, ExecuteRequestEventAndDispatchEvents) {
  std::vector<std::string> seen;
  controller_->OnBeforeDispatch = [&](THttpRequest&, THttpReply&) { seen.push_back("before"); };
  controller_->OnAfterDispatch = [&](THttpRequest&, THttpReply&) { seen.push_back("after"); };
  controller_->OnExecuteRequest = [&](const std::string& path, THttpRequest&, bool& handled,
                                      THttpReply& reply) {
    seen.push_back(path);
    if (path == "/mine") {
      reply.WriteString("handled here");
      handled = true;
    }
  };
  EXPECT_EQ(Call(Get("//mine")).body_text(), "handled here");
  EXPECT_EQ(Call(Get("/$/ping")).body_text(), "Pong");
  EXPECT_EQ(seen,
            (std::vector<std::string>{"before", "/mine", "after", "before", "/$/ping", "after"}));
}

// Whatever a hook or handler throws, the client gets a committed error reply.
TEST_F(RoutingTest, AnythingThrownEndsInACommittedErrorReply) {
  struct Case {
    const char* what;
    std::function<void()> fail;
    const char* message;
  };
  const Case cases[] = {
      {"std::exception", [] { throw std::runtime_error("plain failure"); }, "plain failure"},
      {"an int", [] { throw 42; }, "Unknown exception."},
      {"a string", [] { throw std::string("text"); }, "Unknown exception."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    controller_->OnBeforeDispatch = [&](THttpRequest&, THttpReply&) { c.fail(); };
    RequestPacketFields f = Get("/$/ping");
    f.remote_addr = "127.0.0.1";
    const ReplyPacket r = Call(f);
    EXPECT_EQ(r.code, 500);
    EXPECT_TRUE(PageShows(r, std::string("Exception message  : ") + c.message)) << r.body_text();
  }
}

TEST_F(RoutingTest, ErrorDetailsOnlyForALocalClient) {
  // A reverse proxy on this machine connects from the loopback address on behalf of remote
  // clients and names them in X-Forwarded-For: the client it names decides. Any other
  // forwarded-client header, or one from a peer that is no trusted proxy, speaks for someone
  // the server cannot name: no details.
  struct Case {
    const char* remote_addr;
    const char* host;
    const char* header;  // one more header line, or ""
    bool details;
  };
  // clang-format off
  const Case kCases[] = {
      {"127.0.0.1", "example.org", "",                                       true},
      {"::1",       "example.org", "",                                       true},
      {"10.1.2.3",  "localhost",   "",                                       false},
      {"10.1.2.3",  "127.0.0.1",   "X-Forwarded-For: 127.0.0.1",             false},
      {"127.0.0.2", "localhost",   "",                                       false},
      {"127.0.0.1", "example.org", "X-Forwarded-For: 203.0.113.9",           false},
      {"127.0.0.1", "example.org", "x-forwarded-for: 127.0.0.1, 203.0.113.9", false},
      {"127.0.0.1", "example.org", "X-Forwarded-For: 203.0.113.9, 127.0.0.1", true},
      {"127.0.0.1", "example.org", "X-Forwarded-For: unknown",               false},
      {"127.0.0.1", "example.org", "Forwarded: for=203.0.113.9",             false},
      {"::1",       "example.org", "Client-IP: 203.0.113.9",                 false},
      {"::1",       "example.org", "HTTP_CLIENT_IP: 203.0.113.9",            false},
  };
  // clang-format on
  const auto details_for = [&](const char* remote_addr, const char* host, const char* header) {
    RequestPacketFields f = Get("/a\\b");
    f.remote_addr = remote_addr;
    f.host = host;
    if (*header != '\0') {
      f.raw_headers.emplace_back(header);
    }
    const ReplyPacket r = Call(f);
    EXPECT_EQ(r.code, 500);
    EXPECT_TRUE(PageShows(r, "Exception message  : Invalid characters in URL."));
    return PageShows(r, "Application Name   : ");
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.remote_addr) + " " + c.host + " " + c.header);
    EXPECT_EQ(details_for(c.remote_addr, c.host, c.header), c.details);
  }
  // Trusting no proxy, a loopback peer that speaks for someone else is not that someone.
  controller_->SecurityOptions().TrustedProxies.clear();
  EXPECT_FALSE(details_for("127.0.0.1", "example.org", "X-Forwarded-For: 127.0.0.1"));
}

}  // namespace
}  // namespace appsrv::server
