// Text as HTML character data or as a quoted attribute value.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::base {

// `text` with the markup characters &, ", ', < and > as entities. With `line_ends_as_br` a
// line feed becomes "<br>" and a carriage return is dropped; every blank becomes `blank`
// (" " keeps it, "&nbsp;" holds it on one line).
std::string html_encode(std::string_view text, bool line_ends_as_br = false,
                        std::string_view blank = " ");

}  // namespace appsrv::base
