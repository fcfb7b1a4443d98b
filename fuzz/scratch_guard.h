// A private temporary folder for fuzz targets whose inputs can name files that the code under
// test deletes. While linked in, unlink() refuses every path outside that folder, so that an
// input naming some other file cannot remove it.
#pragma once

#include <string>

namespace appsrv::fuzz {

// Made on first use (mkdtemp under the system temporary folder), set as the server's temporary
// folder, and removed with its contents when the program exits.
const std::string& scratch_folder();

}  // namespace appsrv::fuzz
