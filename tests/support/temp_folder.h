// A fresh folder under the system's temporary folder for one test, removed afterwards with
// everything in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <string_view>

#include "base/files.h"

namespace appsrv::testing {

class TempFolder {
 public:
  // `prefix` starts the folder's name, so that one left behind by a crash says whose it was.
  explicit TempFolder(std::string_view prefix = "appsrv-test") {
    std::string tmpl = base::system_temp_folder() + std::string(prefix) + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    path_ = tmpl + "/";
  }
  ~TempFolder() { base::remove_tree(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // With a trailing "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace appsrv::testing
