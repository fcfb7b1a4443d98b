// Reason phrases of the status codes the server writes.
#pragma once

#include <string_view>

namespace appsrv::transport {

// The standard phrase of `code`, "Unknown Response Code" for codes outside the table.
std::string_view StatusPhrase(int code);

}  // namespace appsrv::transport
