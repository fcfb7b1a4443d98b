// Names for temporary files: folder + prefix + process stamp + process-wide counter + extension.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::server {

// The folder that spilled packets and bodies go to. Empty until the server controller sets it
// to its cache directory; spilling before then fails. Safe to call from any thread.
void set_temp_folder(std::string folder);
std::string temp_folder();

// The stamp taken once at process start: milliseconds since 1899-12-30 (local time) in
// upper-case hexadecimal.
const std::string& temp_name_stamp();

// folder (with a trailing "/") + prefix + stamp + next counter value (upper-case hex, the first
// name carries 1) + extension (".tmp" when empty). Throws "MakeTempFile: No path was provided"
// when `folder` is empty.
std::string make_temp_name(std::string_view folder, std::string_view prefix,
                           std::string_view extension = {});

}  // namespace appsrv::server
