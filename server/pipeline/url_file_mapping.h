// Maps a URL sub-path onto a file inside a root folder, refusing anything that could leave it.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::server {

// root + sub-path (its leading "/" removed), with "." and ".." resolved. Throws ESvException
// "URL contains illegal characters." when the sub-path holds ":", "\", "//" or a NUL
// character, when the result leaves the root, or when a segment below the root starts or ends
// with "." (hidden files, "x./y").
std::string map_url_to_file(std::string_view root, std::string_view sub_path);

}  // namespace appsrv::server
