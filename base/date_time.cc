#include "base/date_time.h"

#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/exception.h"
#include "base/parse_int.h"

namespace appsrv::base {

const char* const kShortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

constexpr const char* kTimeZoneFailure = "Failed attempting to retrieve time zone information.";

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's civil algorithm).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

std::tm to_tm(DateTime value) {
  const DateTimeParts p = decode_date_time(value);
  std::tm t{};
  t.tm_year = p.year - 1900;
  t.tm_mon = p.month - 1;
  t.tm_mday = p.day;
  t.tm_hour = p.hour;
  t.tm_min = p.minute;
  t.tm_sec = p.second;
  t.tm_isdst = -1;
  return t;
}

DateTime from_tm(const std::tm& t, int millisecond) {
  return encode_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) +
         encode_time(t.tm_hour, t.tm_min, t.tm_sec, millisecond);
}

}  // namespace

bool is_valid_date(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) {
    return false;
  }
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int max = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= max;
}

DateTime encode_date(int year, int month, int day) {
  return static_cast<double>(
             days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) +
         kUnixEpochDays;
}

DateTime encode_time(int hour, int minute, int second, int millisecond) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMillisecondsPerDay;
}

DateTime encode_date_time(const DateTimeParts& p) {
  const DateTime date = encode_date(p.year, p.month, p.day);
  const DateTime time = encode_time(p.hour, p.minute, p.second, p.millisecond);
  return date >= 0 ? date + time : date - time;
}

DateTimeParts decode_date_time(DateTime value) {
  DateTimeParts p;
  // Round to whole milliseconds first so that 0.99999999 of a day does not read as 23:59:59.999.
  const double ms_total = std::round(std::fabs(value) * kMillisecondsPerDay);
  auto days = static_cast<int64_t>(std::floor(ms_total / kMillisecondsPerDay));
  auto ms_of_day = static_cast<int64_t>(ms_total - static_cast<double>(days) * kMillisecondsPerDay);
  if (value < 0) {
    days = -days;
  }
  civil_from_days(days - static_cast<int64_t>(kUnixEpochDays), p.year, p.month, p.day);
  p.millisecond = static_cast<int>(ms_of_day % 1000);
  ms_of_day /= 1000;
  p.second = static_cast<int>(ms_of_day % 60);
  ms_of_day /= 60;
  p.minute = static_cast<int>(ms_of_day % 60);
  p.hour = static_cast<int>(ms_of_day / 60);
  const int64_t unix_days = days - static_cast<int64_t>(kUnixEpochDays);
  p.day_of_week = static_cast<int>(((unix_days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  return p;
}

DateTime unix_to_date_time(double unix_seconds) { return unix_seconds / 86400.0 + kUnixEpochDays; }

double date_time_to_unix(DateTime value) { return (value - kUnixEpochDays) * 86400.0; }

DateTime unix_to_local(time_t unix_seconds) {
  std::tm t{};
  if (localtime_r(&unix_seconds, &t) == nullptr) {
    throw Exception(kTimeZoneFailure);
  }
  return from_tm(t, 0);
}

namespace {

// The zone's offset from UTC at `at`, or nullopt when the platform cannot tell.
std::optional<long> utc_offset_at(time_t at) {
  std::tm t{};
  if (localtime_r(&at, &t) == nullptr) {
    return std::nullopt;
  }
  return t.tm_gmtoff;
}

}  // namespace

time_t local_to_unix(DateTime local) {
  std::tm t = to_tm(local);
  // mktime re-reads the status of the zone file on every call, and every reply's Date header
  // comes through here. Away from a change of offset (a day either side holds the same one)
  // the local fields minus that offset are the answer; near one, mktime settles which side
  // of the change a local time means.
  const time_t as_utc =
      static_cast<time_t>(days_from_civil(t.tm_year + 1900, static_cast<unsigned>(t.tm_mon + 1),
                                          static_cast<unsigned>(t.tm_mday)) *
                              86400 +
                          t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec);
  const std::optional<long> before = utc_offset_at(as_utc - 86400);
  if (before && before == utc_offset_at(as_utc) && before == utc_offset_at(as_utc + 86400) &&
      before == utc_offset_at(as_utc - *before)) {
    return as_utc - *before;
  }
  const time_t result = mktime(&t);
  if (result == static_cast<time_t>(-1) && t.tm_year != 69) {
    throw Exception(kTimeZoneFailure);
  }
  return result;
}

namespace {

// The local calendar fields of one second, kept per thread: the zone lookup behind localtime_r
// costs more than the rest of a small request's date work, and a request reads the time more
// than once within its second. The zone's names and offset, which tzset() sets, are part of
// the key, so that a switch to another zone is seen at once.
struct LocalSecond {
  time_t second = 0;
  const char* standard_name = nullptr;
  const char* daylight_name = nullptr;
  long offset = 0;
  std::tm fields{};
};
thread_local LocalSecond t_local_second;

}  // namespace

DateTime now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  LocalSecond& cached = t_local_second;
  if (cached.standard_name == nullptr || cached.second != tv.tv_sec ||
      cached.standard_name != tzname[0] || cached.daylight_name != tzname[1] ||
      cached.offset != timezone) {
    std::tm t{};
    if (localtime_r(&tv.tv_sec, &t) == nullptr) {
      throw Exception(kTimeZoneFailure);
    }
    cached.fields = t;
    cached.second = tv.tv_sec;
    // Read after the call, which sets them up on its first use.
    cached.standard_name = tzname[0];
    cached.daylight_name = tzname[1];
    cached.offset = timezone;
  }
  return from_tm(cached.fields, static_cast<int>(tv.tv_usec / 1000));
}

DateTime utc_now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return unix_to_date_time(static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6);
}

DateTime local_to_utc(DateTime local) {
  const double frac_ms = decode_date_time(local).millisecond;
  return unix_to_date_time(static_cast<double>(local_to_unix(local))) +
         frac_ms / kMillisecondsPerDay;
}

DateTime utc_to_local(DateTime utc) {
  const double unix_seconds = std::floor(date_time_to_unix(utc) + 0.0005);
  const int ms = decode_date_time(utc).millisecond;
  return unix_to_local(static_cast<time_t>(unix_seconds)) + ms / kMillisecondsPerDay;
}

HttpDateText::HttpDateText(DateTime utc) {
  const DateTimeParts p = decode_date_time(utc);
  if (p.year < 0 || p.year > 9999) {
    const int n = std::snprintf(text_, sizeof text_, "%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT",
                                kShortDayNames[p.day_of_week], p.day,
                                kShortMonthNames[p.month - 1], p.year, p.hour, p.minute, p.second);
    size_ = static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof text_) - 1));
    return;
  }
  // Every reply carries one: written by hand, as snprintf's format reading costs more.
  static constexpr char kPattern[] = "Ddd, dd Mmm yyyy hh:mm:ss GMT";
  std::copy_n(kPattern, sizeof kPattern, text_);
  const auto put = [this](size_t at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i, value /= 10) {
      text_[at + static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
    }
  };
  std::copy_n(kShortDayNames[p.day_of_week], 3, text_);
  put(5, p.day, 2);
  std::copy_n(kShortMonthNames[p.month - 1], 3, text_ + 8);
  put(12, p.year, 4);
  put(17, p.hour, 2);
  put(20, p.minute, 2);
  put(23, p.second, 2);
  size_ = sizeof kPattern - 1;
}

std::string http_date_utc(DateTime utc) { return std::string(HttpDateText(utc).view()); }

std::string http_date(DateTime local) { return http_date_utc(local_to_utc(local)); }

std::string iso_date_text(DateTime value) {
  const DateTimeParts p = decode_date_time(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4d-%.2d-%.2d", p.year, p.month, p.day);
  return buf;
}

std::string iso_time_text(DateTime value) {
  const DateTimeParts p = decode_date_time(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2d:%.2d:%.2d", p.hour, p.minute, p.second);
  return buf;
}

std::string iso_date_time_text(DateTime value) {
  const DateTimeParts p = decode_date_time(value);
  if (p.year < 0 || p.year > 9999) {
    return iso_date_text(value) + " " + iso_time_text(value);
  }
  // Grid pages show a date in every row: digits are put in place rather than formatted.
  char text[] = "0000-00-00 00:00:00";
  const auto put = [&text](size_t at, int value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
      text[at + static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
      value /= 10;
    }
  };
  put(0, p.year, 4);
  put(5, p.month, 2);
  put(8, p.day, 2);
  put(11, p.hour, 2);
  put(14, p.minute, 2);
  put(17, p.second, 2);
  return std::string(text, sizeof text - 1);
}

namespace {

// Reads exactly `count` digits at `pos`.
bool read_digits(std::string_view text, size_t& pos, size_t count, int& out) {
  if (pos + count > text.size()) {
    return false;
  }
  // Unsigned: a sign in a date field is not a digit.
  const std::optional<unsigned> value = parse_int<unsigned>(text.substr(pos, count));
  if (!value) {
    return false;
  }
  out = static_cast<int>(*value);
  pos += count;
  return true;
}

bool read_time(std::string_view text, size_t& pos, DateTimeParts& p) {
  if (!read_digits(text, pos, 2, p.hour) || pos >= text.size() || text[pos++] != ':' ||
      !read_digits(text, pos, 2, p.minute)) {
    return false;
  }
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!read_digits(text, pos, 2, p.second)) {
      return false;
    }
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      int scale = 100;
      const size_t start = pos;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        p.millisecond += (text[pos] - '0') * scale;
        scale /= 10;
        ++pos;
      }
      if (pos == start) {
        return false;
      }
    }
  }
  return p.hour < 24 && p.minute < 60 && p.second < 60;
}

}  // namespace

std::optional<IsoDateTime> parse_iso_date_time(std::string_view text) {
  IsoDateTime result;
  DateTimeParts& p = result.parts;
  size_t pos = 0;
  if (text.size() >= 10 && text[4] == '-') {
    if (!read_digits(text, pos, 4, p.year) || text[pos++] != '-' ||
        !read_digits(text, pos, 2, p.month) || text[pos++] != '-' ||
        !read_digits(text, pos, 2, p.day) || !is_valid_date(p.year, p.month, p.day)) {
      return std::nullopt;
    }
    result.has_date = true;
    if (pos == text.size()) {
      return result;
    }
    if (text[pos] != 'T' && text[pos] != ' ') {
      return std::nullopt;
    }
    ++pos;
  }
  if (!read_time(text, pos, p) || pos != text.size()) {
    return std::nullopt;
  }
  result.has_time = true;
  return result;
}

}  // namespace appsrv::base
