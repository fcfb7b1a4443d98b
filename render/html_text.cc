#include "render/html_text.h"

#include "base/text.h"

namespace appsrv::render {

std::string HTMLEncode(std::string_view text, bool convert_line_ends, bool convert_spaces,
                       bool in_callback) {
  // Every character that changes is ASCII, so the UTF-8 bytes can be walked directly.
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "&quot;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\n':
        out += convert_line_ends ? "<br>" : "\n";
        break;
      case '\r':
        if (!convert_line_ends) {
          out += c;
        }
        break;
      case ' ':
        if (convert_spaces) {
          out += in_callback ? "&amp;nbsp;" : "&nbsp;";
        } else {
          out += c;
        }
        break;
      default:
        out += c;
    }
  }
  return out;
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
