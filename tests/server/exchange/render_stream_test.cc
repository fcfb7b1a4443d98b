#include "server/exchange/render_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "base/files.h"
#include "server/exchange/http_packet.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

TEST(RenderStreamTest, WritesIntoItsOwnSpillingStream) {
  testing::ProcessTempFolder dir;
  for (const bool delete_file : {true, false}) {
    SCOPED_TRACE(delete_file);
    std::string path;
    {
      TSvRenderStream render(delete_file);
      EXPECT_EQ(render.HsmStream().FlushSize(), kPacketFlushSize);
      EXPECT_TRUE(render.FreeStream());
      render.WriteLine("<html>");
      EXPECT_EQ(render.GetAsString(), "<html>\r\n");
      render.Write(std::string(kPacketFlushSize, 'x'));
      ASSERT_TRUE(render.HsmStream().IsFlushed());
      path = render.HsmStream().Pathname();
    }
    EXPECT_EQ(base::file_exists(path), !delete_file);
  }
}

}  // namespace
}  // namespace appsrv::server
