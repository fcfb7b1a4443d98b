// Date-times as days since 1899-12-30 (fraction = time of day), in local time unless a name
// says UTC; conversions to and from calendar fields, Unix time and HTTP date text.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace appsrv::base {

using DateTime = double;

// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;
constexpr double kMillisecondsPerDay = 86400000.0;

struct DateTimeParts {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int day_of_week = 0;  // 0 = Sunday
};

DateTime encode_date(int year, int month, int day);
DateTime encode_time(int hour, int minute, int second, int millisecond = 0);
DateTime encode_date_time(const DateTimeParts& parts);
// The fraction of a negative value still counts forward within its day, as the classic
// TDateTime does.
DateTimeParts decode_date_time(DateTime value);
bool is_valid_date(int year, int month, int day);

// Current local time.
DateTime now();
// Current UTC time in the same day-count form.
DateTime utc_now();

// Seconds since the Unix epoch <-> date-time, with no zone conversion.
DateTime unix_to_date_time(double unix_seconds);
double date_time_to_unix(DateTime value);

// Zone conversions through the platform's local-time rules. Throw
// "Failed attempting to retrieve time zone information." when the platform cannot convert.
DateTime local_to_utc(DateTime local);
DateTime utc_to_local(DateTime utc);
DateTime unix_to_local(time_t unix_seconds);
time_t local_to_unix(DateTime local);

// "Sun, 06 Nov 1994 08:49:37 GMT" for a local date-time.
std::string http_date(DateTime local);
// The same for a UTC date-time.
std::string http_date_utc(DateTime utc);
// http_date_utc's text in a buffer of its own, for a caller that only passes it on.
class HttpDateText {
 public:
  explicit HttpDateText(DateTime utc);
  std::string_view view() const { return {text_, size_}; }

 private:
  char text_[64];
  size_t size_ = 0;
};
// "yyyy-mm-dd hh:nn:ss".
std::string iso_date_time_text(DateTime value);
// Reads "yyyy-mm-dd", "hh:nn[:ss[.fff]]" or both joined by "T" or a blank; fractions beyond
// milliseconds are cut. nullopt for any other text or an impossible date or time.
struct IsoDateTime {
  DateTimeParts parts;
  bool has_date = false;
  bool has_time = false;
};
std::optional<IsoDateTime> parse_iso_date_time(std::string_view text);

// "yyyy-mm-dd".
std::string iso_date_text(DateTime value);
// "hh:nn:ss".
std::string iso_time_text(DateTime value);

extern const char* const kShortDayNames[7];     // "Sun".."Sat"
extern const char* const kShortMonthNames[12];  // "Jan".."Dec"

}  // namespace appsrv::base
