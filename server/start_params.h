// The parameters of a session's first request, carried through the session start URLs, and
// the check that keeps script and markup out of them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/name_value_list.h"

namespace appsrv::server {

// Position (0-based) of the first suspicious text in a parameter line: a tag that starts
// script or active content ("<script", "<iframe", ...), "javascript"/"vbscript" followed by
// ":", "href"/"src"/"url" followed by "=", or "eval"/"expression"/"url" followed by "("
// (blanks allowed before the ":", "=" or "("); nullopt when the line passes. Letter case is
// ignored.
std::optional<size_t> check_start_param(std::string_view line);

// Arbiter of a start parameter: may change its text and whether it is kept; `position` is
// where the check found something (nullopt when it passed).
using ParseParameterHook =
    std::function<void(std::string& text, bool& keep, std::optional<size_t> position)>;

// The lines of `params` that become start parameters: "SV_" lines (any case) are skipped, a
// line is kept when it passes the check, and `hook` (when set) has the last word.
std::vector<std::string> filter_start_params(const base::NameValueList& params,
                                             const ParseParameterHook& hook);

// "?" + the lines joined by "&", or "" when there are none.
std::string join_start_params(const std::vector<std::string>& lines);

// URL encoding of start parameters: bytes below 33 or from 127 up, and each of
// " # % * + , / ; < > [ \ ] ^ ` { | }, become "%" and two upper-case hex digits.
std::string encode_start_params(std::string_view text);

}  // namespace appsrv::server
