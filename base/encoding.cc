#include "base/encoding.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "base/parse_int.h"

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

std::string hex_lower(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
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
  if (value == 0) {
    return "0";
  }
  // The value rounded to 15 significant digits, as "d.dddddddddddddde<exp>". Any two decimals
  // of up to 15 digits read as different doubles, so the shortest text that gives back this
  // rounding is these digits without their trailing zeros.
  char buf[40];
  const auto res =
      std::to_chars(buf, buf + sizeof buf - 1, value, std::chars_format::scientific, 14);
  *res.ptr = '\0';
  const std::string_view text = buf;
  const size_t e = text.find('e');
  const bool negative = text[0] == '-';
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c >= '0' && c <= '9') {
      digits += c;
    }
  }
  digits.erase(digits.find_last_not_of('0') + 1);
  // to_chars writes the exponent's sign always, '+' included, which parse_int refuses.
  std::string_view exponent_text(buf + e + 1);
  if (exponent_text.front() == '+') {
    exponent_text.remove_prefix(1);
  }
  const int exponent = base::parse_int<int>(exponent_text).value_or(0);
  std::string out = negative ? "-" : "";
  // Plain digits while the integer part has at most 15 digits and the value is at least
  // 0.00001; otherwise the mantissa and an exponent: "1E20", "1.5E-7".
  if (exponent >= 15 || exponent < -5) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'E';
    out += std::to_string(exponent);
  } else if (exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    const auto int_digits = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= int_digits) {
      out += digits;
      out.append(int_digits - digits.size(), '0');
    } else {
      out.append(digits, 0, int_digits);
      out += '.';
      out.append(digits, int_digits);
    }
  }
  return out;
}

}  // namespace appsrv::base
