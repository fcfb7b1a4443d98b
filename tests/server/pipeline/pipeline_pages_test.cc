#include "server/pipeline/pipeline_pages.h"

#include <gtest/gtest.h>

namespace appsrv::server {
namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

TEST(PipelinePagesTest, StartPageWithoutSession) {
  const std::string page = start_page("/appservice/Add?a=1", std::nullopt);
  EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(page.find("SVStart(\"/appservice/Add?a=1\");"), std::string::npos);
  EXPECT_NE(page.find("\"SV_AjaxID=\" + new Date().getTime() + \"&SV_width=\" + w + "
                      "\"&SV_height=\" + h + \"\";"),
            std::string::npos);
  EXPECT_NE(page.find("new XMLHttpRequest()"), std::string::npos);
  EXPECT_NE(page.find("x.status == 200 && t.charAt(0) != \"<\""), std::string::npos);
  EXPECT_NE(page.find("window.location.replace(t)"), std::string::npos);
  EXPECT_EQ(page.find("SV_SessionID_"), std::string::npos);
  EXPECT_TRUE(ends_with(page, "</form>\r\n</body>\r\n</html>"));
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
}

TEST(PipelinePagesTest, StartPageWithSession) {
  const std::string page = start_page("/$/StartCheck", StartPageSession{"abcXYZ", 36});
  EXPECT_NE(page.find("\"&SV_height=\" + h + \"&SV_SessionID_=abcXYZ&SV_TrackID_=10\";"),
            std::string::npos);
  EXPECT_NE(page.find("SVStart(\"/$/StartCheck\");"), std::string::npos);
}

TEST(PipelinePagesTest, StartCheckPage) {
  const std::string page = start_check_page("/?a=1&b=\"x\"", "abcXYZ", 1);
  EXPECT_NE(page.find("<form method=\"post\" action=\"/?a=1&amp;b=&quot;x&quot;\">"),
            std::string::npos);
  for (const char* field :
       {"<input type=\"hidden\" name=\"SV_width\"", "<input type=\"hidden\" name=\"SV_height\"",
        "name=\"SV_SessionID_\" value=\"abcXYZ\"", "name=\"SV_TrackID_\" value=\"1\"",
        "onload=\"SVStartCheck()\"", "f.submit();"}) {
    SCOPED_TRACE(field);
    EXPECT_NE(page.find(field), std::string::npos);
  }
}

TEST(PipelinePagesTest, FixedBodies) {
  EXPECT_EQ(kNotFoundBody, "<html><body>404 - Not Found</body></html>");
  EXPECT_EQ(status_xml(-1),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><status>-1</status>");
  EXPECT_EQ(status_xml(0),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><status>0</status>");
  EXPECT_EQ(upload_error_json("a\"b\\c/d\ne\rf"), "{\"error\":\"a\\\"b\\\\c\\/d\\ne\\rf\"}");
}

}  // namespace
}  // namespace appsrv::server
