// The two text encodings of page markup and the color text of style and attribute values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/color.h"

namespace appsrv::render {

// Captions and titles: markup characters become entities. With `convert_line_ends` a line
// feed becomes "<br>" and a carriage return is dropped; with `convert_spaces` a blank becomes
// "&nbsp;" ("&amp;nbsp;" inside a partial update, whose text is encoded once more).
std::string HTMLEncode(std::string_view text, bool convert_line_ends, bool convert_spaces,
                       bool in_callback = false);

// Hidden field values: ASCII letters, digits and ",-._" stay; every other UTF-16 code unit
// becomes "&#" + its decimal value + ";".
std::string HTMLLiteral(std::string_view text);

using base::clNone;
using base::TColor;
constexpr TColor clTransparent = -1;
// The system's window-text color: fonts of that color write no color of their own.
constexpr TColor clWindowText = static_cast<TColor>(0xFF000008);

constexpr TColor RGBColor(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<TColor>(red | (green << 8) | (blue << 16));
}

// "transparent", "" for none, otherwise "#RRGGBB" in upper-case hexadecimal.
std::string ColorText(TColor color);

}  // namespace appsrv::render
