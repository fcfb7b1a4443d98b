// Decoding of URL-encoded text: the request path, the query string and form bodies.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "transport/net/text_encoding.h"

namespace appsrv::transport {

// Collects bytes from left to right and decodes them with `encoding`: "%uXXXX" adds one UTF-16
// code unit in that encoding, "%XX" one byte; an escape whose digits are not hexadecimal adds
// nothing (its characters are still consumed); every other character adds its own byte. "+"
// stays as it is.
std::string url_decode(std::string_view text, const IInTextEncoding& encoding);

// Cuts at every "&"; each piece, "+" turned into a blank, is URL-decoded as a whole into one
// line (so an escaped "=" in a name ends the name). Empty pieces give empty lines.
std::vector<std::string> decode_params(std::string_view text, const IInTextEncoding& encoding);

// The form body, then "&" and the query string when that is not empty (no "&" after an
// empty form body).
std::string join_unparsed_params(std::string_view form_params, std::string_view query_params);

}  // namespace appsrv::transport
