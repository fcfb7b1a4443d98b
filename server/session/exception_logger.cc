#include "server/session/exception_logger.h"

#include <dirent.h>
#include <syslog.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/exception.h"
#include "base/files.h"
#include "base/metrics.h"
#include "base/text.h"
#include "server/http/http_request.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"

namespace appsrv::server {

namespace {

const std::string kSeparator(120, '-');
constexpr const char* kEmptyStackTrace = "[Stack trace is empty]";
constexpr const char* kProgramVersion = "1.0.0";
constexpr int kIndent = 20;

// Calls `fn` with the path of each report file in `folder`: the files whose names start with
// `stem` and end in ".log" (any case).
void for_each_log_file(const std::string& folder, const std::string& stem,
                       const std::function<void(const std::string&)>& fn) {
  struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) {
    return;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    const std::string path = folder + name;
    if (base::file_exists(path) && base::istarts_with(name, stem) &&
        base::iends_with(name, ".log")) {
      fn(path);
    }
  }
}

std::string host_name() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) {
    return {};
  }
  return buf;
}

std::string compiler_version() {
#if defined(__clang__)
  return std::to_string(__clang_major__) + "." + std::to_string(__clang_minor__) + "." +
         std::to_string(__clang_patchlevel__);
#elif defined(__GNUC__)
  return std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__) + "." +
         std::to_string(__GNUC_PATCHLEVEL__);
#else
  return "unknown";
#endif
}

bool write_syslog(const std::string& source, const std::string& text) {
  // openlog keeps the pointer, so the ident must outlive the call: one per process is enough.
  static const std::string ident = source;
  ::openlog(ident.c_str(), LOG_PID, LOG_USER);
  ::syslog(LOG_ERR, "%s", text.c_str());
  return true;
}

// The stamp in log file names: "yyyy-mm-dd hh-mm-ss.zzz".
std::string file_stamp(base::DateTime value) {
  const base::DateTimeParts p = base::decode_date_time(value);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d-%02d-%02d.%03d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond);
  return buf;
}

std::string true_false(bool v) { return v ? "True" : "False"; }

}  // namespace

ExceptionLoggerEnvironment ExceptionLoggerEnvironment::Default() {
  ExceptionLoggerEnvironment env;
  env.application_folder = base::executable_folder();
  env.application_file = base::executable_file_name();
  env.application_version = kProgramVersion;
  env.computer_name = host_name();
  env.now = [] { return base::now(); };
  env.event_log = write_syslog;
  return env;
}

FrameworkReportInfo framework_report_info(TSvServerControllerBase& controller,
                                          const TSvApplication* session) {
  FrameworkReportInfo info;
  info.version = std::string(TSvServerControllerBase::Version());
  info.multi_session = controller.AllowMultipleSessionsPerUser();
  info.content_path = controller.ContentPath();
  info.session_count = controller.Sessions().GetCount();
  if (session == nullptr) {
    return info;
  }
  SessionReportInfo& s = info.session.emplace();
  s.application_path = session->mAppUrlBase;
  if (session->mBrowser) {
    s.has_browser = true;
    s.browser_name = session->mBrowser->mBrowserName;
    s.browser_user_agent = session->mBrowser->mUserAgent;
  }
  s.session_id = session->AppID();
  s.last_access = session->GetLastAccess();
  if (const SessionRequestInfo* r = session->current_request()) {
    s.client_ip = r->client_ip;
    if (r->request != nullptr) {
      s.path_info = r->request->mPathInfo;
      s.method = r->request->mHttpMethod == hmGet ? "GET" : "POST";
    }
  }
  s.runtime_parameters = session->FRunParams.Raw();
  return info;
}

bool IsLoopbackAddress(std::string_view address) {
  return address == "127.0.0.1" || address == "::1" || base::iequals(address, "::ffff:127.0.0.1");
}

std::string duration_text(int64_t seconds) {
  struct Unit {
    int64_t seconds;
    const char* name;
  };
  constexpr Unit kUnits[] = {{86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
  std::vector<std::string> parts;
  for (const Unit& u : kUnits) {
    const int64_t n = seconds / u.seconds;
    seconds %= u.seconds;
    if (n != 0) {
      parts.push_back(std::to_string(n) + " " + u.name + (n == 1 ? "" : "s"));
    }
  }
  return base::join(parts, " ");
}

std::string report_time_text(base::DateTime value) {
  const base::DateTimeParts p = base::decode_date_time(value);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond);
  return buf;
}

TSvExceptionLogger::TSvExceptionLogger(ExceptionLoggerEnvironment env)
    : env_(std::move(env)), start_time_(env_.now()) {}

TSvExceptionLogger::~TSvExceptionLogger() {
  if (!enabled_) {
    return;
  }
  try {
    PurgeFiles();
  } catch (const std::exception&) {
    // A dangerous folder is refused; the process is ending and nothing else is affected.
  }
}

void TSvExceptionLogger::Assign(const TSvExceptionLogger& other) {
  enabled_ = other.enabled_;
  log_type_ = other.log_type_;
  file_path_ = other.file_path_;
  file_name_ = other.file_name_;
  purge_after_days_ = other.purge_after_days_;
  report_infos_ = other.report_infos_;
  max_reports_per_minute_ = other.max_reports_per_minute_;
  max_files_ = other.max_files_;
}

std::string TSvExceptionLogger::log_folder() const {
  const std::string_view path = base::trim(file_path_);
  if (path.empty()) {
    return env_.application_folder + "ErrorLog/";
  }
  return base::include_trailing_slash(path);
}

std::string TSvExceptionLogger::log_file_stem() const {
  const std::string_view name = base::trim(file_name_);
  if (!name.empty()) {
    return std::string(name);
  }
  return base::change_file_ext(env_.application_file, "");
}

void TSvExceptionLogger::collect_stack_trace_locked(const std::exception&) {
  // C++ exceptions carry no stack trace of their own.
  stack_trace_.assign(1, kEmptyStackTrace);
}

void TSvExceptionLogger::add_exception_info_locked(const std::exception& e) {
  try {
    std::vector<std::string> lines;
    lines.push_back("Exception message  : " + std::string(e.what()));
    lines.push_back("Exception class    : " + exception_class_name(e));
    lines.push_back("Exception Time     : " + report_time_text(env_.now()));
    report_.insert(report_.end(), lines.begin(), lines.end());
  } catch (const std::exception& failure) {
    report_.push_back("Error getting Exception information: " + std::string(failure.what()));
  }
}

void TSvExceptionLogger::add_app_info_locked() {
  try {
    const base::DateTime now = env_.now();
    const auto running = static_cast<int64_t>(std::floor((now - start_time_) * 86400.0 + 1e-6));
    std::vector<std::string> lines;
    lines.push_back("Application Name   : " + env_.application_folder + env_.application_file);
    lines.push_back("Application Version: " + env_.application_version);
    lines.push_back("Started at         : " + report_time_text(start_time_));
    lines.push_back("Running for        : " + duration_text(std::max<int64_t>(running, 0)));
    lines.push_back("Computer Name      : " + env_.computer_name);
    lines.push_back("Compiler Version   : " + compiler_version());
    report_.insert(report_.end(), lines.begin(), lines.end());
  } catch (const std::exception& failure) {
    report_.push_back("Error getting Application information: " + std::string(failure.what()));
  }
}

void TSvExceptionLogger::add_sv_app_info_locked() {
  try {
    if (!framework_info) {
      throw base::Exception("no server controller");
    }
    const FrameworkReportInfo info = framework_info();
    std::vector<std::string> lines;
    lines.push_back("Corvane Version   : " + info.version);
    lines.push_back("Multi-session      : " + true_false(info.multi_session));
    lines.push_back("Content Path       : " + info.content_path);
    lines.push_back("Session count      : " + std::to_string(info.session_count));
    if (info.session.has_value()) {
      const SessionReportInfo& s = *info.session;
      const std::string indent(kIndent, ' ');
      auto add_list = [&](const std::string& label, const std::vector<std::string>& entries) {
        if (entries.empty()) {
          lines.push_back(label);
          return;
        }
        lines.push_back(label + " " + entries.front());
        for (size_t i = 1; i < entries.size(); ++i) {
          lines.push_back(indent + entries[i]);
        }
      };
      lines.push_back("Application Path   : " + s.application_path);
      lines.push_back("Active Form        : " +
                      (s.active_form.empty() ? std::string("[unassigned]") : s.active_form));
      add_list("Active Form list   :", s.active_forms);
      add_list("Form list          :", s.forms);
      if (s.has_browser) {
        lines.push_back("Browser Name       : " + s.browser_name);
        lines.push_back("Browser UserAgent  : " + s.browser_user_agent);
      }
      lines.push_back("Session ID         : " + s.session_id);
      lines.push_back("Last Access        : " + report_time_text(s.last_access));
      lines.push_back("Callback           : " + true_false(s.callback));
      lines.push_back("Client IP address  : " + s.client_ip);
      lines.push_back("Request PathInfo   : " + s.path_info);
      lines.push_back("Request Method     : " +
                      std::string(base::iequals(s.method, "GET") ? "GET" : "POST"));
      lines.push_back("Runtime parameters : " + s.runtime_parameters);
    }
    report_.insert(report_.end(), lines.begin(), lines.end());
  } catch (const std::exception& failure) {
    report_.push_back("Error getting Corvane information: " + std::string(failure.what()));
  }
}

bool TSvExceptionLogger::write_file_locked() {
  try {
    const std::string folder = log_folder();
    if (!base::force_directories(folder)) {
      return false;
    }
    const std::string stem = folder + log_file_stem() + "@" + file_stamp(env_.now());
    // Two reports within one millisecond would otherwise share a name and the first be lost.
    std::string path = stem + ".Log";
    for (int n = 2; base::file_exists(path); ++n) {
      path = stem + "_" + std::to_string(n) + ".Log";
    }
    base::write_file(path, base::join(report_, "\r\n") + "\r\n");
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool TSvExceptionLogger::within_limits_locked() {
  const auto minute = static_cast<int64_t>(std::floor(env_.now() * 1440.0));
  if (minute != minute_) {
    minute_ = minute;
    written_this_minute_ = 0;
  }
  std::string refusal;
  if (max_reports_per_minute_ > 0 && written_this_minute_ >= max_reports_per_minute_) {
    refusal = "Exception log: more than " + std::to_string(max_reports_per_minute_) +
              " reports within a minute; the rest of this minute's are dropped.";
  } else if (max_files_ > 0 && log_type_ == TLogType::ltFile) {
    int64_t files = 0;
    for_each_log_file(log_folder(), log_file_stem(), [&](const std::string&) { ++files; });
    if (files >= max_files_) {
      refusal = "Exception log: " + log_folder() + " holds " + std::to_string(files) +
                " report files; further reports are dropped until it is purged.";
    }
  }
  if (refusal.empty()) {
    ++written_this_minute_;
    drop_told_ = false;
    return true;
  }
  if (!drop_told_ && env_.event_log) {
    drop_told_ = true;
    env_.event_log(base::change_file_ext(env_.application_file, ""), refusal);
  }
  return false;
}

bool TSvExceptionLogger::LogException(const void* /*Sender*/, const std::exception* E) noexcept {
  if (!enabled_ || E == nullptr) {
    return false;
  }
  try {
    // Held through the write as well: reports of concurrent failures must not interleave.
    // The hooks therefore must not log exceptions themselves.
    std::scoped_lock lock(mu_);
    collect_stack_trace_locked(*E);
    report_.clear();
    for (const std::type_index& ignored : ignore_list_) {
      if (ignored == std::type_index(typeid(*E))) {
        return false;
      }
    }
    if (report_infos_.riExceptionInfo) {
      report_.push_back(kSeparator);
      add_exception_info_locked(*E);
    }
    if (report_infos_.riAppInfo) {
      report_.push_back(kSeparator);
      add_app_info_locked();
    }
    if (report_infos_.riSvAppInfo) {
      report_.push_back(kSeparator);
      add_sv_app_info_locked();
    }
    if (report_infos_.riStackTrace) {
      report_.push_back(kSeparator);
      report_.insert(report_.end(), stack_trace_.begin(), stack_trace_.end());
    }
    report_.push_back(kSeparator);

    base::ServerMetrics& figures = base::metrics();
    if (OnLogException && OnLogException(report_)) {
      figures.exception_reports_written.add();
      return true;
    }
    if (!within_limits_locked()) {
      figures.exception_reports_dropped.add();
      return false;
    }
    if (log_type_ == TLogType::ltFile && write_file_locked()) {
      figures.exception_reports_written.add();
      return true;
    }
    if (!env_.event_log) {
      return false;
    }
    const bool written = env_.event_log(base::change_file_ext(env_.application_file, ""),
                                        base::join(report_, "\r\n"));
    if (written) {
      figures.exception_reports_written.add();
    }
    return written;
  } catch (const std::exception&) {
    return false;
  }
}

std::string TSvExceptionLogger::GetExceptionDetail(const std::exception& E, bool local_details) {
  std::scoped_lock lock(mu_);
  collect_stack_trace_locked(E);
  report_.clear();
  add_exception_info_locked(E);
  if (local_details) {
    report_.push_back(kSeparator);
    add_app_info_locked();
    report_.push_back(kSeparator);
    add_sv_app_info_locked();
  }
  report_.push_back(kSeparator);
  report_.insert(report_.end(), stack_trace_.begin(), stack_trace_.end());
  return base::join(report_, "\r\n");
}

void TSvExceptionLogger::RegisterIgnoreException(std::type_index exception_class) {
  std::scoped_lock lock(mu_);
  ignore_list_.push_back(exception_class);
}

std::vector<std::string> TSvExceptionLogger::Report() const {
  std::scoped_lock lock(mu_);
  return report_;
}

void TSvExceptionLogger::PurgeFiles() {
  if (purge_after_days_ <= 0) {
    return;
  }
  const std::string folder = log_folder();
  // Resolved first: "/tmp/.." or "/./" name the root as surely as "/" does.
  const std::string bare = base::exclude_trailing_slash(base::expand_file_name(folder));
  if (bare.empty() || bare == "\\" || bare == "/") {
    throw base::Exception("Assertion failed: TSvExceptionLogger.PurgeFiles attempts to delete \"" +
                          folder + "\"");
  }
  const base::DateTime limit = env_.now() - purge_after_days_;
  std::vector<std::string> doomed;
  for_each_log_file(folder, log_file_stem(), [&](const std::string& path) {
    const std::optional<base::DateTime> modified = base::file_modified(path);
    if (modified.has_value() && *modified < limit) {
      doomed.push_back(path);
    }
  });
  for (const std::string& path : doomed) {
    base::delete_file(path);
  }
}

}  // namespace appsrv::server
