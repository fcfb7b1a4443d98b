#include "transport/http/access_log_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace appsrv::transport {
namespace {

// "[10/Dec/2026:15:49:18 +0100]" for `when` in local time, appended to `out`. localtime_r takes
// a process-wide lock of its own; the text of the current second is kept and formatted once
// for all threads (connection threads are short-lived, so a cache per thread would not last).
void append_local_time_field(std::string& out, std::time_t when) {
  struct Cache {
    std::mutex mu;
    std::time_t second = -1;      // guarded by mu
    std::array<char, 32> text{};  // guarded by mu
    size_t size = 0;              // guarded by mu
  };
  static Cache cache;
  std::scoped_lock lock(cache.mu);
  if (cache.second != when) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    localtime_r(&when, &tm);
    const long offset_minutes = tm.tm_gmtoff / 60;
    const long abs_offset = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    const int n = std::snprintf(
        cache.text.data(), cache.text.size(), "[%02d/%s/%04d:%02d:%02d:%02d %c%02ld%02ld]",
        tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
        offset_minutes < 0 ? '-' : '+', abs_offset / 60, abs_offset % 60);
    cache.size = n > 0 ? std::min(static_cast<size_t>(n), cache.text.size() - 1) : 0;
    cache.second = when;
  }
  out.append(cache.text.data(), cache.size);
}

bool needs_escape(unsigned char c) { return c < 0x20 || c >= 0x7F || c == '"' || c == '\\'; }

// Appends `text` with every byte that `escaped` picks written as "\xHH". Fields are mostly
// plain: the bytes between two escapes go out in one piece.
template <class Pick>
void append_with_escapes(std::string& out, std::string_view text, Pick escaped) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  size_t plain_from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (escaped(c)) {
      out.append(text.data() + plain_from, i - plain_from);
      const char hex[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
      out.append(hex, sizeof hex);
      plain_from = i + 1;
    }
  }
  out.append(text.data() + plain_from, text.size() - plain_from);
}

// `text` with every whole `session_id` cut down to its logged start and "*".
std::string masked(std::string_view text, std::string_view session_id) {
  std::string out;
  size_t from = 0;
  for (size_t at = text.find(session_id); at != std::string_view::npos;
       at = text.find(session_id, from)) {
    out.append(text.substr(from, at - from));
    out.append(session_id.substr(0, kLoggedSessionIdChars));
    out += '*';
    from = at + session_id.size();
  }
  out.append(text.substr(from));
  return out;
}

void append_quoted(std::string& out, std::string_view text, std::string_view session_id) {
  if (text.empty()) {
    out += "\"-\"";
    return;
  }
  out += '"';
  if (session_id.size() > kLoggedSessionIdChars &&
      text.find(session_id) != std::string_view::npos) {
    append_escaped(out, masked(text, session_id));
  } else {
    append_escaped(out, text);
  }
  out += '"';
}

// An unquoted field (address, session start): anything but a plain token character is
// escaped, so that the field cannot hold a blank.
void append_token(std::string& out, std::string_view text) {
  if (text.empty()) {
    out += '-';
    return;
  }
  append_with_escapes(out, text.substr(0, 256),
                      [](unsigned char c) { return needs_escape(c) || c == ' '; });
}

void append_number(std::string& out, int64_t value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<size_t>(end - digits));
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  const bool cut = text.size() > kMaxLoggedFieldBytes;
  if (cut) {
    text = text.substr(0, kMaxLoggedFieldBytes);
  }
  append_with_escapes(out, text, needs_escape);
  if (cut) {
    out += "...";
  }
}

std::string format_access_log_line(const AccessLogEntry& e) {
  std::string line;
  line.reserve(160 + e.request_line.size() + e.referer.size() + e.user_agent.size());
  append_token(line, e.client);
  line += " - - ";
  append_local_time_field(line, e.when);
  line += ' ';
  append_quoted(line, e.request_line, e.session_id);
  line += ' ';
  append_number(line, e.status);
  line += ' ';
  append_number(line, e.body_bytes);
  line += ' ';
  append_quoted(line, e.referer, e.session_id);
  line += ' ';
  append_quoted(line, e.user_agent, e.session_id);
  line += ' ';
  append_number(line, e.duration_us);
  line += ' ';
  append_token(line, e.session_id.substr(0, kLoggedSessionIdChars));
  return line;
}

}  // namespace appsrv::transport
