// The request path made relative to the application's URL base and cleaned before routing.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::server {

// Removes `url_base` (which starts and ends with "/") from the front of `path` when the path
// starts with it, ignoring case; the path keeps its leading "/".
std::string strip_url_base(std::string_view path, std::string_view url_base);

// The routing form of a request path: URL base removed, "" -> "/", a leading "/../" dropped,
// "/$" -> "/$/", each "//" made "/" in one pass. Throws ESvException
// "Invalid characters in URL." for a path holding "\".
std::string normalize_path(std::string_view path_info, std::string_view url_base);

}  // namespace appsrv::server
