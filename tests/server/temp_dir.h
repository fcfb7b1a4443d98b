// Test helper: a fresh folder under the system's temporary folder, removed with its contents.
#pragma once

#include <stdlib.h>

#include <string>

#include "base/files.h"

namespace appsrv::server::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = base::system_temp_folder() + "appsrv-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern + "/";
  }
  ~TempDir() { base::remove_tree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // With a trailing "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace appsrv::server::testing
