// A control's font and the style text it adds to the control's style rule.
#pragma once

#include <cstdint>
#include <string>

#include "render/html_text.h"

namespace appsrv::render {

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

class TSvFont {
 public:
  TColor Color() const { return FColor; }
  void SetColor(TColor v) {
    FColor = v;
    Changed();
  }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v) {
    FEnabled = v;
    Changed();
  }
  // Points; the pixel size follows (96 pixels per 72 points, truncated).
  int32_t Size() const { return FSize; }
  void SetSize(int32_t v);
  int32_t PxSize() const { return FPxSize; }
  uint8_t Style() const { return FStyle; }  // TFontStyle bits
  void SetStyle(uint8_t v) {
    FStyle = v;
    Changed();
  }
  const std::string& FontName() const { return FFontName; }
  void SetFontName(std::string v) {
    FFontName = std::move(v);
    Changed();
  }
  const std::string& FontFamily() const { return FFontFamily; }
  void SetFontFamily(std::string v) {
    FFontFamily = std::move(v);
    Changed();
  }
  const std::string& FontVariant() const { return FFontVariant; }
  void SetFontVariant(std::string v) {
    FFontVariant = std::move(v);
    Changed();
  }

  // The CSS declarations of the font (size part, then color part); empty when disabled.
  // Computed once and kept until the font changes.
  const std::string& StyleText() const;

 private:
  void Changed() { FRenderedStyle.clear(); }

  TColor FColor = clNone;
  bool FEnabled = true;
  int32_t FSize = 10;
  int32_t FPxSize = 13;
  uint8_t FStyle = 0;
  std::string FFontName;
  std::string FFontFamily;
  std::string FFontVariant;
  mutable std::string FRenderedStyle;
};

}  // namespace appsrv::render
