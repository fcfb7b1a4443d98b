#include "transport/net/utf7.h"

#include <cstdint>

#include "base/text.h"

namespace appsrv::transport {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char16_t kReplacement = 0xFFFD;

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The characters that travel as themselves (set D of the UTF-7 definition plus white space).
bool is_direct(char16_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
    return true;
  }
  switch (c) {
    case '\'': case '(': case ')': case ',': case '-': case '.': case '/': case ':': case '?':
    case ' ': case '\t': case '\r': case '\n':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string utf7_encode(std::string_view text) {
  const std::u16string units = base::utf8_to_utf16(text);
  std::string out;
  size_t i = 0;
  while (i < units.size()) {
    char16_t c = units[i];
    if (is_direct(c)) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c == '+') {
      out += "+-";
      ++i;
      continue;
    }
    out += '+';
    uint32_t bits = 0;
    int nbits = 0;
    while (i < units.size() && !is_direct(units[i]) && units[i] != '+') {
      bits = (bits << 16) | units[i++];
      nbits += 16;
      while (nbits >= 6) {
        nbits -= 6;
        out += kBase64[(bits >> nbits) & 0x3F];
      }
    }
    if (nbits > 0) {
      out += kBase64[(bits << (6 - nbits)) & 0x3F];
    }
    // The run ends with "-" when the next character could be read as part of it.
    if (i < units.size() && (base64_value(static_cast<char>(units[i])) >= 0 || units[i] == '-')) {
      out += '-';
    } else if (i == units.size()) {
      out += '-';
    }
  }
  return out;
}

std::string utf7_decode(std::string_view bytes) {
  std::u16string units;
  size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b != '+') {
      units += b < 0x80 ? static_cast<char16_t>(b) : kReplacement;
      ++i;
      continue;
    }
    ++i;
    if (i < bytes.size() && bytes[i] == '-') {
      units += u'+';
      ++i;
      continue;
    }
    uint32_t bits = 0;
    int nbits = 0;
    while (i < bytes.size()) {
      int v = base64_value(bytes[i]);
      if (v < 0) {
        break;
      }
      bits = (bits << 6) | static_cast<uint32_t>(v);
      nbits += 6;
      if (nbits >= 16) {
        nbits -= 16;
        units += static_cast<char16_t>((bits >> nbits) & 0xFFFF);
      }
      ++i;
    }
    if (i < bytes.size() && bytes[i] == '-') {
      ++i;  // the run's terminator is not part of the text
    }
  }
  return base::utf16_to_utf8(units);
}

}  // namespace appsrv::transport
