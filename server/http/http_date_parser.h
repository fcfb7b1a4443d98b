// Reading the dates clients send back in If-Modified-Since.
#pragma once

#include <optional>
#include <string_view>

#include "base/date_time.h"

namespace appsrv::server {

// Month number 1..12 of a month name of one of the accepted languages ("Nov", "DEZ", "AOÛT"),
// compared ignoring the case of ASCII letters; nullopt for any other word.
std::optional<int> month_from_name(std::string_view name);

// Parses an HTTP date in the RFC 1123 ("Sun, 06 Nov 1994 08:49:37 GMT"), RFC 850
// ("Sunday, 06-Nov-94 08:49:37 GMT") or asctime ("Sun Nov  6 08:49:37 1994") form: the day
// name is optional, times may use ":" or "." and carry AM/PM, the zone is GMT/UTC, a named
// zone or +hhmm/-hhmm (none means GMT). Two-digit years below 50 are 20xx, 50..99 are 19xx,
// three-digit years add 1900. Returns the local date-time, or nullopt when the text does not
// parse (which callers treat as "modified").
std::optional<base::DateTime> parse_http_date(std::string_view text);

// True when both date-times fall on the same second (day, hour, minute and second).
bool same_second(base::DateTime a, base::DateTime b);

}  // namespace appsrv::server
