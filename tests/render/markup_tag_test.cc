// Writing element trees: end tags by kind, line breaks between child tags, attribute order
// and values, and the tag name added to errors raised while children are written.
#include "render/markup_tag.h"

#include <gtest/gtest.h>

#include <functional>

namespace appsrv::render {
namespace {

TEST(MarkupTag, WritesEachKindOfTagAsItsRulesSay) {
  struct Case {
    const char* what;
    std::function<std::string()> build;
    const char* expected;
  };
  const Case cases[] = {
      {"an input holds no end tag",
       [] {
         TSvHTMLTag form("FORM");
         form.AddHiddenField("SV_FormName", "SvForm2");
         return form.Contents().size() == 1
                    ? static_cast<const TSvMarkupLanguageTag&>(*form.Contents()[0]).Rendered()
                    : std::string();
       },
       "<input type=\"hidden\" name=\"SV_FormName\" value=\"SvForm2\">"},
      {"a form breaks the line before each child tag",
       [] {
         TSvHTMLTag form("form");
         form.AddHiddenField("a", "1");
         form.AddText("t");
         form.AddHiddenField("id1", "b", "");
         return form.Rendered();
       },
       "<form>\r\n<input type=\"hidden\" name=\"a\" value=\"1\">t\r\n"
       "<input type=\"hidden\" name=\"b\" id=\"id1\"></form>"},
      {"a div keeps its child tags on one line",
       [] {
         TSvHTMLTag div("DIV");
         div.AddTag("span").AddText("x");
         div.AddTag("br");
         return div.Rendered();
       },
       "<div><span>x</span><br></div>"},
      {"names and attribute names are lower case",
       [] {
         TSvHTMLTag span("SPAN");
         span.AddStringParam("ID", "A");
         span.AddIntegerParam("Size", -1);
         span.AddBooleanParam("checked", false);
         return span.Rendered();
       },
       "<span id=\"A\" size=\"-1\" checked=\"false\"></span>"},
      {"an attribute set twice keeps its place and the last value",
       [] {
         TSvHTMLTag tag("a");
         tag.AddStringParam("href", "x");
         tag.AddStringParam("id", "i");
         tag.AddStringParam("HREF", "y");
         return tag.Rendered();
       },
       "<a href=\"y\" id=\"i\"></a>"},
      {"values are written as held, quotes and '=' included",
       [] {
         TSvHTMLTag tag("p");
         tag.AddStringParam("title", "say \"hi\" a=b");
         return tag.Rendered();
       },
       "<p title=\"say \"hi\" a=b\"></p>"},
      {"an empty value is ignored unless allowed, and then removes the attribute",
       [] {
         TSvHTMLTag tag("p");
         tag.AddStringParam("a", "1");
         tag.AddStringParam("b", "2");
         tag.AddStringParam("a", "");
         tag.AddStringParam("b", "", true);
         return tag.Rendered();
       },
       "<p a=\"1\"></p>"},
      {"bare attributes, trimmed lists, classes and colors",
       [] {
         TSvHTMLTag tag("td");
         tag.AddParam("nowrap");
         tag.AddParams({"  colspan=2 ", "x"});
         tag.AddClassParam("one");
         tag.AddClassParam("two");
         tag.AddColorParam("bgcolor", RGBColor(255, 128, 0));
         tag.AddColorParam("color", clNone);
         return tag.Rendered();
       },
       "<td nowrap colspan=\"2\" x class=\"one two\" bgcolor=\"#FF8000\"></td>"},
      {"self-closed and unnamed tags",
       [] {
         TSvHTMLTag outer("");
         TSvMarkupLanguageTag& link = outer.AddTag("link");
         link.AddStringParam("rel", "stylesheet");
         link.SetClosingTag(TClosingTag::cbSimpleClose);
         outer.AddBuffer("<b>raw</b>");
         return outer.Rendered();
       },
       "\r\n<link rel=\"stylesheet\"/><b>raw</b>"},
      {"a generic tag writes its end tag even when named like a void element",
       [] {
         TSvMarkupLanguageTag tag("input");
         return tag.Rendered();
       },
       "<input></input>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.build(), c.expected) << c.what;
  }
}

TEST(MarkupTag, ClearedAndReadAttributes) {
  TSvHTMLTag tag("span");
  tag.AddStringParam("class", "A");
  tag.AddParam("bare");
  EXPECT_EQ(tag.Param("CLASS"), "A");
  EXPECT_EQ(tag.Param("bare"), std::nullopt);
  tag.ClearParam("class");
  EXPECT_EQ(tag.Rendered(), "<span bare></span>");
}

class FailingElement : public TSvMarkupLanguageElement {
 public:
  void Render(std::string&) const override { throw std::runtime_error("disk full"); }
};

TEST(MarkupTag, ErrorsWhileWritingChildrenNameEachEnclosingTag) {
  TSvHTMLTag body("body");
  body.AddTag("div").AddElement(std::make_unique<FailingElement>());
  try {
    std::string out;
    body.Render(out);
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "disk full\r\n Tag: div\r\n Tag: body");
  }
}

}  // namespace
}  // namespace appsrv::render
