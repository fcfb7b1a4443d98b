// Text as HTML character data, as a quoted attribute value, or as a string inside a script.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::base {

// `text` with the markup characters &, ", ', < and > as entities. With `line_ends_as_br` a
// line feed becomes "<br>" and a carriage return is dropped; every blank becomes `blank`
// (" " keeps it, "&nbsp;" holds it on one line).
std::string html_encode(std::string_view text, bool line_ends_as_br = false,
                        std::string_view blank = " ");

// `text` as the body of a JavaScript string literal, double- or single-quoted, inside an HTML
// script element. Quotes, backslashes, control characters and the line terminators U+2028 and
// U+2029 become escapes, and so do "<" and ">", so that no value ends the string, the line,
// or the script element ("</script>") and none opens a comment ("<!--"). Other UTF-8 text
// stays as it is.
std::string js_string_body(std::string_view text);

}  // namespace appsrv::base
