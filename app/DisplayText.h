// Display texts of the service endpoints: money cells of the grid, the server clock text.
#pragma once

#include <string>
#include <string_view>

#include "base/date_time.h"

namespace appsrv::app {

// The value with two decimals (halves rounded away from zero on its 15-digit decimal form),
// digits grouped by threes with ",", "." before the decimals and a leading "-" when negative:
// 1234567.5 gives "1,234,567.50", 0 gives "0.00".
std::string money_text(double value);

// "yyyy-mm-dd hh:nn:ss zzz" (24-hour clock, milliseconds), e.g. "2015-05-07 14:03:22 123".
std::string clock_text(base::DateTime value);

// The text with every CR and LF removed; other control characters stay.
std::string without_line_breaks(std::string_view text);

}  // namespace appsrv::app
