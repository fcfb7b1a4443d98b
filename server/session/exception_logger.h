// The exception log: a report per failed request, written to a file under ErrorLog/ or to
// syslog, with an ignore list and purging of old files.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

#include "base/boundary_note.h"
#include "base/date_time.h"

namespace appsrv::server {

enum class TLogType { ltFile, ltEventLog };

// Sections of a report.
struct TReportInfos {
  bool riAppInfo = true;
  bool riExceptionInfo = true;
  bool riSvAppInfo = true;
  bool riStackTrace = true;
};

// What the framework section reports about the session of the failed request.
struct SessionReportInfo {
  std::string application_path;
  std::string active_form;                // "name (class)"; empty reads "[unassigned]"
  std::vector<std::string> active_forms;  // "name (class)" each
  std::vector<std::string> forms;
  bool has_browser = false;
  std::string browser_name;
  std::string browser_user_agent;
  std::string session_id;
  base::DateTime last_access = 0;
  bool callback = false;
  std::string client_ip;
  std::string path_info;
  std::string method;  // reported as "GET" for GET, otherwise "POST"
  std::string runtime_parameters;
};

// What the framework section reports about the server.
struct FrameworkReportInfo {
  std::string version;
  bool multi_session = false;
  std::string content_path;
  int32_t session_count = 0;
  std::optional<SessionReportInfo> session;  // when the thread serves a session
};

// Where the logger finds its files, the time, and the event log; tests replace these.
struct ExceptionLoggerEnvironment {
  std::string application_folder;       // with a trailing "/"; default: the executable's folder
  std::string application_file;         // default: the executable's file name
  std::string application_version;      // default: the build's version text
  std::string computer_name;            // default: the host name
  std::function<base::DateTime()> now;  // default: base::now
  // Writes an error entry to the system log under `source`; default: syslog.
  std::function<bool(const std::string& source, const std::string& text)> event_log;

  static ExceptionLoggerEnvironment Default();
};

// Owned by the server controller (ExceptionLogger()), which logs through it and supplies the
// framework section. LogException and GetExceptionDetail run under one lock, so reports never
// interleave; nothing they do raises. Settings are written before requests are served.
class TSvExceptionLogger {
 public:
  explicit TSvExceptionLogger(
      ExceptionLoggerEnvironment env = ExceptionLoggerEnvironment::Default());
  // Purges old log files when enabled.
  ~TSvExceptionLogger();
  TSvExceptionLogger(const TSvExceptionLogger&) = delete;
  TSvExceptionLogger& operator=(const TSvExceptionLogger&) = delete;

  // Copies the settings (not the ignore list or the hooks).
  void Assign(const TSvExceptionLogger& other);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool v) { enabled_ = v; }
  TLogType LogType() const { return log_type_; }
  void SetLogType(TLogType v) { log_type_ = v; }
  const std::string& FilePath() const { return file_path_; }
  void SetFilePath(std::string_view v) { file_path_ = v; }
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string_view v) { file_name_ = v; }
  int32_t PurgeAfterDays() const { return purge_after_days_; }
  void SetPurgeAfterDays(int32_t v) { purge_after_days_ = v; }
  const TReportInfos& ReportInfos() const { return report_infos_; }
  void SetReportInfos(const TReportInfos& v) { report_infos_ = v; }
  // What failing requests can make the log hold: reports written (to files or the system log)
  // within one minute of the clock, and report files in the log folder. Past either the
  // report is dropped, and one line in the system log says so. 0 or less: no limit.
  int32_t MaxReportsPerMinute() const { return max_reports_per_minute_; }
  void SetMaxReportsPerMinute(int32_t v) { max_reports_per_minute_ = v; }
  int32_t MaxFiles() const { return max_files_; }
  void SetMaxFiles(int32_t v) { max_files_ = v; }

  // The controller's OnLogException: receives the report; true means it has been written.
  std::function<bool(const std::vector<std::string>& report)> OnLogException;
  // Supplies the framework section; may throw, which the report records.
  std::function<FrameworkReportInfo()> framework_info;

  // Logs one exception; true when the report was written. Sender is not used.
  bool LogException(const void* Sender, const std::exception* E) noexcept;
  // The report text for an error page: the exception section, the application and framework
  // sections only when `local_details` (the peer is the loopback address), and the stack
  // trace, joined with CR LF.
  std::string GetExceptionDetail(const std::exception& E, bool local_details);
  // Exceptions of exactly this class are never logged (subclasses still are).
  void RegisterIgnoreException(std::type_index exception_class);
  template <class E>
  void RegisterIgnoreException() {
    RegisterIgnoreException(std::type_index(typeid(E)));
  }
  // Deletes log files older than PurgeAfterDays. Throws "Assertion failed: ..." for a root
  // or empty folder.
  void PurgeFiles();

  // The last report built (a copy).
  std::vector<std::string> Report() const;
  // The folder log files go to, with a trailing "/".
  std::string log_folder() const;
  // The file name stem of log files.
  std::string log_file_stem() const;

 private:
  // REQUIRES: mu_ held.
  void collect_stack_trace_locked(const std::exception& e);
  // REQUIRES: mu_ held.
  void add_exception_info_locked(const std::exception& e);
  // REQUIRES: mu_ held.
  void add_app_info_locked();
  // REQUIRES: mu_ held.
  void add_sv_app_info_locked();
  // REQUIRES: mu_ held.
  bool write_file_locked();
  // Whether one more report may be written now; when not, says so once in the system log.
  // REQUIRES: mu_ held.
  bool within_limits_locked();

  const ExceptionLoggerEnvironment env_;
  const base::DateTime start_time_;

  // Settings: written by the owner while it configures the logger, before requests are
  // served; read-only afterwards.
  bool enabled_ = false;
  TLogType log_type_ = TLogType::ltFile;
  std::string file_path_;
  std::string file_name_;
  int32_t purge_after_days_ = 0;
  TReportInfos report_infos_;
  int32_t max_reports_per_minute_ = 30;
  int32_t max_files_ = 1000;

  mutable std::mutex mu_;
  std::vector<std::string> report_;           // guarded by mu_
  std::vector<std::string> stack_trace_;      // guarded by mu_
  std::vector<std::type_index> ignore_list_;  // guarded by mu_
  int64_t minute_ = -1;                       // guarded by mu_: the minute counted in
  int32_t written_this_minute_ = 0;           // guarded by mu_
  bool drop_told_ = false;  // guarded by mu_: the current run of drops has its line
};

class TSvApplication;
class TSvServerControllerBase;

// The framework section's values from the controller and the session a request is serving
// (null when none); for TSvExceptionLogger::framework_info.
FrameworkReportInfo framework_report_info(TSvServerControllerBase& controller,
                                          const TSvApplication* session);

// True for the loopback address itself: "127.0.0.1", "::1" (or 127.0.0.1 mapped into IPv6).
bool IsLoopbackAddress(std::string_view address);
// "1 day 2 hours 5 seconds"; parts that are zero are left out ("" for under a second).
std::string duration_text(int64_t seconds);
// "yyyy-mm-dd hh:mm:ss.zzz".
std::string report_time_text(base::DateTime value);
using base::exception_class_name;

}  // namespace appsrv::server
