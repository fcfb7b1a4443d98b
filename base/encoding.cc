#include "base/encoding.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace appsrv::base {

namespace {
constexpr char kBase36Digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (c == '+') {
    return 62;
  }
  if (c == '/') {
    return 63;
  }
  return -1;
}
}  // namespace

std::string to_base36(uint64_t value) {
  if (value == 0) {
    return "0";
  }
  std::string out;
  while (value > 0) {
    out.insert(out.begin(), kBase36Digits[value % 36]);
    value /= 36;
  }
  return out;
}

std::optional<uint64_t> from_base36(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'Z') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'z') {
      digit = c - 'a' + 10;
    }
    if (digit < 0 || value > (UINT64_MAX - static_cast<uint64_t>(digit)) / 36) {
      return std::nullopt;
    }
    value = value * 36 + static_cast<uint64_t>(digit);
  }
  return value;
}

std::string to_hex_upper(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(value));
  return buf;
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = (static_cast<uint8_t>(bytes[i]) << 16) |
                       (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                       static_cast<uint8_t>(bytes[i + 2]);
    out += kBase64Alphabet[(n >> 18) & 63];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += kBase64Alphabet[(n >> 6) & 63];
    out += kBase64Alphabet[n & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) {
      n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    }
    out += kBase64Alphabet[(n >> 18) & 63];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string base64_decode(std::string_view text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') {
      break;
    }
    const int v = base64_value(c);
    if (v < 0) {
      continue;
    }
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string float_text(double value) {
  if (std::isnan(value)) {
    return "NAN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "INF" : "-INF";
  }
  char buf[40];
  // The fewest digits (up to 15) that give back the 15-digit rounding of the value.
  std::snprintf(buf, sizeof buf, "%.15g", value);
  const double target = std::strtod(buf, nullptr);
  for (int precision = 1; precision < 15; ++precision) {
    char shorter[40];
    std::snprintf(shorter, sizeof shorter, "%.*g", precision, value);
    if (std::strtod(shorter, nullptr) == target) {
      std::snprintf(buf, sizeof buf, "%s", shorter);
      break;
    }
  }
  // "1e+20" -> "1E20", "1.5e-07" -> "1.5E-7".
  std::string text = buf;
  const size_t e = text.find('e');
  if (e != std::string::npos) {
    std::string mantissa = text.substr(0, e);
    const char sign = text[e + 1];
    std::string digits = text.substr(e + 2);
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.empty()) {
      digits = "0";
    }
    text = mantissa + "E" + (sign == '-' ? "-" : "") + digits;
  }
  return text;
}

}  // namespace appsrv::base
