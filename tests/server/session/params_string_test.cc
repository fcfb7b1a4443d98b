#include "server/session/params_string.h"

#include <gtest/gtest.h>

#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

TEST(ParamsStringTest, RawForm) {
  TSvParamsString p;
  EXPECT_EQ(p.Raw(), "");
  p.SetRaw("?a=1&b=2&&c=");
  EXPECT_EQ(p.lines(), (std::vector<std::string>{"a=1", "b=2", "c="}));
  EXPECT_EQ(p.Raw(), "?a=1&b=2&c=");
  EXPECT_EQ(p.value("A"), "1");
  p.SetRaw("");
  EXPECT_TRUE(p.empty());
}

// Parameters travel through the raw text (a restarted session takes them over) and must
// come back as they were, blanks and control characters included.
TEST(ParamsStringTest, RawTextKeepsEachPieceAsItCame) {
  struct Case {
    std::string_view raw;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"?a=1 &", {"a=1 "}},
      {"?a=1&b=2 ", {"a=1", "b=2 "}},
      {"? a = 1\t&c=\r\n", {" a = 1\t", "c=\r\n"}},
      {"?x=\x01\x1f&&y= ", {"x=\x01\x1f", "y= "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    TSvParamsString p;
    p.SetRaw(c.raw);
    EXPECT_EQ(p.lines(), c.lines);
    TSvParamsString back;
    back.SetRaw(p.Raw());
    EXPECT_EQ(back.lines(), c.lines);
  }
}

TEST(ParamsStringTest, StartParameterCheck) {
  struct Case {
    const char* line;
    size_t position;  // 0: harmless
  };
  // clang-format off
  const Case kCases[] = {
    {"name=value",                  0},
    {"x=<SCRIPT>alert(1)",          3},
    {"x=<iframe src=a>",            3},
    {"go=javascript :alert(1)",     4},
    {"go=vbscript:msgbox",          4},
    {"a=x href =y",                 5},
    {"a=eval (1)",                  3},
    {"a=expression(1)",             3},
    {"a=url(x)",                    3},
    {"a=url=x",                     3},
    {"a=evaluate",                  0},
    {"a=javascript",                0},
    {"src",                         0},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    const std::optional<size_t> hit = CheckStartParameter(c.line);
    EXPECT_EQ(hit.value_or(0), c.position);
  }
}

TEST(ParamsStringTest, FillFromKeepsSafeNonFrameworkLines) {
  testing::FakeClock clock;
  testing::TempFolder folder;
  const auto c =
      TSvServerControllerBase::Create<TSvServerControllerBase>(folder.environment(clock));
  base::NameValueList params;
  params.add("a=1");
  params.add("sv_x=2");
  params.add("b=<img src=x>");
  params.add("c=3");
  TSvParamsString p;
  p.FillFrom(params, *c);
  EXPECT_EQ(p.Raw(), "?a=1&c=3");

  std::vector<std::pair<std::string, int>> seen;
  c->OnParseParameter = [&](std::string& text, bool& keep, int position) {
    seen.emplace_back(text, position);
    if (position != 0) {
      text = "b=clean";
      keep = true;
    }
  };
  p.FillFrom(params, *c);
  EXPECT_EQ(p.Raw(), "?a=1&b=clean&c=3");
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{
                      {"a=1", 0}, {"b=<img src=x>", 3}, {"c=3", 0}}));
}

}  // namespace
}  // namespace appsrv::server
