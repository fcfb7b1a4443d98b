#include "server/session/exception_logger.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>

#include "base/date_time.h"
#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::expect_failure;
using testing::file_names;

class FrameworkError : public base::Exception {
 public:
  using base::Exception::Exception;
};
class DerivedError : public FrameworkError {
 public:
  using FrameworkError::FrameworkError;
};

const std::string kSep(120, '-');

struct EventEntry {
  std::string source;
  std::string text;
};

// A logger over a temporary application folder, a settable clock and a recorded event log.
class ExceptionLoggerTest : public ::testing::Test {
 protected:
  ExceptionLoggerTest() {
    start_ = base::encode_date_time({2026, 3, 4, 10, 20, 30, 400});
    clock_ = start_;
  }

  std::unique_ptr<TSvExceptionLogger> make_logger() {
    ExceptionLoggerEnvironment env;
    env.application_folder = dir_.root();
    env.application_file = "appserver.bin";
    env.application_version = "2.3.4";
    env.computer_name = "box1";
    env.now = [this] { return clock_; };
    env.event_log = [this](const std::string& source, const std::string& text) {
      events_.push_back({source, text});
      return event_log_works_;
    };
    auto logger = std::make_unique<TSvExceptionLogger>(std::move(env));
    logger->SetEnabled(true);
    return logger;
  }

  std::string log_dir() const { return dir_.root() + "ErrorLog/"; }

  testing::TempFolder dir_;
  base::DateTime start_;
  base::DateTime clock_;
  std::vector<EventEntry> events_;
  bool event_log_works_ = true;
};

TEST_F(ExceptionLoggerTest, WritesTheFullReportToAFile) {
  auto logger = make_logger();
  FrameworkReportInfo info;
  info.version = "14.0.39";
  info.multi_session = false;
  info.content_path = "/srv/wwwroot/";
  info.session_count = 3;
  SessionReportInfo s;
  s.application_path = "/$/";
  s.active_forms = {"Main (TMainForm)", "Dlg (TDlg)"};
  s.forms = {"Main (TMainForm)"};
  s.has_browser = true;
  s.browser_name = "Firefox";
  s.browser_user_agent = "Mozilla/5.0";
  s.session_id = "abc";
  s.last_access = base::encode_date_time({2026, 3, 4, 10, 0, 0, 5});
  s.callback = true;
  s.client_ip = "10.0.0.7";
  s.path_info = "/appservice/";
  s.method = "put";
  s.runtime_parameters = "a=1";
  info.session = s;
  logger->framework_info = [&] { return info; };
  clock_ = start_ + 1 + 2.0 / 24 + 5.0 / 86400;  // 1 day 2 hours 5 seconds later

  const FrameworkError error("disk full");
  ASSERT_TRUE(logger->LogException(nullptr, &error));

  const std::vector<std::string> want = {
      kSep,
      "Exception message  : disk full",
      "Exception class    : FrameworkError",
      "Exception Time     : 2026-03-05 12:20:35.400",
      kSep,
      "Application Name   : " + dir_.root() + "appserver.bin",
      "Application Version: 2.3.4",
      "Started at         : 2026-03-04 10:20:30.400",
      "Running for        : 1 day 2 hours 5 seconds",
      "Computer Name      : box1",
      logger->Report()[10],  // the compiler's version
      kSep,
      "Corvane Version   : 14.0.39",
      "Multi-session      : False",
      "Content Path       : /srv/wwwroot/",
      "Session count      : 3",
      "Application Path   : /$/",
      "Active Form        : [unassigned]",
      "Active Form list   : Main (TMainForm)",
      "                    Dlg (TDlg)",
      "Form list          : Main (TMainForm)",
      "Browser Name       : Firefox",
      "Browser UserAgent  : Mozilla/5.0",
      "Session ID         : abc",
      "Last Access        : 2026-03-04 10:00:00.005",
      "Callback           : True",
      "Client IP address  : 10.0.0.7",
      "Request PathInfo   : /appservice/",
      "Request Method     : POST",
      "Runtime parameters : a=1",
      kSep,
      "[Stack trace is empty]",
      kSep,
  };
  EXPECT_EQ(logger->Report(), want);
  EXPECT_TRUE(base::starts_with(want[10], "Compiler Version   : "));

  const std::vector<std::string> files = file_names(log_dir());
  ASSERT_EQ(files, std::vector<std::string>{"appserver@2026-03-05 12-20-35.400.Log"});
  EXPECT_EQ(base::read_file(log_dir() + files[0]), base::join(want, "\r\n") + "\r\n");
  EXPECT_TRUE(events_.empty());
}

TEST_F(ExceptionLoggerTest, ChoosesWhereTheReportGoes) {
  struct Case {
    const char* name;
    bool enabled;
    TLogType type;
    bool folder_writable;
    int hook;  // -1 none, 0 returns false, 1 returns true
    bool event_log_works;
    bool want_result;
    size_t want_files;
    size_t want_events;
  };
  constexpr Case kCases[] = {
      {"disabled", false, TLogType::ltFile, true, -1, true, false, 0, 0},
      {"file", true, TLogType::ltFile, true, -1, true, true, 1, 0},
      {"unwritable folder", true, TLogType::ltFile, false, -1, true, true, 0, 1},
      {"event log", true, TLogType::ltEventLog, true, -1, true, true, 0, 1},
      {"event log fails", true, TLogType::ltEventLog, true, -1, false, false, 0, 1},
      {"hook takes it", true, TLogType::ltFile, true, 1, true, true, 0, 0},
      {"hook declines", true, TLogType::ltFile, true, 0, true, true, 1, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::TempFolder out;
    events_.clear();
    event_log_works_ = c.event_log_works;
    auto logger = make_logger();
    logger->SetEnabled(c.enabled);
    logger->SetLogType(c.type);
    if (c.folder_writable) {
      logger->SetFilePath(" " + out.root() + "logs ");
    } else {
      base::write_file(out.root() + "plain", "x");
      logger->SetFilePath(out.root() + "plain/logs");
    }
    int hook_calls = 0;
    if (c.hook >= 0) {
      logger->OnLogException = [&](const std::vector<std::string>& report) {
        ++hook_calls;
        EXPECT_EQ(report.front(), kSep);
        return c.hook == 1;
      };
    }
    const FrameworkError error("boom");
    EXPECT_EQ(logger->LogException(nullptr, &error), c.want_result);
    EXPECT_EQ(file_names(out.root() + "logs").size(), c.want_files);
    ASSERT_EQ(events_.size(), c.want_events);
    if (c.want_events == 1) {
      EXPECT_EQ(events_[0].source, "appserver");
      EXPECT_EQ(events_[0].text, base::join(logger->Report(), "\r\n"));
    }
    EXPECT_EQ(hook_calls, c.enabled && c.hook >= 0 ? 1 : 0);
  }
  auto logger = make_logger();
  EXPECT_FALSE(logger->LogException(nullptr, nullptr));
}

TEST_F(ExceptionLoggerTest, SkipsIgnoredClassesButNotTheirSubclasses) {
  auto logger = make_logger();
  logger->RegisterIgnoreException<FrameworkError>();
  struct Case {
    std::function<bool()> log;
    bool logged;
  };
  const Case kCases[] = {
      {[&] {
         FrameworkError e("a");
         return logger->LogException(nullptr, &e);
       },
       false},
      {[&] {
         DerivedError e("b");
         return logger->LogException(nullptr, &e);
       },
       true},
      {[&] {
         base::Exception e("c");
         return logger->LogException(nullptr, &e);
       },
       true},
  };
  for (size_t i = 0; i < std::size(kCases); ++i) {
    SCOPED_TRACE(i);
    clock_ += 1.0 / 86400;
    EXPECT_EQ(kCases[i].log(), kCases[i].logged);
  }
  EXPECT_EQ(file_names(log_dir()).size(), 2u);
}

// Failing requests cannot fill the disk with reports: past the limits the surplus is
// dropped, and one line in the system log says so.
TEST_F(ExceptionLoggerTest, ReportsStayWithinTheirLimits) {
  struct Case {
    const char* what;
    int32_t per_minute;
    int32_t files;
    std::vector<double> seconds;  // when each report is logged, after the start
    size_t written;
    std::vector<std::string> lines;  // system log lines
  };
  const std::string per_minute =
      "Exception log: more than 3 reports within a minute; the rest of this minute's are "
      "dropped.";
  const std::string full = "Exception log: " + log_dir() +
                           " holds 4 report files; further reports are dropped until it is purged.";
  // clang-format off
  const Case cases[] = {
      {"burst within a minute", 3, 100, {0, 1, 2, 3, 4, 5}, 3, {per_minute}},
      {"the next minute writes again", 3, 100, {0, 1, 2, 3, 60, 61, 62, 63}, 6,
       {per_minute, per_minute}},
      {"total", 100, 4, {0, 10, 20, 30, 40, 50, 60, 70}, 4, {full}},
      {"defaults allow steady failures", TSvExceptionLogger().MaxReportsPerMinute(),
       TSvExceptionLogger().MaxFiles(), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 10, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    base::remove_tree(log_dir());
    events_.clear();
    auto logger = make_logger();
    logger->SetMaxReportsPerMinute(c.per_minute);
    logger->SetMaxFiles(c.files);
    size_t logged = 0;
    for (const double at : c.seconds) {
      clock_ = start_ + at / 86400;
      const FrameworkError error("failure");
      logged += logger->LogException(nullptr, &error) ? 1 : 0;
    }
    EXPECT_EQ(logged, c.written);
    EXPECT_EQ(file_names(log_dir()).size(), c.written);
    std::vector<std::string> lines;
    for (const EventEntry& e : events_) {
      lines.push_back(e.text);
    }
    EXPECT_EQ(lines, c.lines);
  }
}

TEST_F(ExceptionLoggerTest, KeepsReportsOfTheSameMillisecond) {
  auto logger = make_logger();
  logger->SetFileName("errors");
  const FrameworkError first("one");
  const FrameworkError second("two");
  ASSERT_TRUE(logger->LogException(nullptr, &first));
  ASSERT_TRUE(logger->LogException(nullptr, &second));
  const std::vector<std::string> want = {"errors@2026-03-04 10-20-30.400.Log",
                                         "errors@2026-03-04 10-20-30.400_2.Log"};
  ASSERT_EQ(file_names(log_dir()), want);
  EXPECT_NE(base::read_file(log_dir() + want[0]).find("Exception message  : one"),
            std::string::npos);
  EXPECT_NE(base::read_file(log_dir() + want[1]).find("Exception message  : two"),
            std::string::npos);
}

TEST_F(ExceptionLoggerTest, RecordsSectionFailuresAndChosenSections) {
  auto logger = make_logger();
  logger->SetReportInfos(
      {.riAppInfo = false, .riExceptionInfo = true, .riSvAppInfo = true, .riStackTrace = false});
  logger->framework_info = []() -> FrameworkReportInfo { throw base::Exception("no list"); };
  const FrameworkError error("x");
  ASSERT_TRUE(logger->LogException(nullptr, &error));
  const std::vector<std::string> want = {
      kSep,
      "Exception message  : x",
      "Exception class    : FrameworkError",
      "Exception Time     : 2026-03-04 10:20:30.400",
      kSep,
      "Error getting Corvane information: no list",
      kSep,
  };
  EXPECT_EQ(logger->Report(), want);
}

TEST_F(ExceptionLoggerTest, ShowsApplicationSectionsOnlyToLocalDetails) {
  auto logger = make_logger();
  logger->SetEnabled(false);  // details do not depend on logging
  FrameworkReportInfo info;
  info.version = "14.0.39";
  logger->framework_info = [&] { return info; };
  const FrameworkError error("bad <thing>");
  const std::string remote = logger->GetExceptionDetail(error, false);
  EXPECT_EQ(
      remote,
      base::join({"Exception message  : bad <thing>", "Exception class    : FrameworkError",
                  "Exception Time     : 2026-03-04 10:20:30.400", kSep, "[Stack trace is empty]"},
                 "\r\n"));
  const std::string local = logger->GetExceptionDetail(error, true);
  EXPECT_NE(local.find("Application Name   : "), std::string::npos);
  EXPECT_NE(local.find("Corvane Version   : 14.0.39"), std::string::npos);
  EXPECT_TRUE(base::ends_with(local, kSep + "\r\n[Stack trace is empty]"));
  EXPECT_TRUE(file_names(log_dir()).empty());
}

TEST_F(ExceptionLoggerTest, PurgesOldLogFilesOfItsStem) {
  auto logger = make_logger();
  logger->SetFileName("app");
  logger->SetPurgeAfterDays(2);
  clock_ = base::now();
  base::force_directories(log_dir() + "app-old-folder.log");
  struct Case {
    const char* name;
    int age_days;
    bool kept;
  };
  constexpr Case kCases[] = {
      {"app@old.Log", 5, false}, {"app@old2.log", 3, false}, {"APP@old3.LOG", 3, false},
      {"app@new.Log", 1, true},  {"app@old.txt", 5, true},   {"other@old.Log", 5, true},
  };
  for (const Case& c : kCases) {
    const std::string path = log_dir() + c.name;
    base::write_file(path, "x");
    const timeval times[2] = {{base::local_to_unix(clock_) - c.age_days * 86400 - 60, 0},
                              {base::local_to_unix(clock_) - c.age_days * 86400 - 60, 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0);
  }
  logger->PurgeFiles();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(base::file_exists(log_dir() + c.name), c.kept);
  }
  EXPECT_TRUE(base::directory_exists(log_dir() + "app-old-folder.log"));

  // Destruction purges as well, while enabled.
  base::write_file(log_dir() + "app@older.Log", "x");
  const timeval old[2] = {{base::local_to_unix(clock_) - 9 * 86400, 0},
                          {base::local_to_unix(clock_) - 9 * 86400, 0}};
  ASSERT_EQ(::utimes((log_dir() + "app@older.Log").c_str(), old), 0);
  logger.reset();
  EXPECT_FALSE(base::file_exists(log_dir() + "app@older.Log"));
}

TEST_F(ExceptionLoggerTest, RefusesToPurgeTheRoot) {
  struct Case {
    const char* path;
    const char* shown;
  };
  constexpr Case kCases[] = {
      {"/", "/"}, {"//", "//"}, {"/tmp/..", "/tmp/../"}, {"/./", "/./"}, {" /usr/../ ", "/usr/../"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    auto logger = make_logger();
    logger->SetPurgeAfterDays(1);
    logger->SetFilePath(c.path);
    expect_failure(
        [&] { logger->PurgeFiles(); },
        std::string("Assertion failed: TSvExceptionLogger.PurgeFiles attempts to delete \"") +
            c.shown + "\"");
    logger->SetEnabled(false);
  }
}

TEST(ExceptionLoggerHelpersTest, TakesFrameworkValuesFromControllerAndSession) {
  testing::FakeClock clock;
  testing::TempFolder folder;
  auto controller =
      TSvServerControllerBase::Create<TSvServerControllerBase>(folder.environment(clock));
  FrameworkReportInfo info = framework_report_info(*controller, nullptr);
  EXPECT_EQ(info.version, "14.0.39");
  EXPECT_FALSE(info.multi_session);
  EXPECT_EQ(info.content_path, controller->ContentPath());
  EXPECT_EQ(info.session_count, 0);
  EXPECT_FALSE(info.session.has_value());

  base::NameValueList params;
  params.add("a=1");
  SessionRequestInfo request;
  request.user_agent = "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0";
  request.client_ip = "10.9.8.7";
  request.params = &params;
  TSvApplication* session = controller->Sessions().CreateSession(request, "", "");
  info = framework_report_info(*controller, session);
  EXPECT_EQ(info.session_count, 1);
  ASSERT_TRUE(info.session.has_value());
  EXPECT_EQ(info.session->session_id, session->AppID());
  EXPECT_EQ(info.session->client_ip, "10.9.8.7");
  EXPECT_EQ(info.session->runtime_parameters, "?a=1");
  EXPECT_TRUE(info.session->has_browser);
  EXPECT_EQ(info.session->browser_user_agent, request.user_agent);
  session->Unlock();
}

TEST(ExceptionLoggerHelpersTest, WritesDurations) {
  struct Case {
    int64_t seconds;
    const char* text;
  };
  constexpr Case kCases[] = {
      {0, ""},
      {1, "1 second"},
      {59, "59 seconds"},
      {60, "1 minute"},
      {3661, "1 hour 1 minute 1 second"},
      {93605, "1 day 2 hours 5 seconds"},
      {2 * 86400 + 120, "2 days 2 minutes"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(duration_text(c.seconds), c.text);
  }
}

TEST(ExceptionLoggerHelpersTest, TellsTheLoopbackAddress) {
  struct Case {
    const char* address;
    bool loopback;
  };
  constexpr Case kCases[] = {
      {"127.0.0.1", true},  {"::1", true},         {"::FFFF:127.0.0.1", true},
      {"localhost", false}, {"127.0.0.2", false},  {"10.0.0.1", false},
      {"", false},          {"127.0.0.1 ", false}, {"::", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(IsLoopbackAddress(c.address), c.loopback);
  }
}

TEST(ExceptionLoggerHelpersTest, NamesExceptionClassesWithoutNamespaces) {
  EXPECT_EQ(exception_class_name(DerivedError("x")), "DerivedError");
  EXPECT_EQ(exception_class_name(std::runtime_error("x")), "runtime_error");
}

}  // namespace
}  // namespace appsrv::server
