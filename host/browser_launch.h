// Starting a browser from the server: the desktop's URL handler and programs found on the PATH.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace appsrv::host {

// Full path of the first of `names` that is an executable file in a folder of $PATH, or "".
std::string FindOnPath(const std::vector<std::string>& names);

// Starts `argv` (argv[0] is looked up on the PATH when it holds no "/") in a session of its
// own, without waiting for it and without leaving a child to reap. Returns 0 when the program
// started, else the errno value that stopped it.
int SpawnDetached(const std::vector<std::string>& argv);

// Opens `url` with the desktop's default handler (xdg-open). Throws "Error while launching
// browser: N." with the error number when the handler cannot be started.
void OpenURLWithDefaultHandler(const std::string& url);

}  // namespace appsrv::host
