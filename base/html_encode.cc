#include "base/html_encode.h"

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

}  // namespace appsrv::base
