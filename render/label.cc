#include "render/label.h"

#include "base/html_encode.h"
#include "render/page_context.h"

namespace appsrv::render {

std::unique_ptr<TSvHTMLTag> TSvLabel::RenderHTML(TSvPageContext40& context) {
  auto tag = std::make_unique<TSvHTMLTag>(FForControl != nullptr ? "LABEL" : "SPAN");
  if (FForControl != nullptr) {
    tag->AddStringParam("for", FForControl->HTMLName());
  }
  std::string text;
  if (Caption.empty()) {
    text = "<span></span>";
  } else {
    text = FRawText ? Caption : HTMLEncode(Caption, true, FConvertSpaces, context.IsCallBack());
    if (FNoWrap) {
      text = "<nobr>" + text + "</nobr>";
    }
  }
  tag->AddText(std::move(text));
  if (ShowHint && !Hint.empty()) {
    tag->AddStringParam("title", base::html_encode(Hint));
  }
  return tag;
}

std::string TSvLabel::RenderStyle(const TSvPageContext40& context) {
  // Set aside while the style is computed: equal flags count as auto-sized.
  const bool saved_auto = auto_size_;
  const bool saved_render = RenderSize;
  if (auto_size_ == RenderSize) {
    auto_size_ = true;
    RenderSize = false;
  }
  std::string s;
  try {
    s = TSvControl::RenderStyle(context);
  } catch (...) {
    auto_size_ = saved_auto;
    RenderSize = saved_render;
    throw;
  }
  auto_size_ = saved_auto;
  RenderSize = saved_render;
  if (Css.empty()) {
    if (FAlignment == TAlignment::taRightJustify) {
      s += "text-align:right; ";
    } else if (FAlignment == TAlignment::taCenter) {
      s += "text-align:center; ";
    }
    if (Color != clNone) {
      s += "background-color: " + ColorText(Color) + ";";
    }
  }
  return s;
}

}  // namespace appsrv::render
