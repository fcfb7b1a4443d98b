#include "host/window_settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/files.h"

namespace appsrv::host {
namespace {

TEST(WindowSettings, MissingFileAndMissingKeysGiveTheDefaults) {
  const WindowSettings defaults;
  EXPECT_EQ(ParseWindowSettings(""), defaults);
  EXPECT_EQ(defaults.Parameters, "");
  EXPECT_FALSE(defaults.DebugInfo);
  EXPECT_FALSE(defaults.SSL);
  EXPECT_EQ(defaults.Browser, 0);
  EXPECT_TRUE(defaults.RunInTray);
  EXPECT_FALSE(defaults.RunMinimized);
  EXPECT_FALSE(defaults.StartBrowser);
  EXPECT_EQ(defaults.SpeedLimit, 0);
  // A key in the wrong section, or a value that is no number, counts as missing.
  EXPECT_EQ(ParseWindowSettings("[HTTP]\nSSL=1\n[Main]\nBrowser=two\nRunInTray=yes\n"), defaults);
}

TEST(WindowSettings, StoredValuesReadBackAndStartBrowserIsNeverWritten) {
  WindowSettings s;
  s.Parameters = "a=1&b= two";
  s.DebugInfo = true;
  s.SSL = true;
  s.Browser = 4;
  s.RunInTray = false;
  s.RunMinimized = true;
  s.StartBrowser = true;
  s.SpeedLimit = 100000;
  const std::string text = StoreWindowSettings("", s);
  EXPECT_EQ(text,
            "[Main]\nParameters=a=1&b= two\nDebugInfo=1\nSSL=1\nBrowser=4\nRunInTray=0\n"
            "RunMinimized=1\n[HTTP]\nSpeedLimit=100000\n");
  WindowSettings back = ParseWindowSettings(text);
  EXPECT_FALSE(back.StartBrowser);
  back.StartBrowser = true;
  EXPECT_EQ(back, s);

  // A StartBrowser set by hand survives saving.
  const std::string by_hand = StoreWindowSettings("[Main]\nStartBrowser=1\n", WindowSettings{});
  EXPECT_TRUE(ParseWindowSettings(by_hand).StartBrowser);
}

TEST(WindowSettings, FileRoundTrip) {
  std::string tmpl = base::system_temp_folder() + "appsrv-svb-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  const std::string path = tmpl + "/appserver.svb";
  EXPECT_EQ(LoadWindowSettings(path), WindowSettings{});
  WindowSettings s;
  s.Parameters = "x=1";
  s.SpeedLimit = 64000;
  SaveWindowSettings(path, s);
  EXPECT_EQ(LoadWindowSettings(path), s);
  base::remove_tree(tmpl);
}

// A private folder holding only the settings file.
class SettingsFolder {
 public:
  SettingsFolder() {
    std::string tmpl = base::system_temp_folder() + "appsrv-svb-XXXXXX";
    EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
    folder_ = tmpl;
  }
  ~SettingsFolder() { base::remove_tree(folder_); }
  std::string path() const { return folder_ + "/appserver.svb"; }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      out.push_back(entry.path().filename().string());
    }
    return out;
  }

 private:
  std::string folder_;
};

// Files written by this process may grow to `bytes` while it exists: writes past that fail
// with EFBIG, as on a full disk, for root as well.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    old_xfsz_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = old_;
    lower.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &lower), 0);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, old_xfsz_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  sighandler_t old_xfsz_ = SIG_DFL;
};

TEST(WindowSettings, AFailedSaveLeavesTheOldFileAndNoTemporaryOne) {
  SettingsFolder folder;
  const std::string old_text = "[Main]\nParameters=keep\n[Other]\nMine=1\n";
  base::write_file(folder.path(), old_text, 0644);
  WindowSettings s;
  s.Parameters = std::string(200, 'x');
  {
    const FileSizeLimit limit(old_text.size());
    EXPECT_THROW(SaveWindowSettings(folder.path(), s), base::Exception);
  }
  EXPECT_EQ(base::read_file(folder.path()), old_text);
  EXPECT_EQ(folder.names(), std::vector<std::string>{"appserver.svb"});

  // Saved, the new content is there whole, in the only file of the folder.
  SaveWindowSettings(folder.path(), s);
  EXPECT_EQ(LoadWindowSettings(folder.path()), s);
  EXPECT_NE(base::read_file(folder.path()).find("[Other]\nMine=1\n"), std::string::npos);
  EXPECT_EQ(folder.names(), std::vector<std::string>{"appserver.svb"});
}

TEST(WindowSettings, SpeedSelection) {
  struct Case {
    int32_t bits;
    std::string_view entry;
    int32_t custom_kbps;
    std::string_view text;
  };
  const Case cases[] = {
      {0, "None", 0, "None"},
      {64000, "64 kbps", 0, "64 kbps"},
      {10000000, "10 Mbps", 0, "10 Mbps"},
      {100000, "Custom...", 100, "Custom... (100 kbps)"},
      {1500, "Custom...", 1, "Custom... (1 kbps)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    const SpeedSelection s = SelectSpeed(c.bits);
    EXPECT_EQ(kSpeedEntries[s.entry].text, c.entry);
    EXPECT_EQ(s.custom_kbps, c.custom_kbps);
    EXPECT_EQ(SpeedText(c.bits), c.text);
  }
  EXPECT_EQ(FindSpeedEntry("64kbps"), 2U);
  EXPECT_EQ(FindSpeedEntry("1 MBPS"), 6U);
  EXPECT_EQ(FindSpeedEntry("none"), 0U);
  EXPECT_EQ(FindSpeedEntry("65 kbps"), std::nullopt);
}

TEST(WindowSettings, SentDataLabel) {
  struct Case {
    uint64_t bytes;
    std::string_view text;
  };
  const Case cases[] = {
      {0, "0 bytes"},
      {1024, "1,024 bytes"},
      {1025, "1 KB"},
      {1048576, "1,024 KB"},
      {1048577, "1 MB"},
      {5000000000ULL, "4,768 MB"},
      {1099511627776ULL * 2, "2,097,152 MB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(FormatSentData(c.bytes), c.text);
  }
}

}  // namespace
}  // namespace appsrv::host
