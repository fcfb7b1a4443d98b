#include "server/pipeline/content_base.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/request_packet_writer.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

class CountingContent : public TContentBase {
 public:
  bool Execute(THttpRequest&, THttpReply& aReply, const std::string&, TSvApplication*,
               base::NameValueList& aParams) override {
    ++calls;
    aReply.WriteString("ran " + aParams.value("a"));
    return true;
  }
  int calls = 0;
};

class ContentBaseTest : public testing::PacketTest {
 protected:
  ContentBaseTest() {
    RequestPacketFields fields;
    fields.query_fields = {"a=1"};
    write_request_packet(fields, buffer_.data(), kExchangeBufferSize);
    request_ = std::make_unique<THttpRequest>(buffer_.data(), kExchangeBufferSize);
    reply_ = std::make_unique<THttpReply>(buffer_.data(), kExchangeBufferSize);
    base::write_file(dir_.tmp() + "present.html", "x");
  }

  std::unique_ptr<THttpRequest> request_;
  std::unique_ptr<THttpReply> reply_;
};

TEST_F(ContentBaseTest, Defaults) {
  CountingContent content;
  EXPECT_EQ(content.mPath, "");
  EXPECT_TRUE(content.mFileMustExist);
  EXPECT_FALSE(content.mCanStartSession);
  EXPECT_TRUE(content.mRequiresSessionStart);
  std::string group = "stale";
  EXPECT_TRUE(content.RequestAuth(*request_, group));
  EXPECT_EQ(group, "");
}

TEST_F(ContentBaseTest, DoExecute) {
  struct Case {
    bool must_exist;
    std::string file;
    bool result;
    int calls;
    uint16_t code;
    const char* content_type;
  };
  const std::string d = dir_.tmp();
  const Case kCases[] = {
      {false, d + "missing.html", true, 1, 200, "text/html; charset=UTF-8"},
      {true, d + "present.html", true, 1, 200, "text/html; charset=UTF-8"},
      {true, d + "missing.html", true, 0, 404, "text/html"},
      {true, d + "sub/index.svp", false, 0, 200, "text/html; charset=UTF-8"},
      {true, d + "sub/INDEX.SVP", false, 0, 200, "text/html; charset=UTF-8"},
      {true, d, true, 0, 404, "text/html"},  // a folder is not a file
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.file + (c.must_exist ? " must exist" : ""));
    reply_->Clear();
    CountingContent content;
    content.mFileMustExist = c.must_exist;
    EXPECT_EQ(content.DoExecute(*request_, *reply_, c.file, nullptr, request_->GetParams()),
              c.result);
    EXPECT_EQ(content.calls, c.calls);
    EXPECT_EQ(reply_->Code(), c.code);
    EXPECT_EQ(reply_->mContentType, c.content_type);
    EXPECT_EQ(reply_->DataType(), c.calls == 1 ? rtInline : c.code == 404 ? rtNoData : rtNone);
  }
}

}  // namespace
}  // namespace appsrv::server
