// Text encodings of captions and hidden values, color texts and font style texts.
#include "render/html_text.h"

#include <gtest/gtest.h>

#include "render/font.h"

namespace appsrv::render {
namespace {

TEST(HtmlText, CaptionEncoding) {
  struct Case {
    const char* in;
    bool line_ends;
    bool spaces;
    bool callback;
    const char* out;
  };
  const Case cases[] = {
      {"a<b & 'c' > \"d\"", false, false, false, "a&lt;b &amp; &#39;c&#39; &gt; &quot;d&quot;"},
      {"one\r\ntwo", true, false, false, "one<br>two"},
      {"one\r\ntwo", false, false, false, "one\r\ntwo"},
      {"a b", false, true, false, "a&nbsp;b"},
      {"a b", false, true, true, "a&amp;nbsp;b"},
      {"a b", true, false, false, "a b"},
      {"Grüße €", true, false, false, "Grüße €"},
      {"", true, true, false, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HTMLEncode(c.in, c.line_ends, c.spaces, c.callback), c.out) << c.in;
  }
}

TEST(HtmlText, LiteralEncodingKeepsOnlyLettersDigitsAndFourMarks) {
  EXPECT_EQ(HTMLLiteral("Az09,-._"), "Az09,-._");
  EXPECT_EQ(HTMLLiteral("a b"), "a&#32;b");
  EXPECT_EQ(HTMLLiteral("\"<&>'"), "&#34;&#60;&#38;&#62;&#39;");
  // UTF-16 code units, so a character outside the basic plane gives two entities.
  EXPECT_EQ(HTMLLiteral("é€😀"), "&#233;&#8364;&#55357;&#56832;");
}

TEST(HtmlText, ColorText) {
  EXPECT_EQ(ColorText(RGBColor(255, 128, 0)), "#FF8000");
  EXPECT_EQ(ColorText(RGBColor(0, 0, 0)), "#000000");
  EXPECT_EQ(ColorText(RGBColor(1, 2, 254)), "#0102FE");
  EXPECT_EQ(ColorText(clNone), "");
  EXPECT_EQ(ColorText(clTransparent), "transparent");
}

TEST(Font, PixelSizeFollowsThePointSize) {
  const std::pair<int, int> cases[] = {{18, 24}, {11, 14}, {10, 13}, {8, 10}, {0, 0}};
  for (const auto& [points, pixels] : cases) {
    TSvFont font;
    font.SetSize(points);
    EXPECT_EQ(font.PxSize(), pixels) << points;
  }
}

TEST(Font, StyleText) {
  TSvFont font;
  font.SetSize(18);
  EXPECT_EQ(font.StyleText(),
            "font-weight: normal; font-style: normal; text-decoration: none;font-size: 24px; ");
  // A change drops the cached text.
  font.SetStyle(fsBold | fsItalic | fsUnderline | fsStrikeOut);
  font.SetFontName("Times New Roman");
  font.SetFontFamily("serif");
  font.SetFontVariant("small-caps");
  font.SetColor(RGBColor(255, 0, 0));
  EXPECT_EQ(font.StyleText(),
            "font-family: \"Times New Roman\"; font-weight: bold; font-style: italic; "
            "text-decoration: underline line-through;font-size: 24px; font-family: serif; "
            "font-variant: small-caps; color: #FF0000; ");
  font.SetColor(clWindowText);
  EXPECT_EQ(font.StyleText().find("color"), std::string::npos);
  font.SetEnabled(false);
  EXPECT_EQ(font.StyleText(), "");
}

}  // namespace
}  // namespace appsrv::render
