#include "server/http/http_reply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/exception.h"
#include "base/files.h"
#include "server/exchange/hsm_stream.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/memory_stream.h"
#include "server/exchange/render_stream.h"
#include "server/exchange/reply_packet_reader.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;

constexpr double kTwoHours = 2.0 / 24.0;

// The value of the header line `name` in a read reply, or nullopt.
std::optional<std::string> header(const ReplyPacket& r, std::string_view name) {
  for (const std::string& line : r.headers) {
    const size_t colon = line.find(':');
    if (colon == name.size() && line.compare(0, colon, name) == 0) {
      size_t start = colon + 1;
      while (start < line.size() && line[start] == ' ') {
        ++start;
      }
      return line.substr(start);
    }
  }
  return std::nullopt;
}

class HttpReplyTest : public testing::PacketTest {
 protected:
  ReplyPacket commit() {
    reply_.Commit();
    return read_reply_packet(buffer_.data(), kExchangeBufferSize);
  }

  THttpReply reply_{buffer_.data(), kExchangeBufferSize};
};

TEST_F(HttpReplyTest, NeverCommittedReplyFailsTheSignatureCheck) {
  int32_t first = 0;
  std::memcpy(&first, buffer_.data(), 4);
  EXPECT_EQ(first, kExchangeBufferSize);
  EXPECT_EQ(buffer_[4], 0);
  expect_failure([&] { read_reply_packet(buffer_.data(), kExchangeBufferSize); },
                 "No stream signature found.");
}

TEST_F(HttpReplyTest, InitialStateAndClear) {
  for (const bool dirty : {false, true}) {
    SCOPED_TRACE(dirty);
    if (dirty) {
      reply_.WriteString("x");
      reply_.SetCode(500);
      reply_.mCodeText = "Boom";
      reply_.mAuthRealm = "r";
      reply_.mAllowCaching = true;
      reply_.SetExpires(5.0);
      reply_.AddHeader("X", "y");
      reply_.mCookies.AddCookie("a", "b", "/", 0, false, false);
      reply_.mContentType = "image/png";
      reply_.Clear();
    }
    EXPECT_EQ(reply_.Code(), 200);
    EXPECT_EQ(reply_.DataType(), rtNone);
    EXPECT_EQ(reply_.CacheTTL(), 120);
    EXPECT_EQ(reply_.Expires(), 0.0);
    EXPECT_FALSE(reply_.mAllowCaching);
    EXPECT_FALSE(reply_.mSendingFile);
    EXPECT_TRUE(reply_.mCacheControlEnabled);
    EXPECT_EQ(reply_.mContentType, "text/html; charset=UTF-8");
    EXPECT_EQ(reply_.ContentStream(), nullptr);
    EXPECT_TRUE(reply_.mHeaders.empty());
    EXPECT_EQ(reply_.mHeaders.separator(), ':');
    EXPECT_EQ(reply_.mCookies.Count(), 0u);
    EXPECT_EQ(reply_.mCodeText, "");
    EXPECT_EQ(reply_.mAuthRealm, "");
  }
}

TEST_F(HttpReplyTest, ReplyTypeTransitions) {
  using Step = std::function<void(THttpReply&)>;
  const Step code = [](THttpReply& r) { r.SetCode(404); };
  const Step text = [](THttpReply& r) { r.WriteString("x"); };
  const Step file = [](THttpReply& r) { r.SendFile("/f", false, false); };
  const Step cache = [](THttpReply& r) { r.SendCacheFile("/c"); };
  const Step stream = [](THttpReply& r) {
    r.SendStream(std::make_unique<TSvMemoryStream>(), false);
  };
  const Step reset = [](THttpReply& r) { r.ResetReplyType(); };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    THttpReplyType want;
    const char* error;  // raised by the last step
  };
  const char* const kSet = "Reply type already set.";
  const Case kCases[] = {
      {"code", {code}, rtNoData, nullptr},
      {"code then text", {code, text}, rtInline, nullptr},
      {"text then code", {text, code}, rtInline, nullptr},
      {"code then file", {code, file}, rtFile, nullptr},
      {"cache file", {cache}, rtCacheFile, nullptr},
      {"text then more", {text, text}, rtInline, nullptr},
      {"text then file", {text, file}, rtInline, kSet},
      {"file then text", {file, text}, rtFile, kSet},
      {"file then cache", {file, cache}, rtFile, kSet},
      {"cache then stream", {cache, stream}, rtCacheFile, kSet},
      {"reset then file", {cache, reset, file}, rtFile, nullptr},
      {"stream then stream", {stream, stream}, rtInline, "ContentStream already exists."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<char> buffer(kExchangeBufferSize);
    THttpReply reply(buffer.data(), kExchangeBufferSize);
    for (size_t i = 0; i + 1 < c.steps.size(); ++i) {
      c.steps[i](reply);
    }
    if (c.error != nullptr) {
      expect_failure([&] { c.steps.back()(reply); }, c.error);
    } else {
      c.steps.back()(reply);
    }
    EXPECT_EQ(reply.DataType(), c.want);
  }
}

TEST_F(HttpReplyTest, SmallTextBodyTravelsInline) {
  reply_.SetCode(404);
  reply_.WriteString("not ");
  reply_.WriteString("here \xE2\x82\xAC");
  const ReplyPacket r = commit();
  EXPECT_EQ(r.data_type, rtInline);
  EXPECT_EQ(r.code, 404);
  EXPECT_EQ(r.content_type, "text/html; charset=UTF-8");
  EXPECT_EQ(r.body_text(), "not here \xE2\x82\xAC");
  EXPECT_EQ(reply_.ContentStream(), nullptr);
}

TEST_F(HttpReplyTest, LargeTextBodyTravelsAsAFileTheTransportDeletes) {
  // The text passes the flush size at once, by its last byte, or piece by piece: whatever was
  // written before goes into the file, in order.
  const std::vector<std::vector<std::string>> cases = {
      {std::string(40000, 'b')},
      {std::string(kPacketFlushSize, 'a'), "z"},
      {std::string(20000, 'a'), std::string(10000, 'b'), std::string(5000, 'c'), "end"},
  };
  for (const std::vector<std::string>& pieces : cases) {
    reply_.Clear();
    std::string body;
    for (const std::string& piece : pieces) {
      reply_.WriteString(piece);
      body += piece;
    }
    const ReplyPacket r = commit();
    EXPECT_EQ(r.data_type, rtFile);
    EXPECT_TRUE(r.file_path.starts_with(dir_.tmp() + "QVK")) << r.file_path;
    EXPECT_TRUE(r.file_delete);
    EXPECT_EQ(base::read_file(r.file_path), body) << pieces.size() << " pieces";
  }
}

TEST_F(HttpReplyTest, UncommittedLargeBodyLeavesNoFile) {
  {
    std::vector<char> buffer(kExchangeBufferSize);
    THttpReply reply(buffer.data(), kExchangeBufferSize);
    reply.WriteString(std::string(40000, 'b'));
  }
  EXPECT_TRUE(testing::file_names(dir_.tmp()).empty());
}

TEST_F(HttpReplyTest, HeadersAndRedirect) {
  reply_.AddHeader("", "ignored");
  reply_.AddHeader("X-One", "1");
  reply_.SetHeader("x-one", "2");
  reply_.SetHeader("X-Two", "3");
  reply_.mCookies.AddCookie("SID", "1", "/", 0, true, false);
  reply_.SendRedirect("/elsewhere");
  EXPECT_EQ(reply_.mHeaders.lines(),
            (std::vector<std::string>{"x-one:2", "X-Two:3", "Location: /elsewhere"}));
  const ReplyPacket r = commit();
  EXPECT_EQ(r.code, 302);
  EXPECT_EQ(r.data_type, rtNoData);
  EXPECT_TRUE(r.cookies.empty());
  EXPECT_EQ(header(r, "Location"), "/elsewhere");
}

TEST_F(HttpReplyTest, LineBreaksInHeadersCannotStartNewHeaders) {
  struct Case {
    std::function<void(THttpReply&)> write;
    const char* line;
  };
  // clang-format off
  const Case kCases[] = {
    {[](THttpReply& r) { r.SendRedirect("/x\r\nSet-Cookie: a=b"); },  "Location: /x  Set-Cookie: a=b"},
    {[](THttpReply& r) { r.AddHeader("X-A\n", "1\r2"); },             "X-A : 1 2"},
    {[](THttpReply& r) { r.SetHeader("X-B", "v\nSet-Cookie: c=d"); },  "X-B:v Set-Cookie: c=d"},
    {[](THttpReply& r) { r.SetHeaders({"X-C: 1\r\nX-D: 2"}); },        "X-C: 1  X-D: 2"},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    reply_.Clear();
    reply_.SetCacheTTL(-1);
    reply_.mCacheControlEnabled = false;
    reply_.SetCode(200);
    c.write(reply_);
    const ReplyPacket r = commit();
    EXPECT_EQ(r.headers, std::vector<std::string>{c.line});
  }
}

TEST_F(HttpReplyTest, SetHeadersReplacesAllLines) {
  reply_.AddHeader("A", "1");
  reply_.SetHeaders({"B: 2", "C: 3"});
  EXPECT_EQ(reply_.mHeaders.lines(), (std::vector<std::string>{"B: 2", "C: 3"}));
}

TEST_F(HttpReplyTest, NoCachingByDefault) {
  reply_.WriteString("x");
  const ReplyPacket r = commit();
  EXPECT_EQ(header(r, "Cache-Control"), "no-cache");
  EXPECT_EQ(header(r, "Pragma"), "no-cache");
  EXPECT_EQ(header(r, "Expires"), std::nullopt);
}

TEST_F(HttpReplyTest, CachingDerivesExpiresFromTheTtl) {
  reply_.SetCode(200);
  reply_.mAllowCaching = true;
  reply_.mLastModified = base::encode_date(2020, 1, 2);
  const double before = base::now();
  const ReplyPacket r = commit();
  const double after = base::now();
  EXPECT_EQ(header(r, "Cache-Control"), "private");
  EXPECT_EQ(header(r, "Last-Modified"), base::http_date(base::encode_date(2020, 1, 2)));
  const std::set<std::string> allowed = {base::http_date(before + kTwoHours),
                                         base::http_date(after + kTwoHours)};
  ASSERT_TRUE(header(r, "Expires").has_value());
  EXPECT_TRUE(allowed.contains(*header(r, "Expires"))) << *header(r, "Expires");
  EXPECT_EQ(header(r, "Pragma"), std::nullopt);
}

TEST_F(HttpReplyTest, ExpiresAndTtlExcludeEachOther) {
  const double when = base::encode_date(2030, 5, 6) + base::encode_time(7, 8, 9);
  reply_.SetCode(200);
  reply_.SetCacheTTL(30);
  reply_.SetExpires(when);
  EXPECT_EQ(reply_.CacheTTL(), -1);
  reply_.mAllowCaching = true;
  ReplyPacket r = commit();
  EXPECT_EQ(header(r, "Expires"), base::http_date(when));

  reply_.Clear();
  reply_.SetExpires(when);
  reply_.SetCacheTTL(30);
  EXPECT_EQ(reply_.Expires(), 0.0);
}

TEST_F(HttpReplyTest, NotModifiedGetsADate) {
  reply_.SetCode(304);
  reply_.SetCacheTTL(-1);
  const double before = base::now();
  const ReplyPacket r = commit();
  const double after = base::now();
  const std::set<std::string> allowed = {base::http_date(before), base::http_date(after)};
  ASSERT_TRUE(header(r, "Date").has_value());
  EXPECT_TRUE(allowed.contains(*header(r, "Date")));
  EXPECT_EQ(header(r, "Cache-Control"), std::nullopt);
  EXPECT_EQ(header(r, "Expires"), std::nullopt);
}

TEST_F(HttpReplyTest, DisabledCacheControlWritesNoCachingHeaders) {
  reply_.SendFile("/srv/file.bin", true, true);
  const ReplyPacket r = commit();
  EXPECT_TRUE(r.headers.empty());
  EXPECT_EQ(r.data_type, rtFile);
  EXPECT_EQ(r.file_path, "/srv/file.bin");
  EXPECT_TRUE(r.file_delete);
}

TEST_F(HttpReplyTest, CompatibilityModeHeader) {
  struct Case {
    uint16_t code;
    const char* content_type;
    const char* mode;
    bool want;
  };
  const Case kCases[] = {
      {200, "text/html; charset=UTF-8", "IE=edge", true},
      {200, "TEXT/HTML; CHARSET=utf-8", "IE=edge", true},
      {200, "text/html", "IE=edge", false},
      {404, "text/html; charset=UTF-8", "IE=edge", false},
      {200, "text/html; charset=UTF-8", "", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.code) + c.content_type + c.mode);
    reply_.Clear();
    reply_.SetCode(c.code);
    reply_.mContentType = c.content_type;
    reply_.mIECompatibilityMode = c.mode;
    const ReplyPacket r = commit();
    EXPECT_EQ(header(r, "X-UA-Compatible").has_value(), c.want);
  }
}

TEST_F(HttpReplyTest, CookiesRoundTrip) {
  // More significant digits than a 15-digit text keeps: the expiry must come back bit for bit.
  const double expiry =
      base::encode_date(2031, 12, 24) + base::encode_time(13, 14, 15, 16) + 1.0 / 3.0 * 1e-9;
  THTTPCookie& set = reply_.mCookies.AddCookie("SID", "v=1", "/app/", expiry, true, true);
  set.mDomain = "example.com";
  reply_.mCookies.RemoveCookie("OLD", "/");
  reply_.SetCode(204);
  const ReplyPacket r = commit();
  ASSERT_EQ(r.cookies.size(), 2u);
  EXPECT_EQ(r.cookies[0].name, "SID");
  EXPECT_EQ(r.cookies[0].value, "v=1");
  EXPECT_EQ(r.cookies[0].path, "/app/");
  EXPECT_EQ(r.cookies[0].expires, expiry);
  EXPECT_EQ(r.cookies[0].domain, "example.com");
  EXPECT_TRUE(r.cookies[0].http_only);
  EXPECT_TRUE(r.cookies[0].secure);
  EXPECT_EQ(r.cookies[1].name, "OLD");
  EXPECT_EQ(r.cookies[1].value, "");
  EXPECT_EQ(r.cookies[1].expires, -1.0);
  EXPECT_FALSE(r.cookies[1].http_only);
}

TEST_F(HttpReplyTest, SendStreamAndHsmStream) {
  expect_failure([&] { reply_.SendStream(nullptr, false); }, "Source stream is not defined.");
  EXPECT_EQ(reply_.DataType(), rtNone);
  auto memory = std::make_unique<TSvMemoryStream>();
  memory->Write("abc", 3);
  reply_.SendStream(std::move(memory), false);
  EXPECT_TRUE(reply_.mSendingFile);
  EXPECT_EQ(commit().body_text(), "abc");
  EXPECT_FALSE(reply_.mSendingFile);

  reply_.Clear();
  auto small = std::make_unique<THsmStream>(kPacketFlushSize, true);
  small->Write("small", 5);
  reply_.SendHsmStream(std::move(small));
  EXPECT_EQ(commit().body_text(), "small");

  reply_.Clear();
  auto big = std::make_unique<THsmStream>(10, true);
  big->Write("spilled body", 12);
  reply_.SendHsmStream(std::move(big));
  const ReplyPacket r = commit();
  EXPECT_EQ(r.data_type, rtFile);
  EXPECT_TRUE(r.file_delete);
  EXPECT_EQ(base::read_file(r.file_path), "spilled body");
}

TEST_F(HttpReplyTest, SendRenderStream) {
  auto render = std::make_unique<TSvRenderStream>(true);
  render->Write("<p>page</p>");
  reply_.SendRenderStream(std::move(render));
  EXPECT_EQ(reply_.DataType(), rtInline);
  EXPECT_EQ(commit().body_text(), "<p>page</p>");

  reply_.Clear();
  auto big = std::make_unique<TSvRenderStream>(true);
  big->Write(std::string(kPacketFlushSize + 1, 'r'));
  reply_.SendRenderStream(std::move(big));
  const ReplyPacket r = commit();
  EXPECT_EQ(r.data_type, rtFile);
  EXPECT_TRUE(r.file_delete);
  EXPECT_EQ(base::file_size(r.file_path), kPacketFlushSize + 1);

  reply_.Clear();
  reply_.WriteString("x");
  expect_failure([&] { reply_.SendRenderStream(std::make_unique<TSvRenderStream>(true)); },
                 "ContentStream already exists.");
}

// A reply that took over a spilled body owns its file until Commit hands it to the transport:
// clearing or dropping the reply deletes it, a committed one leaves it to the transport.
TEST_F(HttpReplyTest, TakenOverFilesAreDeletedUnlessHandedOver) {
  struct Case {
    const char* what;
    std::function<void(THttpReply&)> take_over;
  };
  const Case cases[] = {
      {"spilled stream",
       [](THttpReply& r) {
         auto big = std::make_unique<THsmStream>(10, true);
         big->Write("spilled body", 12);
         r.SendHsmStream(std::move(big));
       }},
      {"spilled page",
       [](THttpReply& r) {
         auto big = std::make_unique<TSvRenderStream>(true);
         big->Write(std::string(kPacketFlushSize + 1, 'r'));
         r.SendRenderStream(std::move(big));
       }},
  };
  enum class End { kClear, kDrop, kCommitThenClear };
  for (const Case& c : cases) {
    for (const End end : {End::kClear, End::kDrop, End::kCommitThenClear}) {
      SCOPED_TRACE(::testing::Message() << c.what << " " << static_cast<int>(end));
      std::string file;
      {
        std::vector<char> buffer(kExchangeBufferSize);
        THttpReply reply(buffer.data(), kExchangeBufferSize);
        c.take_over(reply);
        ASSERT_EQ(reply.DataType(), rtFile);
        file = reply.mFilePathname;
        ASSERT_TRUE(base::file_exists(file));
        if (end == End::kCommitThenClear) {
          reply.Commit();
        }
        if (end != End::kDrop) {
          reply.Clear();
        }
      }
      EXPECT_EQ(base::file_exists(file), end == End::kCommitThenClear);
      base::delete_file(file);
    }
  }
}

TEST_F(HttpReplyTest, FailedCommitStillFreesTheBody) {
  std::vector<char> tiny(5);
  THttpReply reply(tiny.data(), 5);
  reply.WriteString("x");
  expect_failure([&] { reply.Commit(); }, "aBytes is not large enough to hold stream.");
  EXPECT_EQ(reply.ContentStream(), nullptr);
}

TEST_F(HttpReplyTest, FailedCommitOfASpilledBodyLeavesNoFile) {
  std::vector<char> tiny(12);
  THttpReply reply(tiny.data(), static_cast<int32_t>(tiny.size()));
  reply.WriteString(std::string(40000, 'b'));
  ASSERT_FALSE(testing::file_names(dir_.tmp()).empty());
  expect_failure([&] { reply.Commit(); }, "aBytes is not large enough to hold stream.");
  EXPECT_EQ(reply.ContentStream(), nullptr);
  EXPECT_TRUE(testing::file_names(dir_.tmp()).empty());
}

TEST_F(HttpReplyTest, UninitializedReplyIsRejectedByTheReader) {
  expect_failure([&] { commit(); }, "Uninitialized reply.");
}

}  // namespace
}  // namespace appsrv::server
