#include "base/html_encode.h"

#include <gtest/gtest.h>

namespace appsrv::base {
namespace {

TEST(HtmlEncodeTest, MarkupCharactersLineEndsAndBlanks) {
  struct Case {
    std::string_view in;
    bool line_ends_as_br;
    std::string_view blank;
    std::string_view want;
  };
  const Case cases[] = {
      {"a<b & 'c' > \"d\"", false, " ", "a&lt;b &amp; &#39;c&#39; &gt; &quot;d&quot;"},
      {"&amp;", false, " ", "&amp;amp;"},  // entities already there are encoded once more
      {"one\r\ntwo\n", true, " ", "one<br>two<br>"},
      {"one\r\ntwo", false, " ", "one\r\ntwo"},
      {"a b  c", false, "&nbsp;", "a&nbsp;b&nbsp;&nbsp;c"},
      {"Grüße €", false, " ", "Grüße €"},
      {std::string_view("a\0b", 3), false, " ", std::string_view("a\0b", 3)},
      {"", true, "&nbsp;", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(html_encode(c.in, c.line_ends_as_br, c.blank), c.want) << c.in;
  }
}

}  // namespace
}  // namespace appsrv::base
