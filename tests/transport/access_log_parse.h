// Reads an access-log line back field by field, as a log analyser would: blanks part the
// fields, quoted fields end at the next quote, the time is the bracketed field.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace appsrv::transport::testing {

struct ParsedAccessLine {
  std::string client, ident, user, time, request, status, bytes, referer, user_agent, duration,
      session;
};

inline std::optional<ParsedAccessLine> ParseAccessLine(std::string_view line) {
  size_t at = 0;
  const auto bare = [&](std::string& out) {
    const size_t end = line.find(' ', at);
    out = std::string(line.substr(at, end == std::string_view::npos ? end : end - at));
    at = end == std::string_view::npos ? line.size() : end + 1;
    return !out.empty();
  };
  const auto enclosed = [&](char open, char close, std::string& out) {
    if (at >= line.size() || line[at] != open) {
      return false;
    }
    const size_t end = line.find(close, at + 1);
    if (end == std::string_view::npos) {
      return false;
    }
    out = std::string(line.substr(at + 1, end - at - 1));
    at = end + 1;
    if (at < line.size()) {
      if (line[at] != ' ') {
        return false;
      }
      ++at;
    }
    return true;
  };
  ParsedAccessLine p;
  const bool ok = bare(p.client) && bare(p.ident) && bare(p.user) && enclosed('[', ']', p.time) &&
                  enclosed('"', '"', p.request) && bare(p.status) && bare(p.bytes) &&
                  enclosed('"', '"', p.referer) && enclosed('"', '"', p.user_agent) &&
                  bare(p.duration) && bare(p.session) && at >= line.size();
  if (!ok) {
    return std::nullopt;
  }
  return p;
}

}  // namespace appsrv::transport::testing
