#include "app/SqlLiteral.h"

#include <cstdio>
#include <map>
#include <optional>

#include "app/ADOToXML.h"
#include "base/date_time.h"
#include "base/encoding.h"
#include "base/text.h"
#include "db/field.h"

namespace appsrv::app {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_integer_literal(std::string_view s) {
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    s.remove_prefix(1);
  }
  if (s.empty()) {
    return false;
  }
  for (const char c : s) {
    if (!is_digit(c)) {
      return false;
    }
  }
  return true;
}

bool is_decimal_literal(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    ++i;
  }
  size_t digits = 0;
  while (i < s.size() && is_digit(s[i])) {
    ++i;
    ++digits;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) {
      ++i;
      ++digits;
    }
  }
  if (digits == 0) {
    return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
      ++i;
    }
    const size_t start = i;
    while (i < s.size() && is_digit(s[i])) {
      ++i;
    }
    if (i == start) {
      return false;
    }
  }
  return i == s.size();
}

bool is_guid_text(std::string_view s) {
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') {
    s = s.substr(1, 36);
  }
  if (s.size() != 36) {
    return false;
  }
  for (size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !is_hex_digit(s[i])) {
      return false;
    }
  }
  return true;
}

enum class ValueKind {
  kText,
  kInteger,
  kDecimal,
  kBoolean,
  kDateTime,
  kDate,
  kTime,
  kGuid,
  kHex,
  kBase64
};

ValueKind kind_of_type(std::string_view dt_type) {
  const std::string t = base::ascii_lowercase(dt_type);
  static const std::map<std::string, ValueKind, std::less<>> kKinds = {
      {"int", ValueKind::kInteger},
      {"i1", ValueKind::kInteger},
      {"i2", ValueKind::kInteger},
      {"i4", ValueKind::kInteger},
      {"i8", ValueKind::kInteger},
      {"ui1", ValueKind::kInteger},
      {"ui2", ValueKind::kInteger},
      {"ui4", ValueKind::kInteger},
      {"ui8", ValueKind::kInteger},
      {"number", ValueKind::kDecimal},
      {"float", ValueKind::kDecimal},
      {"r4", ValueKind::kDecimal},
      {"r8", ValueKind::kDecimal},
      {"fixed.14.4", ValueKind::kDecimal},
      {"decimal", ValueKind::kDecimal},
      {"currency", ValueKind::kDecimal},
      {"boolean", ValueKind::kBoolean},
      {"datetime", ValueKind::kDateTime},
      {"datetime.tz", ValueKind::kDateTime},
      {"date", ValueKind::kDate},
      {"time", ValueKind::kTime},
      {"uuid", ValueKind::kGuid},
      {"bin.hex", ValueKind::kHex},
      {"bin.base64", ValueKind::kBase64},
  };
  const auto it = kKinds.find(t);
  // Strings and types this reader does not know travel as quoted text, never as SQL.
  return it == kKinds.end() ? ValueKind::kText : it->second;
}

std::string two_digits(int n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", n % 100);
  return buf;
}

std::string iso_text(const base::IsoDateTime& v, ValueKind kind) {
  const base::DateTimeParts& p = v.parts;
  char date[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", p.year % 10000, p.month % 100, p.day % 100);
  std::string time = two_digits(p.hour) + ":" + two_digits(p.minute) + ":" + two_digits(p.second);
  if (p.millisecond != 0) {
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d", p.millisecond % 1000);
    time += ms;
  }
  switch (kind) {
    case ValueKind::kDate:
      return date;
    case ValueKind::kTime:
      return time;
    default:
      return std::string(date) + " " + time;
  }
}

}  // namespace

std::string SqlLiteral(std::string_view dt_type, std::string_view value,
                       const std::string& column) {
  const ValueKind kind = kind_of_type(dt_type);
  const auto refuse = [&](std::string_view what) -> PacketError {
    return PacketError("Value \"" + std::string(value) + "\" of field " + column + " is not " +
                       std::string(what));
  };
  switch (kind) {
    case ValueKind::kText:
      return SqlQuoted(value);
    case ValueKind::kInteger:
      if (!is_integer_literal(value)) {
        throw refuse("an integer");
      }
      return std::string(value);
    case ValueKind::kDecimal:
      if (!is_decimal_literal(value)) {
        throw refuse("a number");
      }
      return std::string(value);
    case ValueKind::kBoolean: {
      const std::string_view v = base::trim(value);
      if (base::iequals(v, "true") || v == "1" || v == "-1") {
        return "1";
      }
      if (base::iequals(v, "false") || v == "0") {
        return "0";
      }
      throw refuse("a boolean");
    }
    case ValueKind::kDateTime:
    case ValueKind::kDate:
    case ValueKind::kTime: {
      const std::optional<base::IsoDateTime> v = base::parse_iso_date_time(base::trim(value));
      if (!v || (kind == ValueKind::kDate && !v->has_date)) {
        throw refuse(kind == ValueKind::kTime ? "a time" : "a date");
      }
      return SqlQuoted(iso_text(*v, kind));
    }
    case ValueKind::kGuid:
      if (!is_guid_text(value)) {
        throw refuse("a GUID");
      }
      return SqlQuoted(value);
    case ValueKind::kHex:
    case ValueKind::kBase64: {
      std::string bytes;
      if (kind == ValueKind::kBase64) {
        bytes = base::base64_decode(value);
      } else {
        std::string digits;
        for (const char c : value) {
          if (static_cast<unsigned char>(c) > ' ') {
            digits += c;
          }
        }
        for (const char c : digits) {
          if (!is_hex_digit(c)) {
            throw refuse("hexadecimal");
          }
        }
        if (digits.size() % 2 != 0) {
          throw refuse("hexadecimal");
        }
        return "X'" + base::ascii_lowercase(digits) + "'";
      }
      return "X'" + base::hex_lower(bytes) + "'";
    }
  }
  return SqlQuoted(value);
}

std::string SqlKeyCondition(std::string_view dt_type, std::string_view value,
                            const std::string& column) {
  if (kind_of_type(dt_type) != ValueKind::kGuid) {
    return column + "=" + SqlLiteral(dt_type, value, column);
  }
  SqlLiteral(dt_type, value, column);  // refuses what is no GUID
  std::string_view digits = value;
  if (digits.front() == '{') {
    digits = digits.substr(1, digits.size() - 2);
  }
  return "upper(trim(" + column + ",'{}'))=" + SqlQuoted(base::ascii_uppercase(digits));
}

}  // namespace appsrv::app
