#include "server/start_params.h"

#include <gtest/gtest.h>

namespace appsrv::server {
namespace {

TEST(StartParamsTest, CheckFindsTheFirstHit) {
  struct Case {
    std::string_view line;
    std::optional<size_t> want;
  };
  // clang-format off
  const Case kCases[] = {
      {"name=value",                        std::nullopt},
      {"q=<b>bold</b>",                     std::nullopt},
      {"q=<SCRIPT>alert(1)</script>",       2},
      {"q=<embed",                          2},
      {"q=<applet",                         2},
      {"q=<frameset",                       2},
      {"q=<form",                           2},
      {"q=<iframe",                         2},
      {"q=<meta",                           2},
      {"q=<layer",                          2},
      {"q=<object",                         2},
      {"q=<img src",                        2},
      {"q=<link",                           2},
      {"q=<div",                            2},
      {"u=JavaScript:alert(1)",             2},
      {"u=vbscript  :x",                    2},
      {"u=javascript is fine",              std::nullopt},
      {"x=a href = y",                      4},
      {"x=src=y",                           2},
      {"x=url=y",                           2},
      {"x=url (y)",                         2},
      {"x=eval(1)",                         2},
      {"x=expression\t(1)",                 2},
      {"x=evaluate(1)",                     std::nullopt},
      {"x=eval",                            std::nullopt},
      {"x=ab<div>src=",                     4},
      {"x=src then <img",                   11},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(check_start_param(c.line), c.want);
  }
}

TEST(StartParamsTest, FilterSkipsFrameworkAndSuspiciousLines) {
  base::NameValueList params;
  for (const char* line : {"a=1", "SV_width=100", "sv_x=2", "b=<script>", "c=3"}) {
    params.add(line);
  }
  EXPECT_EQ(filter_start_params(params, nullptr), (std::vector<std::string>{"a=1", "c=3"}));

  std::vector<std::optional<size_t>> positions;
  const ParseParameterHook hook = [&](std::string& text, bool& keep,
                                      std::optional<size_t> position) {
    positions.push_back(position);
    if (text == "b=<script>") {
      text = "b=clean";
      keep = true;
    } else if (text == "c=3") {
      keep = false;
    }
  };
  EXPECT_EQ(filter_start_params(params, hook), (std::vector<std::string>{"a=1", "b=clean"}));
  EXPECT_EQ(positions, (std::vector<std::optional<size_t>>{std::nullopt, 2, std::nullopt}));
}

TEST(StartParamsTest, JoinAndEncode) {
  EXPECT_EQ(join_start_params({}), "");
  EXPECT_EQ(join_start_params({"a=1", "b=2"}), "?a=1&b=2");
  struct Case {
    std::string_view text;
    std::string_view want;
  };
  // clang-format off
  constexpr Case kCases[] = {
      {"?a=1&b=2",                  "?a=1&b=2"},
      {"?q=a b",                    "?q=a%20b"},
      {"?q=\"#%*+,/;<>[\\]^`{|}",   "?q=%22%23%25%2A%2B%2C%2F%3B%3C%3E%5B%5C%5D%5E%60%7B%7C%7D"},
      {"?q=\xC3\xA9",               "?q=%C3%A9"},
      {"?q=\t\x7F!~'()$@:",         "?q=%09%7F!~'()$@:"},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(encode_start_params(c.text), c.want);
  }
}

}  // namespace
}  // namespace appsrv::server
