#include "fuzz/scratch_guard.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "base/files.h"
#include "server/exchange/temp_files.h"

namespace appsrv::fuzz {

namespace {

void remove_scratch_folder() { base::remove_tree(scratch_folder()); }

}  // namespace

const std::string& scratch_folder() {
  static const std::string folder = [] {
    // system_temp_folder() ends in '/'. No doubled '/': SQLite deletes its files by their
    // canonical path, which would not start with a name that holds one.
    std::string pattern = base::system_temp_folder() + "appsrv-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    server::set_temp_folder(pattern);
    return pattern;
  }();
  // Registered after the folder's name, so it runs while the name still exists.
  static const bool removed_at_exit = std::atexit(remove_scratch_folder) == 0;
  (void)removed_at_exit;
  return folder;
}

}  // namespace appsrv::fuzz

// Overrides the C library's unlink for the whole program.
extern "C" int unlink(const char* path) {
  const std::string_view p(path);
  const std::string& folder = appsrv::fuzz::scratch_folder();
  const bool inside = p.size() > folder.size() && p.substr(0, folder.size()) == folder &&
                      p[folder.size()] == '/' && p.find("/..") == std::string_view::npos;
  if (!inside) {
    errno = EACCES;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}
