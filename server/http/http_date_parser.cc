#include "server/http/http_date_parser.h"

#include <cmath>
#include <cstdint>

#include "base/text.h"

namespace appsrv::server {

namespace {

struct MonthName {
  std::string_view name;
  int month;
};

// The English three-letter names come first; no name belongs to two months.
constexpr MonthName kMonthNames[] = {
    {"JAN", 1},
    {"FEB", 2},
    {"MAR", 3},
    {"APR", 4},
    {"MAY", 5},
    {"JUN", 6},
    {"JUL", 7},
    {"AUG", 8},
    {"SEP", 9},
    {"OCT", 10},
    {"NOV", 11},
    {"DEC", 12},
    {"ENO", 1},
    {"JANV", 1},
    {"FBRO", 2},
    {"F\xC3\x89V", 2},
    {"F\xC3\x89VR", 2},
    {"MRZ", 3},
    {"MZO", 3},
    {"MRT", 3},
    {"MARS", 3},
    {"AB", 4},
    {"AVR", 4},
    {"MAI", 5},
    {"MEI", 5},
    {"MAJ", 5},
    {"JUNE", 6},
    {"JUIN", 6},
    {"JULY", 7},
    {"JUIL", 7},
    {"JUI", 7},
    {"AGTO", 8},
    {"AO\xC3\x9B", 8},
    {"AO\xC3\x9BT", 8},
    {"SEPT", 9},
    {"SBRE", 9},
    {"AVG", 9},
    {"OKT", 10},
    {"OBRE", 10},
    {"NBRE", 11},
    {"DEZ", 12},
    {"DBRE", 12},
    {"D\xC3\x89\x43", 12},
};

struct ZoneName {
  std::string_view name;
  int offset_minutes;  // local time minus UTC
};

constexpr ZoneName kZoneNames[] = {
    {"GMT", 0},     {"UTC", 0},    {"UT", 0},     {"Z", 0},      {"WET", 0},    {"WEST", 60},
    {"BST", 60},    {"CET", 60},   {"MET", 60},   {"CEST", 120}, {"MEST", 120}, {"EET", 120},
    {"EEST", 180},  {"MSK", 180},  {"JST", 540},  {"EST", -300}, {"EDT", -240}, {"CST", -360},
    {"CDT", -300},  {"MST", -420}, {"MDT", -360}, {"PST", -480}, {"PDT", -420}, {"AKST", -540},
    {"AKDT", -480}, {"HST", -600},
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Letters of month and zone names, including the bytes of non-ASCII UTF-8 characters.
bool is_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || static_cast<unsigned char>(c) >= 0x80;
}

struct Fields {
  int day = -1;
  int month = -1;
  int year = -1;
  int year_digits = 0;
  int hour = -1;
  int minute = -1;
  int second = 0;
  enum class Meridiem { kNone, kAm, kPm } meridiem = Meridiem::kNone;
  int offset_minutes = 0;
  bool any = false;  // something other than a day name was read
};

// Reads a run of at most `max_digits` digits at `i`; -1 when there is none or it is too long.
int read_number(std::string_view s, size_t& i, size_t max_digits, int* digits = nullptr) {
  const size_t start = i;
  int64_t value = 0;
  while (i < s.size() && is_digit(s[i])) {
    value = value * 10 + (s[i] - '0');
    ++i;
    if (i - start > max_digits) {
      return -1;
    }
  }
  if (i == start) {
    return -1;
  }
  if (digits != nullptr) {
    *digits = static_cast<int>(i - start);
  }
  return static_cast<int>(value);
}

// h:m[:s[.fff]] or h.m[.s]; `i` is on the first digit of the hour.
bool read_time(std::string_view s, size_t& i, Fields& f) {
  f.hour = read_number(s, i, 2);
  if (f.hour < 0 || i >= s.size() || (s[i] != ':' && s[i] != '.')) {
    return false;
  }
  const char sep = s[i++];
  f.minute = read_number(s, i, 2);
  if (f.minute < 0) {
    return false;
  }
  if (i + 1 < s.size() && s[i] == sep && is_digit(s[i + 1])) {
    ++i;
    f.second = read_number(s, i, 2);
    if (f.second < 0) {
      return false;
    }
    // Fractions of a second are read and dropped.
    if (i + 1 < s.size() && s[i] == '.' && is_digit(s[i + 1])) {
      ++i;
      while (i < s.size() && is_digit(s[i])) {
        ++i;
      }
    }
  }
  return true;
}

// +hhmm, -hhmm or +hh:mm; `i` is on the sign.
bool read_offset(std::string_view s, size_t& i, Fields& f) {
  const int sign = s[i] == '-' ? -1 : 1;
  ++i;
  int digits = 0;
  int value = read_number(s, i, 4, &digits);
  int hours = 0;
  int minutes = 0;
  if (digits == 4) {
    hours = value / 100;
    minutes = value % 100;
  } else if (digits == 2 && i < s.size() && s[i] == ':') {
    hours = value;
    ++i;
    minutes = read_number(s, i, 2, &digits);
    if (digits != 2) {
      return false;
    }
  } else {
    return false;
  }
  if (hours > 23 || minutes > 59) {
    return false;
  }
  f.offset_minutes += sign * (hours * 60 + minutes);
  return true;
}

bool read_word(std::string_view word, Fields& f) {
  if (const std::optional<int> month = month_from_name(word)) {
    if (f.month >= 0) {
      return false;
    }
    f.month = *month;
    f.any = true;
    return true;
  }
  if (base::iequals(word, "AM") || base::iequals(word, "PM")) {
    if (f.hour < 0 || f.meridiem != Fields::Meridiem::kNone) {
      return false;
    }
    f.meridiem = base::iequals(word, "AM") ? Fields::Meridiem::kAm : Fields::Meridiem::kPm;
    return true;
  }
  for (const ZoneName& zone : kZoneNames) {
    if (base::iequals(word, zone.name)) {
      f.offset_minutes += zone.offset_minutes;
      return f.any;
    }
  }
  // A leading day name, in whatever language, is skipped.
  return !f.any;
}

bool scan(std::string_view s, Fields& f) {
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if ((c == '+' || c == '-') && f.hour >= 0 && i + 1 < s.size() && is_digit(s[i + 1])) {
      if (!read_offset(s, i, f)) {
        return false;
      }
    } else if (c == ' ' || c == '\t' || c == ',' || c == '-' || c == '/' || c == '.') {
      ++i;
    } else if (is_digit(c)) {
      size_t j = i;
      while (j < s.size() && is_digit(s[j])) {
        ++j;
      }
      const bool time = j + 1 < s.size() && (s[j] == ':' || s[j] == '.') && is_digit(s[j + 1]);
      if (time) {
        if (f.hour >= 0 || !read_time(s, i, f)) {
          return false;
        }
      } else if (f.day < 0) {
        f.day = read_number(s, i, 2);
        if (f.day < 0) {
          return false;
        }
      } else if (f.year < 0) {
        f.year = read_number(s, i, 4, &f.year_digits);
        if (f.year < 0) {
          return false;
        }
      } else {
        return false;
      }
      f.any = true;
    } else if (is_letter(c)) {
      size_t j = i;
      while (j < s.size() && is_letter(s[j])) {
        ++j;
      }
      if (!read_word(s.substr(i, j - i), f)) {
        return false;
      }
      i = j;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<int> month_from_name(std::string_view name) {
  for (const MonthName& m : kMonthNames) {
    if (base::iequals(name, m.name)) {
      return m.month;
    }
  }
  return std::nullopt;
}

std::optional<base::DateTime> parse_http_date(std::string_view text) {
  Fields f;
  if (!scan(text, f) || f.day < 0 || f.month < 0 || f.year < 0 || f.hour < 0) {
    return std::nullopt;
  }
  if (f.year_digits <= 2) {
    f.year += f.year < 50 ? 2000 : 1900;
  } else if (f.year_digits == 3) {
    f.year += 1900;
  }
  if (f.meridiem != Fields::Meridiem::kNone) {
    if (f.hour < 1 || f.hour > 12) {
      return std::nullopt;
    }
    if (f.meridiem == Fields::Meridiem::kPm && f.hour < 12) {
      f.hour += 12;
    } else if (f.meridiem == Fields::Meridiem::kAm && f.hour == 12) {
      f.hour = 0;
    }
  }
  if (!base::is_valid_date(f.year, f.month, f.day) || f.hour > 23 || f.minute > 59 ||
      f.second > 59) {
    return std::nullopt;
  }
  const base::DateTime utc = base::encode_date(f.year, f.month, f.day) +
                             base::encode_time(f.hour, f.minute, f.second) -
                             f.offset_minutes / 1440.0;
  return base::utc_to_local(utc);
}

bool same_second(base::DateTime a, base::DateTime b) {
  return std::floor(a * 86400.0 + 1e-4) == std::floor(b * 86400.0 + 1e-4);
}

}  // namespace appsrv::server
