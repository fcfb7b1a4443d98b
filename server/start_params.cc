#include "server/start_params.h"

#include <cstdio>

#include "base/text.h"

namespace appsrv::server {

namespace {

constexpr std::string_view kTags[] = {"<script", "<embed",  "<applet", "<frameset",
                                      "<form",   "<iframe", "<meta",   "<layer",
                                      "<object", "<img",    "<link",   "<div"};

struct WordRule {
  std::string_view word;
  char follower;  // what must come next, after optional blanks
};

constexpr WordRule kWordRules[] = {
    {"javascript", ':'}, {"vbscript", ':'}, {"href", '='},       {"src", '='},
    {"url", '='},        {"eval", '('},     {"expression", '('}, {"url", '('},
};

void keep_first(std::optional<size_t>& first, size_t pos) {
  if (!first || pos < *first) {
    first = pos;
  }
}

}  // namespace

std::optional<size_t> check_start_param(std::string_view line) {
  const std::string text = base::ascii_lowercase(line);
  std::optional<size_t> first;
  for (const std::string_view tag : kTags) {
    const size_t pos = text.find(tag);
    if (pos != std::string::npos) {
      keep_first(first, pos);
    }
  }
  for (const WordRule& rule : kWordRules) {
    for (size_t pos = text.find(rule.word); pos != std::string::npos;
         pos = text.find(rule.word, pos + 1)) {
      size_t next = pos + rule.word.size();
      while (next < text.size() && static_cast<unsigned char>(text[next]) <= ' ') {
        ++next;
      }
      if (next < text.size() && text[next] == rule.follower) {
        keep_first(first, pos);
        break;
      }
    }
  }
  return first;
}

std::vector<std::string> filter_start_params(const base::NameValueList& params,
                                             const ParseParameterHook& hook) {
  std::vector<std::string> kept;
  for (const std::string& line : params.lines()) {
    if (base::istarts_with(line, "SV_")) {
      continue;
    }
    std::string text = line;
    const std::optional<size_t> position = check_start_param(text);
    bool keep = !position.has_value();
    if (hook) {
      hook(text, keep, position);
    }
    if (keep) {
      kept.push_back(std::move(text));
    }
  }
  return kept;
}

std::string join_start_params(const std::vector<std::string>& lines) {
  if (lines.empty()) {
    return {};
  }
  return "?" + base::join(lines, "&");
}

std::string encode_start_params(std::string_view text) {
  static constexpr std::string_view kReserved = "\"#%*+,/;<>[\\]^`{|}";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // DEL is encoded too: a raw control character has no place in a URL.
    if (byte < 33 || byte >= 127 || kReserved.find(c) != std::string_view::npos) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace appsrv::server
