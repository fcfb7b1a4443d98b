#include "server/pipeline/path_normalization.h"

#include "base/text.h"
#include "server/pipeline/server_exceptions.h"

namespace appsrv::server {

std::string strip_url_base(std::string_view path, std::string_view url_base) {
  if (!url_base.empty() && base::istarts_with(path, url_base)) {
    return std::string(path.substr(url_base.size() - 1));
  }
  return std::string(path);
}

std::string normalize_path(std::string_view path_info, std::string_view url_base) {
  std::string path = strip_url_base(path_info, url_base);
  if (path.empty()) {
    path.assign(1, '/');
  }
  if (base::starts_with(path, "/../")) {
    path.erase(0, 4);
  }
  if (path == "/$") {
    path = "/$/";
  }
  // One pass, left to right: "///" becomes "//", as the mapping to files rejects it later.
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    out += path[i];
    if (path[i] == '/' && i + 1 < path.size() && path[i + 1] == '/') {
      ++i;
    }
  }
  if (out.find('\\') != std::string::npos) {
    throw ESvException("Invalid characters in URL.");
  }
  return out;
}

}  // namespace appsrv::server
