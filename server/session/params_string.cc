#include "server/session/params_string.h"

#include <array>

#include "base/text.h"
#include "server/session/server_controller.h"

namespace appsrv::server {

namespace {

constexpr std::array<std::string_view, 12> kDangerousTags = {
    "<script", "<embed", "<applet", "<frameset", "<form", "<iframe",
    "<meta",   "<layer", "<object", "<img",      "<link", "<div"};

struct WordThenMark {
  std::string_view word;
  char mark;
};
// A word followed, after optional blanks, by the mark.
constexpr std::array<WordThenMark, 8> kWordPatterns = {{{"javascript", ':'},
                                                        {"vbscript", ':'},
                                                        {"href", '='},
                                                        {"src", '='},
                                                        {"url", '='},
                                                        {"eval", '('},
                                                        {"expression", '('},
                                                        {"url", '('}}};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string TSvParamsString::Raw() const {
  if (empty()) {
    return {};
  }
  return std::string("?").append(base::join(lines(), "&"));
}

void TSvParamsString::SetRaw(std::string_view raw) {
  clear();
  std::string_view text = raw;
  if (!text.empty() && text.front() == '?') {
    text.remove_prefix(1);
  }
  for (std::string& piece : base::split(text, '&')) {
    if (!piece.empty()) {
      add(std::move(piece));
    }
  }
}

void TSvParamsString::FillFrom(const base::NameValueList& params,
                               const TSvServerControllerBase& controller) {
  clear();
  for (const std::string& line : params.lines()) {
    if (base::istarts_with(line, "SV_")) {
      continue;
    }
    std::string text = line;
    const std::optional<size_t> hit = CheckStartParameter(text);
    bool keep = !hit.has_value();
    if (controller.OnParseParameter) {
      controller.OnParseParameter(text, keep, hit ? static_cast<int>(*hit) : 0);
    }
    if (keep) {
      add(std::move(text));
    }
  }
}

std::optional<size_t> CheckStartParameter(std::string_view line) {
  const std::string lower = base::ascii_lowercase(line);
  std::optional<size_t> first;
  auto note = [&first](size_t pos) {
    if (!first || pos < *first) {
      first = pos;
    }
  };
  for (std::string_view tag : kDangerousTags) {
    const size_t pos = lower.find(tag);
    if (pos != std::string::npos) {
      note(pos);
    }
  }
  for (const WordThenMark& p : kWordPatterns) {
    for (size_t pos = lower.find(p.word); pos != std::string::npos;
         pos = lower.find(p.word, pos + 1)) {
      size_t i = pos + p.word.size();
      while (i < lower.size() && is_blank(lower[i])) {
        ++i;
      }
      if (i < lower.size() && lower[i] == p.mark) {
        note(pos);
        break;
      }
    }
  }
  if (first) {
    return *first + 1;
  }
  return std::nullopt;
}

}  // namespace appsrv::server
