// A control turned into its element, style rule and start-up line, told on the label and on
// a small input control.
#include "render/label.h"

#include <gtest/gtest.h>

#include "render/form.h"
#include "render/layout_mgr.h"
#include "render/page_context.h"

namespace appsrv::render {
namespace {

struct Rendered {
  std::string element;
  std::string style;  // the style element
  std::string object_lines;
};

// Renders the form's controls outside a session (so without font styles).
Rendered RenderControls(TSvForm& form) {
  TSvPageContext40 ctx(nullptr, &form, "<!DOCTYPE HTML>");
  form.LayoutMgr().RenderControls(form, ctx);
  Rendered r;
  for (const auto& element : ctx.FBodyElements) {
    element->Render(r.element);
  }
  r.style = ctx.FStyleTag.Rendered();
  r.object_lines = ctx.FSVCLInitProc;
  return r;
}

TSvLabel& AddLabel(TSvForm& form, const std::string& caption) {
  auto label = std::make_unique<TSvLabel>("SvLabel1");
  label->Left = 104;
  label->Top = 56;
  label->Width = 465;
  label->Height = 36;
  label->Caption = caption;
  return form.AddControl(std::move(label));
}

TEST(Label, ElementRuleAndObjectLine) {
  TSvForm form(nullptr, "F");
  AddLabel(form, "AppService Server Is Running...");
  const Rendered r = RenderControls(form);
  EXPECT_EQ(r.element,
            "<span class=\"SVLABEL1CSS\" id=\"SVLABEL1\">AppService Server Is Running...</span>");
  EXPECT_EQ(r.style,
            "<style type=\"text/css\">\r\n.SVLABEL1CSS {position: absolute; left: 104px; top: "
            "56px;z-index: 100; padding: 0; }\r\n</style>");
  EXPECT_EQ(r.object_lines, "  SV.initSVCL(SVCLForm,\"SVLABEL1\",false);\r\n");
}

TEST(Label, CaptionForms) {
  struct Case {
    const char* what;
    std::function<void(TSvLabel&)> set;
    const char* element;
  };
  const Case cases[] = {
      {"empty caption", [](TSvLabel& l) { l.Caption = ""; },
       "<span class=\"SVLABEL1CSS\" id=\"SVLABEL1\"><span></span></span>"},
      {"encoded, line ends converted, spaces kept", [](TSvLabel& l) { l.Caption = "a <b>\r\nc d"; },
       "<span class=\"SVLABEL1CSS\" id=\"SVLABEL1\">a &lt;b&gt;<br>c d</span>"},
      {"spaces converted on request",
       [](TSvLabel& l) {
         l.Caption = "c d";
         l.FConvertSpaces = true;
       },
       "<span class=\"SVLABEL1CSS\" id=\"SVLABEL1\">c&nbsp;d</span>"},
      {"raw text without wrapping",
       [](TSvLabel& l) {
         l.Caption = "<i>x</i>";
         l.FRawText = true;
         l.FNoWrap = true;
       },
       "<span class=\"SVLABEL1CSS\" id=\"SVLABEL1\"><nobr><i>x</i></nobr></span>"},
      {"hint as title",
       [](TSvLabel& l) {
         l.ShowHint = true;
         l.Hint = "it's";
       },
       "<span title=\"it&#39;s\" class=\"SVLABEL1CSS\" id=\"SVLABEL1\">x</span>"},
  };
  for (const Case& c : cases) {
    TSvForm form(nullptr, "F");
    TSvLabel& label = AddLabel(form, "x");
    c.set(label);
    EXPECT_EQ(RenderControls(form).element, c.element) << c.what;
  }
}

TEST(Label, LabelForAnotherControl) {
  TSvForm form(nullptr, "F");
  TSvLabel& target = AddLabel(form, "t");
  auto label = std::make_unique<TSvLabel>("Caption2");
  label->Caption = "Name";
  label->FForControl = &target;
  form.AddControl(std::move(label));
  EXPECT_NE(RenderControls(form).element.find(
                "<label for=\"SVLABEL1\" class=\"CAPTION2CSS\" id=\"CAPTION2\">Name</label>"),
            std::string::npos);
}

TEST(Label, SizeAlignmentAndBackgroundInTheRule) {
  struct Case {
    bool auto_size;
    bool render_size;
    bool size_written;
  };
  // The size goes in only with AutoSize off and RenderSize on.
  const Case cases[] = {
      {true, false, false}, {false, true, true}, {true, true, false}, {false, false, false}};
  for (const Case& c : cases) {
    TSvForm form(nullptr, "F");
    TSvLabel& label = AddLabel(form, "x");
    label.SetAutoSize(c.auto_size);
    label.RenderSize = c.render_size;
    const std::string style = RenderControls(form).style;
    EXPECT_EQ(style.find("width: 465px; height: 36px; ") != std::string::npos, c.size_written)
        << c.auto_size << c.render_size << style;
    // The flags are restored after the style was computed.
    EXPECT_EQ(label.AutoSize(), c.auto_size);
    EXPECT_EQ(label.RenderSize, c.render_size);
  }

  TSvForm form(nullptr, "F");
  TSvLabel& label = AddLabel(form, "x");
  label.FAlignment = TAlignment::taCenter;
  label.Color = RGBColor(255, 128, 0);
  label.ZIndex = -100;
  label.StyleRenderOptions.RenderAbsolute = false;
  EXPECT_EQ(RenderControls(form).style,
            "<style type=\"text/css\">\r\n.SVLABEL1CSS {position: relative; left: 104px; top: "
            "56px;padding: 0; text-align:center; background-color: #FF8000;}\r\n</style>");
}

TEST(Label, AlignedControlsSetTheirAlignmentAndAnchors) {
  TSvForm form(nullptr, "F");
  TSvLabel& label = AddLabel(form, "x");
  label.Align = TAlign::alClient;
  label.Anchors = {true, true, true, false};
  EXPECT_EQ(RenderControls(form).object_lines,
            "  SV.initSVCL(SVCLForm,\"SVLABEL1\",false);\r\n"
            "\r\n  if (SVLABEL1SVCL) {\r\n"
            "    SVLABEL1SVCL.SetAlign(alClient);\r\n"
            "    SVLABEL1SVCL.SetAnchors(new CreateAnchors(true, true, true, false));\r\n"
            "  }\r\n");
}

// An input control with a class of its own: its style goes into its style attribute, and it
// sits in a form element with its input neighbours.
class TestEdit : public TSvControl {
 public:
  using TSvControl::TSvControl;
  std::unique_ptr<TSvHTMLTag> RenderHTML(TSvPageContext40&) override {
    auto tag = std::make_unique<TSvHTMLTag>("input");
    tag->AddStringParam("class", "custom");
    tag->AddStringParam("style", "color: red;");
    return tag;
  }
  bool TakesInput() const override { return true; }
  bool HasClientValue() const override { return true; }
  void RegisterHiddenInputs(TSvPageContext40& ctx) override { ctx.AppendHiddenInput("IFEDIT"); }
};

TEST(Control, InputControlsTakeInlineStyleNamesAndAFormGroup) {
  TSvForm form(nullptr, "F");
  for (const char* name : {"Edit1", "Edit2"}) {
    auto edit = std::make_unique<TestEdit>(name);
    edit->Left = 1;
    edit->Top = 2;
    edit->StyleRenderOptions.RenderPadding = false;
    form.AddControl(std::move(edit));
  }
  TSvPageContext40 ctx(nullptr, &form, "<!DOCTYPE HTML>");
  form.LayoutMgr().RenderControls(form, ctx);
  ASSERT_EQ(ctx.FBodyElements.size(), 1u);
  std::string out;
  ctx.FBodyElements[0]->Render(out);
  const std::string style =
      "position: absolute; left: 1px; top: 2px;z-index: 100; width: 121px; height: 21px; ";
  EXPECT_EQ(out,
            "<form onsubmit=\"return FormDefaultSubmit();\">\r\n<input class=\"custom\" style=\"" +
                style +
                "color: red;\" id=\"EDIT1\" name=\"EDIT1\">\r\n<input class=\"custom\" style=\"" +
                style + "color: red;\" id=\"EDIT2\" name=\"EDIT2\"></form>");
  EXPECT_EQ(ctx.FStyleTag.Rendered(), "<style type=\"text/css\">\r\n</style>");
  EXPECT_EQ(
      ctx.FSVCLInitProc,
      "  SV.initSVCL(SVCLForm,\"EDIT1\",true);\r\n  SV.initSVCL(SVCLForm,\"EDIT2\",true);\r\n");
  // The hidden input is registered once.
  EXPECT_EQ(ctx.FFormTag->Rendered(), "<form>\r\n<input type=\"hidden\" name=\"IFEDIT\"></form>");
}

TEST(Control, InvisibleControlsRenderOnlyWhenAsked) {
  TSvForm form(nullptr, "F");
  AddLabel(form, "x").Visible = false;
  EXPECT_EQ(RenderControls(form).element, "");
  form.RenderInvisibleControls = true;
  EXPECT_NE(RenderControls(form).element, "");
}

// The hint is settings text: it stays inside its quoted attribute whatever it holds.
TEST(Label, HintsAreEscapedAsAttributeValues) {
  struct Case {
    std::string hint;
    std::string title;
  };
  const Case kCases[] = {
      {"a\" onmouseover=\"alert(1)", "a&quot; onmouseover=&quot;alert(1)"},
      {"\"><script>alert(1)</script>", "&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"it's & more", "it&#39;s &amp; more"},
      {"&quot;", "&amp;quot;"},
      {"Grüße\nzwei", "Grüße\nzwei"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.hint);
    TSvForm form(nullptr, "F");
    TSvLabel& label = AddLabel(form, "x");
    label.ShowHint = true;
    label.Hint = c.hint;
    EXPECT_EQ(RenderControls(form).element,
              "<span title=\"" + c.title + "\" class=\"SVLABEL1CSS\" id=\"SVLABEL1\">x</span>");
  }
}

}  // namespace
}  // namespace appsrv::render
