#include "server/session/server_controller.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <thread>

#include "base/boundary_note.h"
#include "base/encoding.h"
#include "base/exception.h"
#include "base/files.h"
#include "base/ini_text.h"
#include "base/parse_int.h"
#include "base/text.h"
#include "server/exchange/sv_exception.h"
#include "server/exchange/temp_files.h"
#include "server/session/clock.h"
#include "server/session/configuration_lock.h"
#include "server/session/exception_logger.h"
#include "server/session/port_ini.h"
#include "server/session/session.h"
#include "server/session/session_list.h"

namespace appsrv::server {

namespace {

// Days from 0001-01-01 to 1899-12-30, plus one: the day count of a classic time stamp.
constexpr int64_t kTimeStampDateDelta = 693594;

// The process-wide controller slot and the registered class. Written by start-up and shutdown
// on the main thread, before and after requests run.
TSvServerControllerBase* g_current = nullptr;
std::unique_ptr<TSvServerControllerBase> g_singleton;
ControllerFactory g_factory;
// Set once by the file cache from whichever thread keeps its first server-wide file.
std::atomic<void (*)()> g_server_files_cleanup{nullptr};

bool is_identifier(std::string_view s) {
  if (s.empty()) {
    return false;
  }
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (!alpha(s[0])) {
    return false;
  }
  for (char c : s) {
    if (!alpha(c) && !(c >= '0' && c <= '9')) {
      return false;
    }
  }
  return true;
}

// Characters of a session identifier that a line for the operator shows, as the access log
// does: enough to follow one session, too few to take it over.
constexpr size_t kOperatorSessionIdChars = 6;

std::string lock_message(std::string_view name) {
  return std::string(name) +
         " is locked. Suggestion: Set in ServerController OnConfig event instead.";
}

// The [LIMITS] section of port.ini: each key a TSvServerLimits member, absent keys unchanged.
void read_limits(PortIni& ini, TSvServerLimits& limits) {
  const auto read = [&](std::string_view key, auto& value) { ini.read("LIMITS", key, value); };
  read("HeaderTimeoutMs", limits.HeaderTimeoutMs);
  read("HeaderMaxTimeoutMs", limits.HeaderMaxTimeoutMs);
  read("HeaderMinRateBytesPerSec", limits.HeaderMinRateBytesPerSec);
  read("BodyIdleTimeoutMs", limits.BodyIdleTimeoutMs);
  read("BodyRateGraceMs", limits.BodyRateGraceMs);
  read("BodyMinRateBytesPerSec", limits.BodyMinRateBytesPerSec);
  read("SendStallTimeoutMs", limits.SendStallTimeoutMs);
  read("SendTimeoutMs", limits.SendTimeoutMs);
  read("SendMinRateBytesPerSec", limits.SendMinRateBytesPerSec);
  read("KeepAliveIdleTimeoutMs", limits.KeepAliveIdleTimeoutMs);
  read("MaxConnections", limits.MaxConnections);
  read("MaxConnectionsPerClient", limits.MaxConnectionsPerClient);
  read("ListenQueue", limits.ListenQueue);
  read("CloseLingerMs", limits.CloseLingerMs);
  read("MaxBodyBytes", limits.MaxBodyBytes);
  read("MaxFormBytes", limits.MaxFormBytes);
  read("MaxPartHeaderBytes", limits.MaxPartHeaderBytes);
  read("MaxPartHeaderLines", limits.MaxPartHeaderLines);
  read("MaxSessions", limits.MaxSessions);
  read("NewSessionsPerClientPerMinute", limits.NewSessionsPerClientPerMinute);
  read("NewSessionBurstPerClient", limits.NewSessionBurstPerClient);
  read("MaxDatabaseRequestsPerClient", limits.MaxDatabaseRequestsPerClient);
  read("DatabaseIdleTimeoutMs", limits.DatabaseIdleTimeoutMs);
  read("DatabaseMappedSessions", limits.DatabaseMappedSessions);
  read("DatabaseMappingIdleMs", limits.DatabaseMappingIdleMs);
  ini.read_flag("LIMITS", "RefuseFoldedHeaders", limits.RefuseFoldedHeaders);
}

// The query limits in the [LIMITS] section of port.ini, under their member names; absent keys
// unchanged.
void read_query_limits(PortIni& ini, TSvQueryLimits& limits) {
  ini.read("LIMITS", "ReadTimeoutMs", limits.ReadTimeoutMs);
  ini.read("LIMITS", "MaxValueBytes", limits.MaxValueBytes);
  ini.read("LIMITS", "MaxPageBytes", limits.MaxPageBytes);
  ini.read("LIMITS", "MaxTempBytes", limits.MaxTempBytes);
  ini.read("LIMITS", "MaxSqliteHeapBytes", limits.MaxSqliteHeapBytes);
}

// The [ACCESSLOG] section of port.ini; absent keys unchanged, an unknown Output leaves it.
void read_access_log(PortIni& ini, AccessLogSettings& settings) {
  const std::string output = ini.read_text("ACCESSLOG", "Output").value_or("");
  if (base::iequals(output, "file")) {
    settings.Output = AccessLogOutput::kFile;
  } else if (base::iequals(output, "stdout")) {
    settings.Output = AccessLogOutput::kStdout;
  } else if (base::iequals(output, "off")) {
    settings.Output = AccessLogOutput::kOff;
  }
  if (const std::optional<std::string> file = ini.read_text("ACCESSLOG", "File");
      file && !file->empty()) {
    settings.File = *file;
  }
  ini.read("ACCESSLOG", "MaxQueuedBytes", settings.MaxQueuedBytes);
}

// A comma-separated list of port.ini, blanks around entries dropped; absent: `list` unchanged.
void read_list(PortIni& ini, std::string_view section, std::string_view name,
               std::vector<std::string>& list) {
  const std::optional<std::string> value = ini.read_text(section, name);
  if (!value) {
    return;
  }
  list.clear();
  for (const std::string& entry : base::split(*value, ',')) {
    if (const std::string_view item = base::trim(entry); !item.empty()) {
      list.emplace_back(item);
    }
  }
}

std::string make_directory_error(const std::string& dir, int err) {
  return "MakeDirectory cannot create directory \"" + dir + "\".\r\n" + base::errno_text(err);
}

// Creates `dir` with its parents, retrying once; the last folder must be ours and is made
// private (0700) because it holds request bodies and session files.
void create_private_directory(const std::string& dir) {
  bool ok = base::force_directories(dir, 0700);
  if (!ok) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ok = base::force_directories(dir, 0700);
  }
  if (!ok) {
    throw ESvException(make_directory_error(dir, errno));
  }
  const std::string path = base::exclude_trailing_slash(dir);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    throw ESvException(make_directory_error(dir, errno));
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    throw ESvException(make_directory_error(dir, EPERM));
  }
  if ((st.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
    throw ESvException(make_directory_error(dir, errno));
  }
}

}  // namespace

std::string lower_base36(uint64_t value, size_t min_width) {
  std::string digits = base::ascii_lowercase(base::to_base36(value));
  if (digits.size() < min_width) {
    digits.insert(0, min_width - digits.size(), '0');
  }
  return digits;
}

// ---- option objects ----

void TSvCompressionOptions::SetEnabled(bool v) {
  enabled_ = v;
  if (v && !allow_gzip_ && !allow_deflate_) {
    allow_gzip_ = true;
    allow_deflate_ = true;
  }
}

void TSvCompressionOptions::SetAllowGZip(bool v) {
  allow_gzip_ = v;
  disable_when_nothing_allowed();
}

void TSvCompressionOptions::SetAllowDeflate(bool v) {
  allow_deflate_ = v;
  disable_when_nothing_allowed();
}

void TSvCompressionOptions::disable_when_nothing_allowed() {
  if (!allow_gzip_ && !allow_deflate_) {
    enabled_ = false;
  }
}

TSvSessionCookieOptions& TSvSessionCookieOptions::operator=(const TSvSessionCookieOptions& other) {
  cookie_name_suffix_ = other.cookie_name_suffix_;
  use_cookies_ = other.use_cookies_;
  SessionCookies = other.SessionCookies;
  Secure = other.Secure;
  SecureOverTLS = other.SecureOverTLS;
  HttpOnly = other.HttpOnly;
  SameSiteLax = other.SameSiteLax;
  return *this;
}

void TSvSessionCookieOptions::SetCookieNameSuffix(std::string_view v) {
  cookie_name_suffix_.clear();
  for (char c : v) {
    if (c != ' ' && c != ',' && c != ';') {
      cookie_name_suffix_ += c;
    }
  }
}

void TSvSessionCookieOptions::SetUseCookies(bool v) {
  if (!v && !owner_->AllowMultipleSessionsPerUser()) {
    throw ESvException(
        "In order to disable cookies you must set ServerController.AllowMultipleSessionsPerUser "
        "to TRUE.");
  }
  use_cookies_ = v;
}

// ---- environment ----

ControllerEnvironment ControllerEnvironment::Default() {
  ControllerEnvironment env;
  env.application_folder = base::executable_folder();
  env.temp_folder = base::system_temp_folder();
  env.clock = &system_clock();
  env.application_file = base::executable_file_name();
  return env;
}

// ---- controller ----

TSvServerControllerBase::TSvServerControllerBase(ControllerEnvironment env) : env_(std::move(env)) {
  const ControllerEnvironment defaults = ControllerEnvironment::Default();
  if (env_.application_folder.empty()) {
    env_.application_folder = defaults.application_folder;
  }
  env_.application_folder = base::include_trailing_slash(env_.application_folder);
  if (env_.application_file.empty()) {
    env_.application_file = defaults.application_file;
  }
  if (env_.temp_folder.empty()) {
    env_.temp_folder = defaults.temp_folder;
  }
  env_.temp_folder = base::include_trailing_slash(env_.temp_folder);
  clock_ = env_.clock != nullptr ? env_.clock : &system_clock();

  content_path_ = env_.application_folder + "wwwroot/";

  const base::DateTime now = clock_->now();
  process_id_ =
      lower_base36(static_cast<uint64_t>(std::llround(now * base::kMillisecondsPerDay)), 10);
  base::DateTimeParts parts = base::decode_date_time(now);
  parts.millisecond = 0;
  start_date_time_ = base::encode_date_time(parts);
  const int64_t days = static_cast<int64_t>(std::floor(start_date_time_)) + kTimeStampDateDelta;
  const int64_t seconds_of_day = parts.hour * 3600 + parts.minute * 60 + parts.second;
  start_uid_ = base::to_hex_upper(static_cast<uint64_t>(days * 86400 + seconds_of_day));
  server_variables_ = {"APP_POOL_ID", "SERVER_ADDR", "SERVER_NAME", "SERVER_PORT",
                       "SERVER_SOFTWARE"};

  ExceptionLoggerEnvironment logger_env = ExceptionLoggerEnvironment::Default();
  logger_env.application_folder = env_.application_folder;
  logger_env.application_file = env_.application_file;
  logger_env.now = [clock = clock_] { return clock->now(); };
  exception_logger_ = std::make_unique<TSvExceptionLogger>(std::move(logger_env));
  // The framework section of a report describes this server and the session the failing
  // thread serves.
  exception_logger_->framework_info = [this] {
    return framework_report_info(*this, CurrentSession());
  };

  sessions_ = std::make_unique<TSvSessions>(*this);
  if (env_.start_timeout_thread) {
    timeout_thread_ =
        std::make_unique<SessionTimeoutThread>(*sessions_, env_.session_timeout_interval);
  }
  if (g_current == nullptr) {
    g_current = this;
  }
}

TSvServerControllerBase::~TSvServerControllerBase() {
  Shutdown();
  sessions_.reset();
  // The server-wide cache files go before their folder, so that the list does not outlive
  // this server and name files of the next one.
  if (void (*cleanup)() = g_server_files_cleanup.load()) {
    cleanup();
  }
  if (locked_) {
    set_configuration_locked(false);
  }
  if (!cache_dir_.empty() && temp_folder() == cache_dir_) {
    set_temp_folder("");
  }
  // The cache folder always ends in this process's identifier; never remove a root.
  const std::string dir = base::exclude_trailing_slash(cache_dir_);
  if (!dir.empty() && dir != "/" && base::ends_with(dir, process_id_)) {
    base::remove_tree(dir);
  }
  if (g_current == this) {
    g_current = nullptr;
  }
}

void TSvServerControllerBase::Configure() {
  LoadDesignValues();
  ReadPortIni();
  EndConfiguration();
  if (!base::directory_exists(cache_dir_)) {
    throw ESvException("Unable to create cache directory \"" + cache_dir_ + "\".");
  }
  LogLine("Cache directory created \"" + cache_dir_ + "\"");
}

void TSvServerControllerBase::ReadPortIni() {
  const std::string path = env_.application_folder + "port.ini";
  if (!base::file_exists(path)) {
    return;
  }
  PortIni ini(base::read_file(path));
  // A port.ini without Port= takes a free port; the listeners take ports up to 65535 only.
  port_ = 0;
  ini.read("PORTS", "Port", port_, 0, 65535);
  ssl_options_.Port = 0;
  ini.read("PORTS", "SSLPort", ssl_options_.Port, 0, 65535);
  ini.read_flag("HTTP", "KeepAlive", http_keep_alive_);
  read_limits(ini, Limits);
  read_query_limits(ini, QueryLimits);
  read_access_log(ini, AccessLog);
  // 1 writes a report for every failed request under ErrorLog/, 0 none; absent: as configured.
  if (ini.read_text("LOG", "ExceptionReports")) {
    bool reports = false;
    ini.read_flag("LOG", "ExceptionReports", reports);
    exception_logger_->SetEnabled(reports);
  }
  // Present but empty trusts no proxy.
  read_list(ini, "SECURITY", "TrustedProxies", security_options_.TrustedProxies);
  read_list(ini, "SECURITY", "StopRedirectHosts", security_options_.StopRedirectHosts);
  settings_warnings_ = ini.unknown_key_warnings();
  for (const std::string& warning : settings_warnings_) {
    LogLine("Warning: " + warning);
  }
}

std::string TSvServerControllerBase::AccessLogPath() const {
  if (AccessLog.Output != AccessLogOutput::kFile) {
    return {};
  }
  if (AccessLog.File.empty()) {
    std::string stem = env_.application_file;
    if (const size_t dot = stem.rfind('.'); dot != std::string::npos && dot > 0) {
      stem.erase(dot);
    }
    return env_.application_folder + (stem.empty() ? std::string("appserver") : stem) +
           "-access.log";
  }
  return AccessLog.File.front() == '/' ? AccessLog.File : env_.application_folder + AccessLog.File;
}

void TSvServerControllerBase::EndConfiguration() {
  if (description_.empty()) {
    description_ = "Corvane Application";
  }
  if (display_name_.empty()) {
    display_name_ = description_;
  }
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) {
    machine_name_ = host;
  }
  if (app_name_.empty()) {
    app_name_ = "MySvApp";
  }
  if (template_dir_.empty()) {
    template_dir_ = env_.application_folder + "Templates/";
  } else if (template_dir_.front() != '/' &&
             base::directory_exists(env_.application_folder + template_dir_)) {
    template_dir_ = base::include_trailing_slash(env_.application_folder + template_dir_);
  } else {
    template_dir_ = base::include_trailing_slash(template_dir_);
  }
  if (OnConfig) {
    OnConfig(*this);
  }
  if (cache_dir_.empty()) {
    SetCacheDir("");
  }
  // Spilled packets and request bodies go into the cache folder from now on.
  set_temp_folder(cache_dir_);
  locked_ = true;
  set_configuration_locked(true);
  StartIdlePasses();
}

// A tenth of a time-out between passes: what it bounds goes at most 10% late. The mapping pass
// looks at a few sessions only (those keeping a mapping) and may run often; the pass over
// every session for idle connections stays rare (every 6 s for the default minute).
void TSvServerControllerBase::StartIdlePasses() {
  const auto tenth = [](int32_t ms) { return std::chrono::milliseconds(std::max(ms / 10, 100)); };
  const auto when_on = [](int32_t ms) { return ms > 0 ? ms : INT32_MAX; };
  const int32_t shortest =
      std::min(when_on(Limits.DatabaseMappedSessions > 0 ? Limits.DatabaseMappingIdleMs : 0),
               when_on(Limits.DatabaseIdleTimeoutMs));
  if (!timeout_thread_ || shortest == INT32_MAX) {
    return;
  }
  timeout_thread_->SetIdlePass(
      tenth(shortest),
      [this, tenth, next_connection_pass = std::chrono::steady_clock::now()]() mutable {
        ReleaseIdleMappings();
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_connection_pass) {
          CloseIdleConnections();
          next_connection_pass = now + tenth(Limits.DatabaseIdleTimeoutMs);
        }
      });
}

std::string TSvServerControllerBase::normalised_cache_dir(std::string_view v) const {
  std::string dir(base::trim(v));
  if (dir.empty()) {
    dir = env_.temp_folder;
  } else if (dir.front() != '/') {
    dir = env_.temp_folder + dir;
  }
  // Every process gets a fresh subfolder named after its identifier.
  if (!base::ends_with(dir, process_id_ + "/")) {
    dir += process_id_;
  }
  return base::include_trailing_slash(dir);
}

void TSvServerControllerBase::CheckLock(std::string_view property_name) const {
  if (locked_) {
    throw ESvException(lock_message(property_name));
  }
}

void TSvServerControllerBase::CheckLockGlobal(std::string_view property_name) {
  if (g_current != nullptr) {
    g_current->CheckLock(property_name);
  }
}

void TSvServerControllerBase::SetAppName(std::string_view v) {
  CheckLock("AppName");
  const std::string_view name = base::trim(v);
  if (name.empty()) {
    throw ESvException("Application name cannot be empty");
  }
  if (!is_identifier(name)) {
    throw ESvException(
        "Invalid application name. Application name must follow the same rules of TComponent "
        "name");
  }
  app_name_ = name;
}

void TSvServerControllerBase::SetBoundIP(std::string_view v) {
  CheckLock("BoundIP");
  bound_ip_ = v;
}

void TSvServerControllerBase::SetURLBase(std::string_view v) {
  std::string base_url(base::trim(v));
  if (!base_url.empty()) {
    if (base_url.front() != '/') {
      base_url.insert(base_url.begin(), '/');
    }
    base_url = base::include_trailing_slash(base_url);
  }
  url_base_ = std::move(base_url);
}

void TSvServerControllerBase::SetContentPath(std::string_view v) {
  CheckLock("ContentPath");
  content_path_ = v.empty() ? std::string() : base::include_trailing_slash(v);
}

void TSvServerControllerBase::SetCacheDir(std::string_view v) {
  CheckLock("CacheDir");
  std::string dir = normalised_cache_dir(v);
  create_private_directory(dir);
  cache_dir_ = std::move(dir);
}

void TSvServerControllerBase::SetSessionTimeout(int32_t v) {
  if (v < 0 || v > 65535) {
    throw ESvException("Invalid session timeout value.");
  }
  session_timeout_ = v;
}

void TSvServerControllerBase::SetAllowMultipleSessionsPerUser(bool v) {
  if (!v && !cookie_options_.UseCookies()) {
    throw ESvException(
        "You must set CookieOptions.UseCookies to TRUE before setting "
        "ServerController.AllowMultipleSessionsPerUser to FALSE.");
  }
  allow_multiple_sessions_ = v;
}

void TSvServerControllerBase::RunSessionTimeoutPass() { sessions_->RunTimeoutPass(); }

void TSvServerControllerBase::RunIdlePass() {
  ReleaseIdleMappings();
  CloseIdleConnections();
}

void TSvServerControllerBase::ReleaseIdleMappings() {
  if (Limits.DatabaseMappingIdleMs > 0) {
    sessions_->ReleaseIdleWarmResources(std::chrono::milliseconds(Limits.DatabaseMappingIdleMs));
  }
}

void TSvServerControllerBase::CloseIdleConnections() {
  if (Limits.DatabaseIdleTimeoutMs > 0) {
    sessions_->CloseIdleResources(std::chrono::milliseconds(Limits.DatabaseIdleTimeoutMs));
  }
}

void TSvServerControllerBase::Shutdown() noexcept {
  if (shut_down_) {
    return;
  }
  shut_down_ = true;
  // No timeout pass may destroy sessions behind the list's back from here on.
  timeout_thread_.reset();
  sessions_->Clear();
}

void TSvServerControllerBase::DoNewSession(TSvApplication& session) {
  if (OnNewSession) {
    OnNewSession(session);
  }
}

void TSvServerControllerBase::DoSessionRestarted(TSvApplication& session) {
  if (OnSessionRestarted) {
    OnSessionRestarted(session);
  }
}

void TSvServerControllerBase::DoCloseSession(TSvApplication& session) noexcept {
  if (OnCloseSession) {
    try {
      OnCloseSession(session);
    } catch (...) {  // boundary: the session is being destroyed whatever the handler says
      base::note_caught("OnCloseSession", close_handler_notes_);
    }
  }
}

void TSvServerControllerBase::DoBrowserCheck(TSvApplication& session,
                                             std::unique_ptr<TBrowser>& browser) {
  if (OnBrowserCheck) {
    OnBrowserCheck(session, browser);
  }
}

void TSvServerControllerBase::DoGetSessionID(TSvApplication& session, std::string& id) {
  if (OnGetSessionID) {
    OnGetSessionID(session, id);
  }
}

bool TSvServerControllerBase::DoException(TSvApplication* session,
                                          const std::exception& e) noexcept {
  exception_logger_->LogException(session, &e);
  bool handled = false;
  if (OnException) {
    try {
      OnException(session, e, handled);
    } catch (...) {  // boundary: the handler's failure fails no request; its flag stands
      base::note_caught("OnException", exception_handler_notes_);
    }
  }
  return handled;
}

void TSvServerControllerBase::DoLogException(const std::exception& e) noexcept {
  exception_logger_->LogException(this, &e);
}

void TSvServerControllerBase::LogLine(std::string_view line) const {
  if (log_ == TLogOptions::loFile && env_.log_line) {
    env_.log_line(line);
  }
}

ReadinessReport TSvServerControllerBase::CheckReadiness() const {
  if (!readiness_probe_) {
    return {};
  }
  try {
    return readiness_probe_();
  } catch (const std::exception& e) {
    return {"", e.what()};
  }
}

void TSvServerControllerBase::NoteFailedRequest(const RequestOutcome& outcome) noexcept {
  const std::optional<uint64_t> reports = failed_request_notes_.due();
  if (!reports) {
    return;
  }
  try {
    const std::exception* e = outcome.failure;
    std::string line = base::iso_date_time_text(clock().now()) + " Request failed: " +
                       std::string(outcome.method) + " " + std::string(outcome.path) + " " +
                       std::to_string(outcome.status) + " " +
                       (e != nullptr ? exception_class_name(*e) + ": " + e->what() : "") +
                       " [session " +
                       (outcome.session_id.empty()
                            ? std::string("-")
                            : std::string(outcome.session_id.substr(0, kOperatorSessionIdChars))) +
                       "]";
    // A message or a decoded path may hold control characters; the line stays one line.
    for (char& c : line) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        c = '?';
      }
    }
    if (*reports > 1) {
      line += " (" + std::to_string(*reports - 1) + " earlier failure line(s) held back)";
    }
    if (env_.operator_line) {
      env_.operator_line(line);
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
      std::fflush(stderr);
    }
  } catch (...) {  // boundary: the request's own answer matters more than its note
  }
}

namespace {

void write_throttled_note(base::LogThrottle& notes, std::string_view what) noexcept {
  if (const std::optional<uint64_t> reports = notes.due()) {
    std::fprintf(stderr, "%.*s (%llu time(s) since the last note)\n",
                 static_cast<int>(what.size()), what.data(),
                 static_cast<unsigned long long>(*reports));
    std::fflush(stderr);
  }
}

}  // namespace

void TSvServerControllerBase::NoteShortage(std::string_view what) noexcept {
  write_throttled_note(shortage_notes_, what);
}

void TSvServerControllerBase::NoteSessionLogFailure(std::string_view what) const noexcept {
  write_throttled_note(session_log_notes_, what);
}

// ---- the process-wide controller ----

void SetServerControllerClass(ControllerFactory factory) { g_factory = std::move(factory); }

TSvServerControllerBase& CreateServerController(ControllerEnvironment env) {
  if (!g_factory) {
    throw ESvException("No server controller is defined.");
  }
  DestroyServerController();
  g_singleton = g_factory(std::move(env));
  g_current = g_singleton.get();
  return *g_singleton;
}

void DestroyServerController() {
  if (g_singleton) {
    g_singleton->Shutdown();
    g_singleton.reset();
  }
}

void SetServerFilesCleanup(void (*cleanup)()) { g_server_files_cleanup.store(cleanup); }

TSvServerControllerBase* ServerController() { return g_current; }

}  // namespace appsrv::server
