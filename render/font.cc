#include "render/font.h"

namespace appsrv::render {

void TSvFont::SetSize(int32_t v) {
  FSize = v;
  FPxSize = static_cast<int32_t>(static_cast<int64_t>(v) * 96 / 72);
  Changed();
}

const std::string& TSvFont::StyleText() const {
  if (!FEnabled || !FRenderedStyle.empty()) {
    return FRenderedStyle;
  }
  std::string s;
  if (!FFontName.empty()) {
    const bool quote = FFontName.find(' ') != std::string::npos;
    s += "font-family: " + (quote ? "\"" + FFontName + "\"" : FFontName) + "; ";
  }
  s += (FStyle & fsBold) != 0 ? "font-weight: bold; " : "font-weight: normal; ";
  s += (FStyle & fsItalic) != 0 ? "font-style: italic; " : "font-style: normal; ";
  s += "text-decoration:";
  if ((FStyle & (fsUnderline | fsStrikeOut)) == 0) {
    s += " none";
  }
  if ((FStyle & fsUnderline) != 0) {
    s += " underline";
  }
  if ((FStyle & fsStrikeOut) != 0) {
    s += " line-through";
  }
  s += ";";
  s += "font-size: " + std::to_string(FPxSize) + "px; ";
  if (!FFontFamily.empty()) {
    s += "font-family: " + FFontFamily + "; ";
  }
  if (!FFontVariant.empty()) {
    s += "font-variant: " + FFontVariant + "; ";
  }
  if (FColor != clNone && FColor != clWindowText) {
    s += "color: " + ColorText(FColor) + "; ";
  }
  FRenderedStyle = std::move(s);
  return FRenderedStyle;
}

}  // namespace appsrv::render
