// A fresh folder per test that also serves as the process's temporary-file folder.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "server/temp_files.h"

namespace appsrv::server::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = base::system_temp_folder() + "appsrv-server-test-XXXXXX";
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern + "/" : std::string();
    set_temp_folder(path_);
  }
  ~TempDir() {
    set_temp_folder("");
    base::remove_tree(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

  // Names of the files in the folder.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path_.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
          names.push_back(name);
        }
      }
      ::closedir(dir);
    }
    return names;
  }

 private:
  std::string path_;
};

}  // namespace appsrv::server::testing
