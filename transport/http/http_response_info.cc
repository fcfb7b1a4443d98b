#include "transport/http/http_response_info.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory_resource>
#include <string_view>

#include "base/text.h"
#include "transport/http/http_status.h"
#include "transport/net/text_encoding.h"

namespace appsrv::transport {
namespace {

// The platform's current offset of UTC from local time, in days.
double current_utc_offset_days() {
  const time_t t = time(nullptr);
  struct tm local {};
  localtime_r(&t, &local);
  return -static_cast<double>(local.tm_gmtoff) / 86400.0;
}

// Status lines and header values must stay on one line whatever a phrase or value holds.
std::string one_line(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return out;
}

// Whether every byte is below 0x80, looked at eight at a time: every header block is.
bool is_ascii(std::string_view text) {
  uint64_t high = 0;
  size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + at, 8);
    high |= word;
  }
  for (; at < text.size(); ++at) {
    high |= static_cast<unsigned char>(text[at]);
  }
  return (high & 0x8080808080808080ULL) == 0;
}

// The header block goes out as ASCII: every other character becomes "?".
std::string ascii_only(std::string text) {
  if (is_ascii(text)) {
    return text;
  }
  std::string out;
  for (char16_t unit : base::utf8_to_utf16(text)) {
    out += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return out;
}

bool is_text_xml_subtype(std::string_view subtype) {
  return base::iequals(subtype, "xml") || base::iequals(subtype, "xml-external-parsed-entity") ||
         base::iends_with(subtype, "+xml");
}

// The lines of a header block, made of text that outlives the block (the response's fields and
// custom lines, and texts made for the block), so that building it copies nothing. A line's
// name is its text before the first ":"; a line that starts with a blank or tab continues the
// line before it.
class HeaderBlock {
 public:
  explicit HeaderBlock(size_t room) { lines_.reserve(room); }

  // Appends "name: value", followed by "; charset=" and the charset when one is given.
  void Add(std::string_view name, std::string_view value, std::string_view charset = {}) {
    lines_.push_back({name, value, charset, {}});
  }
  // Appends a line as it stands.
  void AddLine(std::string_view line) { lines_.push_back({{}, {}, {}, line}); }
  // Replaces the first line named `name` (ignoring case) by "name: value", or appends one; an
  // empty value deletes that line and the lines that continue it.
  void Set(std::string_view name, std::string_view value) {
    size_t at = 0;
    while (at < lines_.size() && !lines_[at].named(name)) {
      ++at;
    }
    if (!value.empty()) {
      if (at < lines_.size()) {
        lines_[at] = {name, value, {}, {}};
      } else {
        Add(name, value);
      }
      return;
    }
    if (at < lines_.size()) {
      size_t end = at + 1;
      while (end < lines_.size() && lines_[end].continues()) {
        ++end;
      }
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                   lines_.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }

  // Bytes AppendTo adds.
  size_t Size() const {
    size_t size = 0;
    for (const Line& line : lines_) {
      size += line.size() + 2;
    }
    return size;
  }
  // Every line with CR and LF turned into blanks, each followed by CR LF, written in place
  // (a library append per piece cost more than the copying). Returns the end of what was
  // written. REQUIRES: Size() bytes of room at `at`.
  char* WriteTo(char* at) const {
    const auto put = [&at](std::string_view piece) {
      std::memcpy(at, piece.data(), piece.size());
      at += piece.size();
    };
    for (const Line& line : lines_) {
      char* const start = at;
      if (line.name.empty()) {
        put(line.whole);
      } else {
        put(line.name);
        put(": ");
        put(line.value);
        if (!line.charset.empty()) {
          put("; charset=");
          put(line.charset);
        }
      }
      // Values hardly ever hold a line break: look for one before touching every byte.
      const auto length = static_cast<size_t>(at - start);
      if (std::memchr(start, '\r', length) != nullptr ||
          std::memchr(start, '\n', length) != nullptr) {
        std::replace_if(
            start, at, [](char c) { return c == '\r' || c == '\n'; }, ' ');
      }
      put("\r\n");
    }
    return at;
  }

 private:
  // A field ("name: value") or, without a name, a line as it stands.
  struct Line {
    std::string_view name;
    std::string_view value;
    std::string_view charset;
    std::string_view whole;

    // A line break at the start counts as the blank it becomes when written.
    bool continues() const {
      return name.empty() && !whole.empty() &&
             (whole[0] == ' ' || whole[0] == '\t' || whole[0] == '\r' || whole[0] == '\n');
    }
    bool named(std::string_view wanted) const {
      if (!name.empty()) {
        return base::iequals(name, wanted);
      }
      const size_t colon = whole.find(':');
      return !continues() && colon != std::string_view::npos &&
             base::iequals(whole.substr(0, colon), wanted);
    }
    size_t size() const {
      if (name.empty()) {
        return whole.size();
      }
      return name.size() + 2 + value.size() + (charset.empty() ? 0 : 10 + charset.size());
    }
  };

  // Room for the lines of a usual reply in the block itself: a vector of them took a block
  // too large for the allocator's per-thread cache on every reply. More lines go to the heap.
  static constexpr size_t kInlineLines = 24;
  alignas(Line) std::byte room_[kInlineLines * sizeof(Line)];
  std::pmr::monotonic_buffer_resource arena_{room_, sizeof room_};
  std::pmr::vector<Line> lines_{&arena_};
};

}  // namespace

std::string CookieDate(base::DateTime local) {
  const base::DateTimeParts p = base::decode_date_time(local + current_utc_offset_days());
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %.2d-%s-%.4d %.2d:%.2d:%.2d GMT",
                base::kShortDayNames[p.day_of_week], p.day, base::kShortMonthNames[p.month - 1],
                p.year, p.hour, p.minute, p.second);
  return buf;
}

std::string CookieText(const TInCookie& cookie, base::DateTime now) {
  std::string text = cookie.FName + "=" + cookie.FValue;
  if (!cookie.FPath.empty()) {
    text += "; Path=" + cookie.FPath;
  }
  if (!cookie.FDomain.empty()) {
    text += "; Domain=" + cookie.FDomain;
  }
  if (cookie.FSecure) {
    text += "; Secure";
  }
  if (cookie.FHttpOnly) {
    text += "; HttpOnly";
  }
  if (!cookie.FSameSite.empty()) {
    text += "; SameSite=" + cookie.FSameSite;
  }
  if (cookie.FExpires != 0) {
    // Whole milliseconds first: day fractions do not hold seconds exactly.
    const double seconds =
        std::trunc(std::round((cookie.FExpires - now) * base::kMillisecondsPerDay) / 1000.0);
    if (seconds >= 0) {
      text += "; Max-Age=" + std::to_string(static_cast<int64_t>(seconds));
    }
    text += "; Expires=" + CookieDate(cookie.FExpires);
  }
  return one_line(text);
}

void ApplyContentType(std::string_view value, std::string& content_type, std::string& charset) {
  content_type.clear();
  charset.clear();
  if (base::trim(value).empty()) {
    return;
  }
  // Keep every parameter but the charset, which moves to its own field. Every reply comes
  // through here: the parts are looked at in place.
  const size_t first_end = value.find(';');
  const std::string_view media = base::trim(value.substr(0, first_end));
  content_type.assign(media);
  // Each further part runs from a semicolon to the next one.
  for (size_t semicolon = first_end; semicolon != std::string_view::npos;) {
    const size_t next = value.find(';', semicolon + 1);
    const std::string_view item = base::trim(
        value.substr(semicolon + 1, next == std::string_view::npos ? next : next - semicolon - 1));
    semicolon = next;
    const size_t eq = item.find('=');
    if (eq != std::string_view::npos && base::iequals(base::trim(item.substr(0, eq)), "charset")) {
      std::string_view cs = base::trim(item.substr(eq + 1));
      if (cs.size() >= 2 && cs.front() == '"' && cs.back() == '"') {
        cs = cs.substr(1, cs.size() - 2);
      }
      charset = std::string(cs);
    } else if (!item.empty()) {
      content_type.append("; ").append(item);
    }
  }
  if (charset.empty()) {
    const size_t slash = media.find('/');
    if (slash != std::string_view::npos && base::iequals(media.substr(0, slash), "text")) {
      charset = is_text_xml_subtype(media.substr(slash + 1)) ? "us-ascii" : "ISO-8859-1";
    }
  }
}

void TInHTTPResponseInfo::SetResponseNo(int code) {
  FResponseNo = code;
  FResponseText = std::string(StatusPhrase(code));
  if (code == 404) {
    SetCloseConnection(true);
  }
}

void TInHTTPResponseInfo::SetCloseConnection(bool close) {
  FCloseConnection = close;
  FConnection = close ? "close" : "keep-alive";
}

void TInHTTPResponseInfo::Redirect(std::string_view url) {
  SetResponseNo(302);
  FLocation = std::string(url);
}

std::string TInHTTPResponseInfo::EncodedContentText() const {
  return CharsetToEncoding(FCharSet)->GetBytes(FContentText);
}

void TInHTTPResponseInfo::complete(base::DateTime now) {
  if (!FAuthRealm.empty()) {
    SetResponseNo(401);
    if (!HasBody()) {
      SetContentType("text/html; charset=utf-8");
      FContentText = "<HTML><BODY><B>" + std::to_string(FResponseNo) + " " + FResponseText +
                     "</B></BODY></HTML>";
    }
  }
  if (HasBody() && FContentType.empty()) {
    SetContentType("text/html; charset=ISO-8859-1");
  }
  if (FContentLength < 0 &&
      (FTransferEncoding.empty() || base::iequals(FTransferEncoding, "identity"))) {
    if (!FContentText.empty()) {
      FContentLength = static_cast<int64_t>(EncodedContentText().size());
    } else if (FContentStream) {
      FContentLength = FContentStream->GetSize();
    } else {
      FContentLength = 0;
    }
  }
  dated_at_completion_ = FDate <= 0;
  if (dated_at_completion_) {
    FDate = now;
  }
  // A 304 carries no body headers: the length it would announce does not bind the body.
  announced_length = FResponseNo == 304 ? -1 : FContentLength;
}

std::string TInHTTPResponseInfo::HeaderText(base::DateTime now, std::string_view now_date) const {
  const bool dated_now = dated_at_completion_;
  // The texts made for the header block; the block refers to them.
  const std::string length = FContentLength >= 0 ? std::to_string(FContentLength) : std::string();
  const std::string date = dated_now && !now_date.empty() ? std::string() : base::http_date(FDate);
  const std::string expires = FExpires > 0 ? base::http_date(FExpires) : std::string();
  std::string range;
  if (!FContentRangeUnits.empty() || FContentRangeStart >= 0 || FContentRangeEnd >= 0 ||
      FContentRangeInstanceLength >= 0) {
    range = FContentRangeUnits + " ";
    range += FContentRangeStart >= 0 && FContentRangeEnd >= 0
                 ? std::to_string(FContentRangeStart) + "-" + std::to_string(FContentRangeEnd)
                 : "*";
    range += "/";
    range += FContentRangeInstanceLength >= 0 ? std::to_string(FContentRangeInstanceLength) : "*";
  }
  const std::string last_modified = FLastModified > 0 ? base::http_date(FLastModified) : "";
  const std::string challenge =
      FAuthRealm.empty() ? std::string() : "Basic realm=\"" + FAuthRealm + "\"";

  HeaderBlock h(FCustomHeaders.lines().size() + 16);
  // Until the custom lines join, every name below is new to the block: no search needed.
  const auto put = [&h](std::string_view name, std::string_view value) {
    if (!value.empty()) {
      h.Add(name, value);
    }
  };
  put("Connection", FConnection);
  put("Content-Version", FContentVersion);
  put("Content-Disposition", FContentDisposition);
  put("Content-Encoding", FContentEncoding);
  put("Content-Language", FContentLanguage);
  if (!FContentType.empty()) {
    h.Add("Content-Type", FContentType, FCharSet);
  }
  put("Content-Length", length);
  put("Cache-control", FCacheControl);
  put("Date", date.empty() ? now_date : date);
  put("ETag", FETag);
  put("Expires", expires);
  put("Pragma", FPragma);
  put("Transfer-Encoding", FTransferEncoding);
  for (const std::string& line : FCustomHeaders.lines()) {
    h.AddLine(line);
  }
  // From here on an unset field must leave a custom header of that name alone (a redirect
  // made by the pipeline carries its Location as a custom header).
  const auto set_when_given = [&h](std::string_view name, std::string_view value) {
    if (!value.empty()) {
      h.Set(name, value);
    }
  };
  set_when_given("Content-Range", range);
  set_when_given("Accept-Patch", FAcceptPatch);
  set_when_given("Accept-Ranges", FAcceptRanges);
  set_when_given("Last-Modified", last_modified);
  set_when_given("Server", FServer);
  set_when_given("Location", FLocation);
  set_when_given("WWW-Authenticate", challenge);
  if (FResponseNo == 304) {
    h.Set("Content-Type", "");
    h.Set("Content-Length", "");
  }

  const std::string status = std::to_string(FResponseNo);
  const std::string phrase = one_line(FResponseText);
  std::string text;
  const size_t status_line = std::string_view("HTTP/1.1 ").size() + status.size() + 1 +
                             phrase.size() + 2;
  const size_t block = h.Size();
  text.reserve(status_line + block + 2);
  text.append("HTTP/1.1 ").append(status).append(" ").append(phrase).append("\r\n");
  text.resize(status_line + block);
  h.WriteTo(text.data() + status_line);
  for (const TInCookie& cookie : FCookies) {
    text += "Set-Cookie: " + CookieText(cookie, now) + "\r\n";
  }
  text += "\r\n";
  return ascii_only(std::move(text));
}

}  // namespace appsrv::transport
