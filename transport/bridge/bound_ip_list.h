// The addresses a listener binds to, from the controller's BoundIP text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace appsrv::transport {

// Entries are separated by commas and also by blanks or control characters; blanks around an
// entry are skipped. An entry that starts with a double quote runs to the closing quote (two
// quotes inside stand for one) and may hold commas and blanks. Two commas with nothing
// between them, or a comma at the end, give an empty entry (all local addresses).
std::vector<std::string> SplitBoundIP(std::string_view text);

}  // namespace appsrv::transport
