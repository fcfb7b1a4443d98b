#include "render/control.h"

#include "base/text.h"
#include "render/page_context.h"

namespace appsrv::render {

namespace {

const char* align_name(TAlign align) {
  switch (align) {
    case TAlign::alNone:
      return "alNone";
    case TAlign::alTop:
      return "alTop";
    case TAlign::alBottom:
      return "alBottom";
    case TAlign::alLeft:
      return "alLeft";
    case TAlign::alRight:
      return "alRight";
    case TAlign::alClient:
      return "alClient";
  }
  return "alNone";
}

const char* flag(bool v) { return v ? "true" : "false"; }

}  // namespace

std::string TSvControl::HTMLName() const { return base::ascii_uppercase(Name); }

std::string TSvControl::CssClassName() const { return HTMLName() + "CSS"; }

std::string TSvControl::RenderStyle(const TSvPageContext40& context) {
  const TSvStyleRenderOptions& o = StyleRenderOptions;
  std::string s;
  if (o.RenderPosition && Parent != nullptr) {
    s += o.RenderAbsolute ? "position: absolute;" : "position: relative;";
    s += " left: " + std::to_string(Left) + "px;";
    s += " top: " + std::to_string(Top) + "px;";
  }
  if (o.RenderZIndex && ZIndex != -100) {
    s += "z-index: " + std::to_string(ZIndex + 100) + "; ";
  }
  if ((RenderSize && o.RenderSize) || !AutoSized()) {
    s += "width: " + std::to_string(Width) + "px; height: " + std::to_string(Height) + "px; ";
  }
  if (o.RenderPadding) {
    s += "padding: 0; ";
  }
  if (Clips()) {
    s += "clip:rect(0px," + std::to_string(Width) + "px," + std::to_string(Height) + "px," +
         "0px); ";
  }
  if (o.RenderFont && context.FWebApplication != nullptr) {
    s += Font.StyleText();
  }
  if (!Cursor.empty()) {
    s += "cursor: " + Cursor + "; ";
  }
  return s;
}

std::string TSvControl::StartupLine() const {
  const std::string name = HTMLName();
  std::string line = "  SV.initSVCL(SVCLForm,\"" + name + "\"," + flag(HasClientValue()) + ");";
  line += "\r\n";
  const bool default_anchors = Anchors.Left && Anchors.Top && !Anchors.Right && !Anchors.Bottom;
  if (StyleRenderOptions.RenderPosition && (Align != TAlign::alNone || !default_anchors)) {
    line += "\r\n  if (" + name + "SVCL) {\r\n";
    line += "    " + name + "SVCL.SetAlign(" + align_name(Align) + ");\r\n";
    line += "    " + name + "SVCL.SetAnchors(new CreateAnchors(" + flag(Anchors.Left) + ", " +
            flag(Anchors.Right) + ", " + flag(Anchors.Top) + ", " + flag(Anchors.Bottom) +
            "));\r\n";
    line += "  }\r\n";
  }
  return line;
}

}  // namespace appsrv::render
