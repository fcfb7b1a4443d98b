#include "server/pipeline/url_file_mapping.h"

#include "base/files.h"
#include "base/text.h"
#include "server/pipeline/server_exceptions.h"

namespace appsrv::server {

namespace {

[[noreturn]] void illegal() { throw ESvException("URL contains illegal characters."); }

}  // namespace

std::string map_url_to_file(std::string_view root, std::string_view sub_path) {
  if (!sub_path.empty() && sub_path.front() == '/') {
    sub_path.remove_prefix(1);
  }
  // A NUL would cut the path short in the system call, so that another file is opened than
  // the one whose name and extension were checked.
  if (sub_path.find_first_of(std::string_view(":\\\0", 3)) != std::string_view::npos ||
      sub_path.find("//") != std::string_view::npos) {
    illegal();
  }
  const std::string full_root = base::include_trailing_slash(base::expand_file_name(root));
  std::string result = base::expand_file_name(full_root + std::string(sub_path));
  if (!base::starts_with(result, full_root)) {
    illegal();
  }
  // Only the part below the root is checked, so that a root inside a hidden folder still works.
  const std::string_view below = std::string_view(result).substr(full_root.size() - 1);
  if (below.find("/.") != std::string_view::npos || below.find("./") != std::string_view::npos) {
    illegal();
  }
  return result;
}

}  // namespace appsrv::server
