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

// Hostile settings text, as it would reach a page script. Whatever the text, the literal holds
// it whole: it neither ends the string, the line or the script element, nor opens a comment.
TEST(HtmlEncodeTest, ScriptStringBodies) {
  struct Case {
    std::string_view in;
    std::string_view want;
  };
  // clang-format off
  const Case cases[] = {
      {"/app/$/?a=1&b=2",            "/app/$/?a=1&b=2"},
      {"a\"b",                       "a\\\"b"},
      {"it's",                       "it\\'s"},
      {"a\\b",                       "a\\\\b"},
      {"\\\"",                       "\\\\\\\""},
      {"</script><script>alert(1)",  "\\u003C/script\\u003E\\u003Cscript\\u003Ealert(1)"},
      {"</SCRIPT >",                 "\\u003C/SCRIPT \\u003E"},
      {"<!-- x",                     "\\u003C!-- x"},
      {"a\nb\rc\td\x01\x7F",           "a\\u000Ab\\u000Dc\\u0009d\\u0001\\u007F"},
      {"a\xE2\x80\xA8" "b\xE2\x80\xA9" "c", "a\\u2028b\\u2029c"},
      {"\xE2\x80\xA6 \xC3\xA9 \xE2\x82\xAC", "\xE2\x80\xA6 \xC3\xA9 \xE2\x82\xAC"},
      {"\xE2\x80",                   "\xE2\x80"},
      {std::string_view("a\0b", 3),  "a\\u0000b"},
      {"",                           ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(js_string_body(c.in), c.want);
  }
}

}  // namespace
}  // namespace appsrv::base
