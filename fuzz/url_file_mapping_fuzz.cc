// Mapping a URL sub-path onto a file: an accepted path always names the root or something
// below it, with no "." or ".." segment and no hidden name left in it. The routing clean-up
// runs on the same input (no property beyond sanitizer-clean).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "server/exchange/sv_exception.h"
#include "server/pipeline/path_normalization.h"
#include "server/pipeline/url_file_mapping.h"

namespace {

constexpr std::string_view kRoot = "/srv/app/wwwroot";

bool stays_under_root(const std::string& mapped) {
  if (mapped.compare(0, kRoot.size(), kRoot) != 0) {
    return false;
  }
  std::string_view rest = std::string_view(mapped).substr(kRoot.size());
  if (rest.empty()) {
    return true;
  }
  if (rest.front() != '/') {
    return false;  // "/srv/app/wwwroot2/..." is not below the root
  }
  rest.remove_prefix(1);
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    if (segment.empty() && slash != std::string_view::npos) {
      return false;  // "//"
    }
    // ".", "..", hidden names, and names ending in "." below which the path goes on
    if (!segment.empty() &&
        (segment.front() == '.' || (segment.back() == '.' && slash != std::string_view::npos))) {
      return false;
    }
    if (segment.find('\0') != std::string_view::npos ||
        segment.find('\\') != std::string_view::npos) {
      return false;
    }
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  const std::string normal = std::filesystem::path(mapped).lexically_normal().string();
  return normal.compare(0, kRoot.size(), kRoot) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    if (!stays_under_root(appsrv::server::map_url_to_file(kRoot, input))) {
      std::abort();
    }
  } catch (const appsrv::server::ESvException&) {
  }
  try {
    appsrv::server::normalize_path(input, "/app/");
  } catch (const appsrv::server::ESvException&) {
  }
  return 0;
}
