#include "render/html_text.h"

#include "base/html_encode.h"
#include "base/text.h"

namespace appsrv::render {

std::string HTMLEncode(std::string_view text, bool convert_line_ends, bool convert_spaces,
                       bool in_callback) {
  const std::string_view blank = !convert_spaces ? " " : in_callback ? "&amp;nbsp;" : "&nbsp;";
  return base::html_encode(text, convert_line_ends, blank);
}

std::string HTMLLiteral(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char16_t unit : base::utf8_to_utf16(text)) {
    const bool plain = (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
                       (unit >= u'0' && unit <= u'9') || unit == u',' || unit == u'-' ||
                       unit == u'.' || unit == u'_';
    if (plain) {
      out += static_cast<char>(unit);
    } else {
      out += "&#" + std::to_string(static_cast<unsigned>(unit)) + ";";
    }
  }
  return out;
}

std::string ColorText(TColor color) {
  if (color == clTransparent) {
    return "transparent";
  }
  if (color == clNone) {
    return {};
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "#";
  for (int shift = 0; shift <= 16; shift += 8) {
    const unsigned byte = (static_cast<uint32_t>(color) >> shift) & 0xFF;
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

}  // namespace appsrv::render
