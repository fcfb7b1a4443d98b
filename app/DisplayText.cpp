#include "app/DisplayText.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "base/parse_int.h"

namespace appsrv::app {

std::string money_text(double value) {
  if (!std::isfinite(value)) {
    return std::isnan(value) ? "NAN" : (value > 0 ? "INF" : "-INF");
  }
  // Round on the 15 significant digits a double holds, so that 1.005 reads as 1.01 the way
  // a person would write it, not as the binary value just below it.
  // buf: d.dddddddddddddde[+-]xx, as "%.14e" writes it.
  char buf[64];
  const std::to_chars_result written =
      std::to_chars(buf, buf + sizeof buf - 1, std::fabs(value), std::chars_format::scientific, 14);
  *written.ptr = '\0';
  std::string digits;
  digits += buf[0];
  digits.append(buf + 2, 14);
  // to_chars writes the exponent's sign always, '+' included, which parse_int refuses.
  std::string_view exponent_text(buf + 17);
  if (exponent_text.front() == '+') {
    exponent_text.remove_prefix(1);
  }
  const int exponent = base::parse_int<int>(exponent_text).value_or(0);
  // Integer part has exponent + 1 digits; keep two decimals.
  const int keep = exponent + 3;  // digits kept from the front
  std::string kept;
  if (keep <= 0) {
    // Below 0.001: rounds to 0.00, or 0.01 when it is at least 0.005.
    kept.assign(1, (keep == 0 && digits[0] >= '5') ? '1' : '0');
  } else if (keep >= static_cast<int>(digits.size())) {
    kept = digits + std::string(static_cast<size_t>(keep) - digits.size(), '0');
  } else {
    kept = digits.substr(0, static_cast<size_t>(keep));
    if (digits[static_cast<size_t>(keep)] >= '5') {
      int i = static_cast<int>(kept.size()) - 1;
      while (i >= 0 && kept[static_cast<size_t>(i)] == '9') {
        kept[static_cast<size_t>(i)] = '0';
        --i;
      }
      if (i < 0) {
        kept.insert(kept.begin(), '1');
      } else {
        ++kept[static_cast<size_t>(i)];
      }
    }
  }
  // `kept` is the value in hundredths; make sure it has at least three digits (0.0x).
  if (kept.size() < 3) {
    kept.insert(0, 3 - kept.size(), '0');
  }
  const std::string whole = kept.substr(0, kept.size() - 2);
  const std::string cents = kept.substr(kept.size() - 2);
  std::string grouped;
  for (size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) {
      grouped += ',';
    }
    grouped += whole[i];
  }
  const bool zero = kept.find_first_not_of('0') == std::string::npos;
  return (value < 0 && !zero ? "-" : "") + grouped + "." + cents;
}

std::string clock_text(base::DateTime value) {
  const base::DateTimeParts p = base::decode_date_time(value);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d %03d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond);
  return buf;
}

std::string without_line_breaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') {
      out += c;
    }
  }
  return out;
}

}  // namespace appsrv::app
