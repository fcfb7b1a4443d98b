#include "base/html_encode.h"

#include <cstdio>

namespace appsrv::base {

std::string html_encode(std::string_view text, bool line_ends_as_br, std::string_view blank) {
  // Every character that changes is ASCII, so the UTF-8 bytes can be walked directly.
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out.append("&amp;");
        break;
      case '"':
        out.append("&quot;");
        break;
      case '\'':
        out.append("&#39;");
        break;
      case '<':
        out.append("&lt;");
        break;
      case '>':
        out.append("&gt;");
        break;
      case '\n':
        out.append(line_ends_as_br ? "<br>" : "\n");
        break;
      case '\r':
        if (!line_ends_as_br) {
          out.push_back(c);
        }
        break;
      case ' ':
        out.append(blank);
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string js_string_body(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto escape = [&out](unsigned code) {
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\u%04X", code);
    out += esc;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"' || c == '\'') {
      out += '\\';
      out += c;
    } else if (c == '<' || c == '>' || byte < 0x20 || byte == 0x7F) {
      escape(byte);
    } else if (text.substr(i, 3) == "\xE2\x80\xA8" || text.substr(i, 3) == "\xE2\x80\xA9") {
      // Line terminators to JavaScript, though not to JSON or HTML.
      escape(text[i + 2] == '\xA8' ? 0x2028 : 0x2029);
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace appsrv::base
