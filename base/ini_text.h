// Initialisation-file text: "[Section]" headers and "Key=Value" lines, read and updated in place.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace appsrv::base {

// Value of `key` in `[section]` (names compared without ASCII case, blanks around names and
// values dropped, lines starting with ";" skipped), or nullopt when the key is not there.
std::optional<std::string> ini_value(std::string_view text, std::string_view section,
                                     std::string_view key);

// The keys of every "key=value" line in `[section]` (each time it opens), as written and in
// order, blanks around them dropped; comment lines and lines without "=" are not keys.
std::vector<std::string> ini_keys(std::string_view text, std::string_view section);

// `text` with `key` in `[section]` set to `value`: the first matching line is replaced, else the
// line is added at the end of the section, else a new section is appended. Every other line
// stays as it was. New lines end with "\n".
std::string ini_set_value(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view value);

}  // namespace appsrv::base
