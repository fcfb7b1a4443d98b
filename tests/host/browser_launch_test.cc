#include "host/browser_launch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/files.h"
#include "tests/host/host_test_support.h"

namespace appsrv::host {
namespace {

// PATH set to one private folder while it lives.
class PrivatePath {
 public:
  PrivatePath() : saved_(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "") {
    ::setenv("PATH", folder_.app().c_str(), 1);
  }
  ~PrivatePath() { ::setenv("PATH", saved_.c_str(), 1); }
  PrivatePath(const PrivatePath&) = delete;
  PrivatePath& operator=(const PrivatePath&) = delete;

  // A file in the folder; executable or not.
  std::string add(const std::string& name, bool executable) {
    const std::string path = folder_.app() + name;
    base::write_file(path, "#!/bin/sh\nexit 0\n", executable ? 0700 : 0600);
    return path;
  }

 private:
  testing::TempFolder folder_;
  std::string saved_;
};

TEST(BrowserLaunch, ProgramsAreFoundOnThePathOnlyWhenExecutable) {
  PrivatePath path;
  const std::string chromium = path.add("chromium", true);
  path.add("firefox", false);
  EXPECT_EQ(FindOnPath({"google-chrome", "chromium"}), chromium);
  EXPECT_EQ(FindOnPath({"firefox"}), "");
  EXPECT_EQ(FindOnPath({}), "");
}

TEST(BrowserLaunch, StartingReportsWhatStoppedTheProgram) {
  PrivatePath path;
  const std::string ok = path.add("fine", true);
  path.add("not-executable", false);
  EXPECT_EQ(SpawnDetached({ok, "http://127.0.0.1/"}), 0);
  EXPECT_EQ(SpawnDetached({"fine"}), 0);
  EXPECT_EQ(SpawnDetached({"missing-program"}), ENOENT);
  EXPECT_EQ(SpawnDetached({"not-executable"}), EACCES);
  EXPECT_EQ(SpawnDetached({""}), ENOENT);
  EXPECT_EQ(SpawnDetached({}), ENOENT);
}

TEST(BrowserLaunch, DefaultHandlerMissingFailsWithTheErrorNumber) {
  PrivatePath path;
  try {
    OpenURLWithDefaultHandler("http://127.0.0.1:8888/$/start");
    ADD_FAILURE() << "no failure";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Error while launching browser: 2.");
  }
  path.add("xdg-open", true);
  EXPECT_NO_THROW(OpenURLWithDefaultHandler("http://127.0.0.1:8888/$/start"));
}

}  // namespace
}  // namespace appsrv::host
