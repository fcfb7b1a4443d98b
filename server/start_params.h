// The URL encoding of the start parameters carried through the session start URLs (which
// parameters qualify is TSvParamsString::FillFrom).
#pragma once

#include <string>
#include <string_view>

namespace appsrv::server {

// Bytes below 33 or from 127 up, and each of " # % * + , / ; < > [ \ ] ^ ` { | }, become "%"
// and two upper-case hex digits; everything else is kept.
std::string encode_start_params(std::string_view text);

}  // namespace appsrv::server
