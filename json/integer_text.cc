#include "json/integer_text.h"

namespace appsrv::json {

namespace {

int digit_value(char32_t c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') {
    v = static_cast<int>(c - '0');
  } else if (c >= 'a' && c <= 'f') {
    v = static_cast<int>(c - 'a' + 10);
  } else if (c >= 'A' && c <= 'F') {
    v = static_cast<int>(c - 'A' + 10);
  }
  return v < base ? v : -1;
}

template <typename Char>
std::optional<int64_t> parse(std::basic_string_view<Char> s) {
  size_t i = 0;
  while (i < s.size() && s[i] == Char(' ')) {
    ++i;
  }
  bool negative = false;
  if (i < s.size() && (s[i] == Char('+') || s[i] == Char('-'))) {
    negative = s[i] == Char('-');
    ++i;
  }
  int base = 10;
  if (i < s.size() && (s[i] == Char('$') || s[i] == Char('x') || s[i] == Char('X'))) {
    base = 16;
    i += 1;
  } else if (i + 1 < s.size() && s[i] == Char('0') &&
             (s[i + 1] == Char('x') || s[i + 1] == Char('X'))) {
    base = 16;
    i += 2;
  }
  if (i == s.size()) {
    return std::nullopt;
  }
  // The magnitude may reach 2^63 only for a negative value.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    const int d = digit_value(static_cast<char32_t>(s[i]), base);
    if (d < 0 || magnitude > (limit - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
      return std::nullopt;
    }
    magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace

std::optional<int64_t> parse_integer_text(std::u16string_view text) { return parse(text); }

std::optional<int64_t> parse_integer_text(std::string_view text) { return parse(text); }

}  // namespace appsrv::json
