#include "base/text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace appsrv::base {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

}  // namespace

std::optional<Utf8Char> decode_utf8_at(std::string_view s, size_t i) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  size_t len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (b0 < 0x80) {
    return Utf8Char{b0, 1};
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (i + len > s.size()) {
    return std::nullopt;
  }
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      return std::nullopt;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return std::nullopt;
  }
  return Utf8Char{cp, len};
}

std::u16string utf8_to_utf16(std::string_view s) {
  std::u16string out;
  append_utf16(out, s);
  return out;
}

void append_utf16(std::u16string& out, std::string_view s) {
  out.reserve(out.size() + s.size());
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    // Runs of ASCII are copied in one step.
    size_t ascii = i;
    while (ascii < n && static_cast<uint8_t>(s[ascii]) < 0x80) {
      ++ascii;
    }
    if (ascii > i) {
      const size_t old = out.size();
      out.resize(old + (ascii - i));
      std::copy(s.begin() + static_cast<ptrdiff_t>(i), s.begin() + static_cast<ptrdiff_t>(ascii),
                out.begin() + static_cast<ptrdiff_t>(old));
      i = ascii;
      if (i == n) {
        break;
      }
    }
    const std::optional<Utf8Char> c = decode_utf8_at(s, i);
    if (!c) {
      out += static_cast<char16_t>(kReplacement);
      ++i;
      continue;
    }
    append_utf16(out, c->code_point);
    i += c->length;
  }
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string utf16_to_utf8(std::u16string_view s) {
  std::string out;
  append_utf8(out, s);
  return out;
}

void append_utf8(std::string& out, std::u16string_view s) {
  out.reserve(out.size() + s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    append_utf8(out, c);
  }
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string ascii_lowercase(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    c = ascii_lower(c);
  }
  return out;
}

std::string ascii_uppercase(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    c = ascii_upper(c);
  }
  return out;
}

std::u16string ascii_lowercase(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c + 32);
    }
  }
  return out;
}

std::u16string ascii_uppercase(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) {
    if (c >= u'a' && c <= u'z') {
      c = static_cast<char16_t>(c - 32);
    }
  }
  return out;
}

int icompare(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(ascii_lower(a[i]));
    const auto cb = static_cast<unsigned char>(ascii_lower(b[i]));
    if (ca != cb) {
      return ca < cb ? -1 : 1;
    }
  }
  if (a.size() == b.size()) {
    return 0;
  }
  return a.size() < b.size() ? -1 : 1;
}

namespace {

// Eight bytes with their ASCII capitals made small and every other byte left alone, all at
// once: bytes with the high bit set are no capitals, and no sum below carries into the next
// byte.
uint64_t fold_eight(uint64_t bytes) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  const uint64_t low_seven = bytes & (0x7F * kOnes);
  const uint64_t from_a = low_seven + (0x80 - 'A') * kOnes;
  const uint64_t past_z = low_seven + (0x80 - 'Z' - 1) * kOnes;
  const uint64_t capitals = from_a & ~past_z & ~bytes & (0x80 * kOnes);
  return bytes | (capitals >> 2);
}

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  // Every request compares header names and media types this way: eight bytes a step.
  size_t i = 0;
  for (; i + 8 <= a.size(); i += 8) {
    uint64_t wa = 0;
    uint64_t wb = 0;
    std::memcpy(&wa, a.data() + i, 8);
    std::memcpy(&wb, b.data() + i, 8);
    if (wa != wb && fold_eight(wa) != fold_eight(wb)) {
      return false;
    }
  }
  for (; i < a.size(); ++i) {
    if (a[i] != b[i] && ascii_lower(a[i]) != ascii_lower(b[i])) {
      return false;
    }
  }
  return true;
}

bool istarts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

bool iends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && iequals(s.substr(s.size() - suffix.size()), suffix);
}

size_t ifind(std::string_view hay, std::string_view needle, size_t from) {
  if (needle.size() > hay.size()) {
    return std::string_view::npos;
  }
  for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
    if (iequals(hay.substr(i, needle.size()), needle)) {
      return i;
    }
  }
  return std::string_view::npos;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.starts_with(prefix); }
bool ends_with(std::string_view s, std::string_view suffix) { return s.ends_with(suffix); }

std::string_view trim_left(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') {
    ++i;
  }
  return s.substr(i);
}

std::string_view trim_right(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= ' ') {
    --n;
  }
  return s.substr(0, n);
}

std::string_view trim(std::string_view s) { return trim_right(trim_left(s)); }

std::vector<std::string> split(std::string_view s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t pos = s.find(sep, start);
    if (pos == std::string_view::npos) {
      parts.emplace_back(s.substr(start));
      return parts;
    }
    parts.emplace_back(s.substr(start, pos - start));
    start = pos + 1;
  }
}

std::string join(const std::vector<std::string>& parts, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      out += sep;
    }
    out += parts[i];
  }
  return out;
}

std::string replace_all(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) {
    return std::string(s);
  }
  std::string out;
  size_t start = 0;
  while (true) {
    const size_t pos = s.find(from, start);
    if (pos == std::string_view::npos) {
      out += s.substr(start);
      return out;
    }
    out += s.substr(start, pos - start);
    out += to;
    start = pos + from.size();
  }
}

}  // namespace appsrv::base
