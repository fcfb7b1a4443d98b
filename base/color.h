// TColor: the colour value that page rendering and error pages share.
#pragma once

#include <cstdint>

namespace appsrv::base {

// Red in the low byte, then green, then blue (0x00BBGGRR); -1 is transparent.
using TColor = int32_t;
// No colour at all.
constexpr TColor clNone = 0x1FFFFFFF;

}  // namespace appsrv::base
