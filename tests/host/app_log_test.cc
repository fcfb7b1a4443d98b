#include "host/app_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "tests/support/temp_folder.h"

namespace appsrv::host {
namespace {

std::string utf16le(std::u16string_view text) {
  std::string bytes;
  for (const char16_t u : text) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

TEST(AppLog, LineIsDateTimeBlankTextCrLfInUtf16LeWithoutByteOrderMark) {
  const base::DateTime when = base::encode_date(2026, 3, 4) + base::encode_time(5, 6, 7);
  EXPECT_EQ(application_log_line(when, "Error: x"), utf16le(u"2026-03-04 05:06:07 Error: x\r\n"));
  // Text beyond ASCII, including a character outside the basic plane, as UTF-16 code units.
  EXPECT_EQ(application_log_line(when, "\xC3\xA9\xF0\x9F\x98\x80"),
            utf16le(u"2026-03-04 05:06:07 \u00E9\U0001F600\r\n"));
}

TEST(AppLog, PathIsBesideTheProgramWithTheGivenExtension) {
  EXPECT_EQ(application_log_path("log"), base::executable_folder() + "host_test.log");
  EXPECT_EQ(application_log_path("txt"), base::executable_folder() + "host_test.txt");
}

class AppLogFile : public ::testing::Test {
 protected:
  appsrv::testing::TempFolder temp_{"appsrv-host"};
  const std::string folder_ = temp_.path();
};

TEST_F(AppLogFile, AppendsKeepEarlierLinesAndNeverInterleave) {
  const std::string path = folder_ + "appserver.log";
  base::write_file(path, utf16le(u"old line\r\n"));
  constexpr int kThreads = 4;
  constexpr int kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        append_log_line(path, "thread " + std::to_string(t) + std::string(200, 'x'));
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  const std::string bytes = base::read_file(path);
  const size_t line_bytes = application_log_line(0, "thread 0" + std::string(200, 'x')).size();
  const std::string old = utf16le(u"old line\r\n");
  ASSERT_EQ(bytes.size(), old.size() + line_bytes * kThreads * kLines);
  EXPECT_EQ(bytes.substr(0, old.size()), old);
  for (size_t at = old.size(); at < bytes.size(); at += line_bytes) {
    EXPECT_EQ(bytes.substr(at + line_bytes - 4, 4), utf16le(u"\r\n")) << at;
  }
}

TEST_F(AppLogFile, FailureToOpenIsRaised) {
  EXPECT_ANY_THROW(append_log_line(folder_ + "missing/appserver.log", "x"));
}

}  // namespace
}  // namespace appsrv::host
