#include "transport/bridge/bound_ip_list.h"

namespace appsrv::transport {
namespace {

bool is_blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

std::vector<std::string> SplitBoundIP(std::string_view text) {
  std::vector<std::string> entries;
  size_t i = 0;
  const size_t n = text.size();
  const auto skip_blanks = [&] {
    while (i < n && is_blank(text[i])) {
      ++i;
    }
  };
  skip_blanks();
  while (i < n) {
    std::string entry;
    if (text[i] == '"') {
      ++i;
      while (i < n) {
        if (text[i] == '"') {
          if (i + 1 < n && text[i + 1] == '"') {
            entry += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        entry += text[i++];
      }
      // Whatever follows the closing quote up to the next separator belongs to the entry.
      while (i < n && text[i] != ',' && !is_blank(text[i])) {
        entry += text[i++];
      }
    } else {
      while (i < n && text[i] != ',' && !is_blank(text[i])) {
        entry += text[i++];
      }
    }
    entries.push_back(std::move(entry));
    skip_blanks();
    if (i < n && text[i] == ',') {
      ++i;
      skip_blanks();
      if (i == n) {
        entries.emplace_back();
      }
    }
  }
  return entries;
}

}  // namespace appsrv::transport
