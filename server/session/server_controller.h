// The process-wide server controller: the server's configuration, the values computed at
// start, the application's server-level events, and ownership of the session list.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/log_throttle.h"
#include "base/name_value_list.h"

namespace appsrv::server {

class Clock;
class TBrowser;
class TSvApplication;
class TSvSessions;
class SessionTimeoutThread;
class THttpRequest;
class THttpReply;
class TSvAutherBase;
class TSvExceptionLogger;
class TSvServerControllerBase;

enum class TComInitialization { ciNone, ciNormal, ciMultiThreaded };
enum class TLogOptions { loNone, loFile };
enum class TSvShowMessageType { smAlert, smNewWindow, smSameWindow, smSameWindowFrame };
enum class SslVersion { SSLv2, SSLv23, SSLv3, TLSv1, TLSv11, TLSv12 };
enum class NonSslRequest { nsAccept, nsBlock, nsRedirect };
enum class ScriptErrorMode { emNone, emAlert, emConsole };
enum class BackButtonPolicy { bmInterceptGlobal, bmInterceptForm, bmEnable, bmDisableCompat };

// Reply compression. Turning off both gzip and deflate turns compression off; turning it on
// again with both off allows both.
class TSvCompressionOptions {
 public:
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool v);
  bool AllowGZip() const { return allow_gzip_; }
  void SetAllowGZip(bool v);
  bool AllowDeflate() const { return allow_deflate_; }
  void SetAllowDeflate(bool v);

  int Level = 1;
  int MinSize = 1024;
  bool PreCompress = true;

 private:
  void disable_when_nothing_allowed();
  bool enabled_ = true;
  bool allow_gzip_ = true;
  bool allow_deflate_ = true;
};

// The session cookie. `UseCookies` cross-checks the owning controller's
// AllowMultipleSessionsPerUser; assignment copies the values only.
class TSvSessionCookieOptions {
 public:
  explicit TSvSessionCookieOptions(const TSvServerControllerBase& owner) : owner_(&owner) {}
  TSvSessionCookieOptions(const TSvSessionCookieOptions&) = delete;
  TSvSessionCookieOptions& operator=(const TSvSessionCookieOptions& other);

  const std::string& CookieNameSuffix() const { return cookie_name_suffix_; }
  // Drops blanks, "," and ";".
  void SetCookieNameSuffix(std::string_view v);
  bool UseCookies() const { return use_cookies_; }
  // Throws ESvException while the controller keeps one session per user.
  void SetUseCookies(bool v);

  bool SessionCookies = true;
  // Secure on every connection; SecureOverTLS adds it only where the request came over TLS.
  bool Secure = false;
  bool SecureOverTLS = true;
  // Keep scripts and other sites' requests away from the session cookie.
  bool HttpOnly = true;
  bool SameSiteLax = true;

 private:
  const TSvServerControllerBase* owner_;
  std::string cookie_name_suffix_;
  bool use_cookies_ = true;
};

struct TSvSecurityOptions {
  bool CheckSameIP = true;
  bool CheckSameUA = false;
  bool CheckFormId = false;
  bool ShowSecurityErrorDetails = true;
  // Peers whose X-Forwarded-For names the client (base::client_address); for any other peer
  // the client address is the peer's own. They may also read "/$/metrics".
  // port.ini: [SECURITY] TrustedProxies=a,b (an empty value trusts none).
  std::vector<std::string> TrustedProxies = {"127.0.0.1", "::1"};
  // Hosts ("host" or "host:port") besides this server's own paths that "/$/Stop/?url=" may
  // send the browser to. port.ini: [SECURITY] StopRedirectHosts=a,b (default none).
  std::vector<std::string> StopRedirectHosts;
};

struct TSvSSLOptions {
  int32_t Port = 0;
  NonSslRequest NonSSLRequest = NonSslRequest::nsAccept;
  SslVersion SSLVersion = SslVersion::TLSv12;
  std::vector<SslVersion> SSLVersions;
  std::string CertificatePassword;
  std::string CipherList;
  std::string DHParamsFile;
};

struct TSvSearchEngineOptions {
  bool RedirectToContentHandler = false;
  std::string ContentHandlerPath;
};

struct ScriptOptions {
  bool Debug = false;
  bool UseUncompressedFiles = false;
  bool EnableFirebug = false;
  ScriptErrorMode AjaxErrorMode = ScriptErrorMode::emAlert;
  bool RenderjQuery = true;
};

struct BackButtonSettings {
  BackButtonPolicy Mode = BackButtonPolicy::bmDisableCompat;
  bool ShowMessage = false;
  std::string WarningMessage;
};

struct MobileSettings {
  std::string ViewportTag;
};

// Bounds on the application's read queries, whose texts come from clients: how long the reads
// of one request may run, the largest value they may read, the largest reply page they may
// fill, the temporary disk they may hold, and the heap all of SQLite may take. 0 or less: no
// limit. Each can be set in the [LIMITS] section of port.ini under its own name.
struct TSvQueryLimits {
  int32_t ReadTimeoutMs = 30000;
  int64_t MaxValueBytes = int64_t{16} << 20;
  // Counted as written (escapes included); a page being built and its text take about twice
  // this at their peak, so 16 sessions building such pages at once stay near 1 GiB.
  int64_t MaxPageBytes = int64_t{32} << 20;
  // Temporary files the reads of one request spill sorts and intermediate results to, at once.
  int64_t MaxTempBytes = int64_t{256} << 20;
  // SQLite's own heap, all connections of the process together (sqlite3_hard_heap_limit64):
  // a query whose allocation would pass it fails; the others go on.
  int64_t MaxSqliteHeapBytes = int64_t{512} << 20;
};

// What strangers can make the server hold and how long a slow peer may take; 0 or less: no
// limit. Each can be set in the [LIMITS] section of port.ini under its own name.
struct TSvServerLimits {
  // Request line and headers must be complete this long after their first byte, plus one
  // second for every HeaderMinRateBytesPerSec bytes received, up to HeaderMaxTimeoutMs after it.
  int32_t HeaderTimeoutMs = 20000;
  int32_t HeaderMaxTimeoutMs = 40000;
  int32_t HeaderMinRateBytesPerSec = 500;
  // A body that stops arriving for this long ends the connection.
  int32_t BodyIdleTimeoutMs = 60000;
  // A body must be complete BodyRateGraceMs after its start, plus one second for every
  // BodyMinRateBytesPerSec bytes received: past its grace it keeps at least that rate.
  int32_t BodyRateGraceMs = 20000;
  int32_t BodyMinRateBytesPerSec = 500;
  // A reply the peer stops taking for this long ends the connection.
  int32_t SendStallTimeoutMs = 60000;
  // A reply must be sent SendTimeoutMs after it starts plus one second for every
  // SendMinRateBytesPerSec bytes sent; a rate of 0: SendTimeoutMs bounds the whole reply.
  int32_t SendTimeoutMs = 60000;
  int32_t SendMinRateBytesPerSec = 1000;
  // A connection waiting for its next request (or its first) is closed after this long.
  int32_t KeepAliveIdleTimeoutMs = 15000;
  // Connections served at once; when one more comes, a connection that waits for a request
  // and has sent the least is closed in its place, or, when none waits, the new one is.
  int32_t MaxConnections = 2000;
  // Connections one client (peer address) holds at once, counted from accept; one more from it
  // is closed at once. The trusted proxies (TSvSecurityOptions) have no such limit.
  int32_t MaxConnectionsPerClient = 256;
  // New connections the system keeps waiting until the server takes them; beyond it a new
  // connection waits for the client's retry, a second or more. 0 or less: the system's most.
  int32_t ListenQueue = 1024;
  // After the last reply of a connection whose client had sent more than the server read, what
  // still comes is read and dropped this long at most, until the client closes, so that the
  // close sends no reset that could destroy the reply before the client read it.
  int32_t CloseLingerMs = 2000;
  // Request bodies beyond this get 413 and the connection closes.
  int64_t MaxBodyBytes = int64_t{1} << 30;
  // Form-encoded bodies are decoded in memory: beyond this the reply is 413.
  int64_t MaxFormBytes = int64_t{8} << 20;
  // A multipart part's header block: its bytes and its lines.
  int32_t MaxPartHeaderBytes = 32 * 1024;
  int32_t MaxPartHeaderLines = 100;
  // Live sessions; a request that would start one more gets 503.
  int32_t MaxSessions = 100000;
  // New sessions one client address may start: a bucket of NewSessionBurstPerClient that
  // refills at NewSessionsPerClientPerMinute (a burst below 1 counts as 1). A request that
  // finds it empty gets 503 with Retry-After and no session, so that one client cannot fill
  // MaxSessions; requests on its existing sessions go on. Rate 0 or less: no limit.
  int32_t NewSessionsPerClientPerMinute = 300;
  int32_t NewSessionBurstPerClient = 60;
  // Requests of one client address using the database at once; one more gets 503 at once:
  // waiting would hold its thread as well as its place.
  int32_t MaxDatabaseRequestsPerClient = 8;
  // A session's database connection unused this long is closed (its descriptors and memory
  // go back); the session's next request opens it again.
  int32_t DatabaseIdleTimeoutMs = 60000;
  // Sessions whose database connection keeps its file mapping between requests: the most
  // recently used this many; the others give it back when their request ends. A kept mapping
  // spares the next request faulting the file's pages in again (which took more than half the
  // CPU of a first grid page), but every connection's mapping counts in full in the process's
  // resident memory, though its pages are the system's file cache that all share. 16 are more
  // than a few cores serve at once, and bound that figure to 16 times the 16 MB mapping limit
  // at any moment, however many sessions there are. 0: every request gives its mapping back.
  int32_t DatabaseMappedSessions = 16;
  // A session that has made no request for this long gives its mapping back (on the idle
  // pass, a tenth of this late at most): longer than the pause between pages of someone paging
  // through a grid, short enough that a server at rest soon shows no mapping. 0: only the
  // bound above takes mappings back.
  int32_t DatabaseMappingIdleMs = 5000;
  // Folded header lines (starting with a blank) get 400; off, each is a raw line of its own.
  bool RefuseFoldedHeaders = true;
};

// Where the access log goes: one line per request, in the combined format. Each can be set in
// the [ACCESSLOG] section of port.ini: Output=file|stdout|off, File=..., MaxQueuedBytes=...
enum class AccessLogOutput { kFile, kStdout, kOff };
struct AccessLogSettings {
  AccessLogOutput Output = AccessLogOutput::kFile;
  // Relative names are beside the program; "" means the program's name + "-access.log".
  std::string File;
  // Lines waiting for the disk; beyond it lines are dropped and counted, never waited for.
  int64_t MaxQueuedBytes = int64_t{8} << 20;
};

// Settings read only by page rendering, carried unchanged.
struct RenderSettings {
  bool DebugHTML = false;
  bool EnableImageToolbar = false;
  std::vector<std::string> HTMLHeaders;
  std::vector<std::string> ContentFiles;
  std::string MasterTemplate;
  bool PageTransitions = false;
  int32_t RedirectMsgDelay = 0;
  int32_t ServerResizeTimeout = 0;
  bool ShowLoadingAnimation = true;
  std::string StyleSheet;
  std::string Theme;
  std::string DocType;
};

// A request the pipeline has answered, as the operator sees it. Views into the request; valid
// during the call that receives it.
struct RequestOutcome {
  std::string_view method;
  std::string_view path;
  int status = 0;
  int64_t duration_us = 0;
  std::string_view session_id;               // whole; "" when the request has none
  const std::exception* failure = nullptr;  // what made the request fail, or null
};

// What the application's readiness check found: the service it depends on, in one line for
// operators (no password), and why it does not answer, when it does not.
struct ReadinessReport {
  std::string what;                    // "Database: /opt/appserver/TEST.mdb (SQLite 3.40.1)"
  std::optional<std::string> failure;  // "database file not found: /opt/appserver/TEST.mdb"
  bool ready() const { return !failure.has_value(); }
};
// Checks what the application needs in order to serve; called on any thread, at start-up and
// for every "/$/ready", so it must be thread-safe and should be quick.
using ReadinessProbe = std::function<ReadinessReport()>;

// Where the controller finds its files and how it tells time; tests point these at
// temporary folders and a fake clock.
struct ControllerEnvironment {
  std::string application_folder;  // with a trailing "/"; default: the executable's folder
  std::string application_file;    // executable file name; names the session event log
  std::string temp_folder;         // with a trailing "/"; default: the system's temporary folder
  const Clock* clock = nullptr;    // default: the system clock; must outlive the controller
  // Receives the controller's log lines when Log is loFile.
  std::function<void(std::string_view)> log_line;
  // Receives the lines meant for whoever runs the server, one per failed request; the console
  // shows them, the service program's journal keeps them. Default: standard error.
  std::function<void(std::string_view)> operator_line;
  std::chrono::milliseconds session_timeout_interval{60000};
  bool start_timeout_thread = true;

  static ControllerEnvironment Default();
};

// The server's configuration and its server-level events. Build it with Create<T>(), which
// runs the configuration steps in order; then it is locked and read without locks by every
// thread. Events run on the thread that fires them and must be thread-safe.
//
// Its owner calls Shutdown() before deleting it, so that the sessions still alive are
// destroyed (firing OnCloseSession) while the whole object, derived parts included, exists.
class TSvServerControllerBase {
 public:
  explicit TSvServerControllerBase(ControllerEnvironment env);
  // Runs Shutdown() when the owner has not; the events then see only the base part. Deletes
  // the server-wide cache files and the cache folder.
  virtual ~TSvServerControllerBase();
  TSvServerControllerBase(const TSvServerControllerBase&) = delete;
  TSvServerControllerBase& operator=(const TSvServerControllerBase&) = delete;

  // Builds a controller of class T and configures it: design values, port.ini, end of
  // configuration (OnConfig, defaults, lock) and the cache directory.
  template <class T, class... Args>
  static std::unique_ptr<T> Create(ControllerEnvironment env, Args&&... args) {
    auto controller = std::make_unique<T>(std::move(env), std::forward<Args>(args)...);
    controller->Configure();
    return controller;
  }

  // ---- settings ----
  const std::string& AppName() const { return app_name_; }
  void SetAppName(std::string_view v);
  const std::string& Description() const { return description_; }
  void SetDescription(std::string_view v) { description_ = v; }
  const std::string& DisplayName() const { return display_name_; }
  void SetDisplayName(std::string_view v) { display_name_ = v; }
  int32_t Port() const { return port_; }
  void SetPort(int32_t v) { port_ = v; }
  const std::string& BoundIP() const { return bound_ip_; }
  void SetBoundIP(std::string_view v);
  const std::string& URLBase() const { return url_base_; }
  void SetURLBase(std::string_view v);
  const std::string& ContentPath() const { return content_path_; }
  void SetContentPath(std::string_view v);
  const std::string& CacheDir() const { return cache_dir_; }
  // Normalises and creates the folder (mode 0700); see server_controller.cc.
  void SetCacheDir(std::string_view v);
  const std::string& TemplateDir() const { return template_dir_; }
  void SetTemplateDir(std::string_view v) { template_dir_ = v; }
  int32_t SessionTimeout() const { return session_timeout_; }
  void SetSessionTimeout(int32_t v);
  bool AllowMultipleSessionsPerUser() const { return allow_multiple_sessions_; }
  void SetAllowMultipleSessionsPerUser(bool v);
  bool RestartExpiredSession() const { return restart_expired_session_; }
  void SetRestartExpiredSession(bool v) { restart_expired_session_ = v; }
  bool AuthBeforeNewSession() const { return auth_before_new_session_; }
  void SetAuthBeforeNewSession(bool v) { auth_before_new_session_ = v; }
  // Not owned; the authenticator outlives the controller.
  TSvAutherBase* Auther() const { return auther_; }
  void SetAuther(TSvAutherBase* v) { auther_ = v; }
  TComInitialization ComInitialization() const { return com_initialization_; }
  void SetComInitialization(TComInitialization v) { com_initialization_ = v; }
  const std::string& IECompatibilityMode() const { return ie_compatibility_mode_; }
  void SetIECompatibilityMode(std::string_view v) { ie_compatibility_mode_ = v; }
  bool HttpKeepAlive() const { return http_keep_alive_; }
  void SetHttpKeepAlive(bool v) { http_keep_alive_ = v; }
  // The request line and header lines of one request, line ends included; beyond it the
  // transport answers 431 and closes the connection.
  int64_t MaxRequestHeaderBytes() const { return max_request_header_bytes_; }
  void SetMaxRequestHeaderBytes(int64_t v) { max_request_header_bytes_ = v; }
  bool ShowStartParams() const { return show_start_params_; }
  void SetShowStartParams(bool v) { show_start_params_ = v; }
  bool LogSessionEvents() const { return log_session_events_; }
  void SetLogSessionEvents(bool v) { log_session_events_ = v; }
  TLogOptions Log() const { return log_; }
  void SetLog(TLogOptions v) { log_ = v; }
  TSvShowMessageType ExceptionDisplayMode() const { return exception_display_mode_; }
  void SetExceptionDisplayMode(TSvShowMessageType v) { exception_display_mode_ = v; }
  static constexpr std::string_view Version() { return "14.0.39"; }
  // The name of the session cookie: "SV_", the application name and the cookie name suffix.
  std::string SessionCookieName() const {
    return "SV_" + app_name_ + cookie_options_.CookieNameSuffix();
  }

  TSvCompressionOptions& Compression() { return compression_; }
  const TSvCompressionOptions& Compression() const { return compression_; }
  TSvSessionCookieOptions& CookieOptions() { return cookie_options_; }
  const TSvSessionCookieOptions& CookieOptions() const { return cookie_options_; }
  TSvSecurityOptions& SecurityOptions() { return security_options_; }
  const TSvSecurityOptions& SecurityOptions() const { return security_options_; }
  TSvSSLOptions& SSLOptions() { return ssl_options_; }
  const TSvSSLOptions& SSLOptions() const { return ssl_options_; }
  TSvSearchEngineOptions& SearchEngineOptions() { return search_engine_options_; }
  const TSvSearchEngineOptions& SearchEngineOptions() const { return search_engine_options_; }
  ScriptOptions JavaScriptOptions;
  BackButtonSettings BackButtonOptions;
  MobileSettings MobileOptions;
  RenderSettings Render;
  TSvQueryLimits QueryLimits;
  TSvServerLimits Limits;
  AccessLogSettings AccessLog;
  // The access log file AccessLog names (empty when it writes elsewhere).
  std::string AccessLogPath() const;
  // One line for each port.ini key that names no setting; the start goes on without them.
  const std::vector<std::string>& SettingsWarnings() const { return settings_warnings_; }
  // The application's readiness check; set while configuring (the application's design
  // values), before any request thread exists. Without one the server counts as ready.
  void SetReadinessProbe(ReadinessProbe probe) { readiness_probe_ = std::move(probe); }
  bool HasReadinessProbe() const { return static_cast<bool>(readiness_probe_); }
  // Runs the probe; a probe that throws counts as not ready, with its message.
  ReadinessReport CheckReadiness() const;

  // ---- computed at construction ----
  const std::string& FProcessID() const { return process_id_; }
  base::DateTime FStartDateTime() const { return start_date_time_; }
  const std::string& mStartUID() const { return start_uid_; }
  const std::string& MachineName() const { return machine_name_; }
  bool Locked() const { return locked_; }
  const std::vector<std::string>& ServerVariables() const { return server_variables_; }
  const ControllerEnvironment& environment() const { return env_; }
  const Clock& clock() const { return *clock_; }
  // The live sessions; owned here and freed before the rest of the controller.
  TSvSessions& Sessions() { return *sessions_; }
  // Runs one pass of the session timeout thread now.
  void RunSessionTimeoutPass();
  // Runs one idle pass now: gives back the file mappings of the sessions idle for
  // Limits.DatabaseMappingIdleMs and closes the database connections of the sessions idle for
  // Limits.DatabaseIdleTimeoutMs (each none when its setting is 0 or less). The timeout thread
  // gives mappings back every tenth of the shorter time and closes connections every tenth of
  // theirs.
  void RunIdlePass();
  // Stops the session timeout thread and destroys every remaining session, firing
  // OnCloseSession; waits for requests that still hold a session. The session list stays
  // usable (empty). Runs once; later calls do nothing. Call it on the thread that owns the
  // controller, after the transport has stopped.
  void Shutdown() noexcept;
  // Logs the exceptions that escape request processing; owned here, lives as long as the
  // controller. Its settings are written at configuration time.
  TSvExceptionLogger& ExceptionLogger() { return *exception_logger_; }
  const TSvExceptionLogger& ExceptionLogger() const { return *exception_logger_; }

  // ---- events ----
  std::function<void(TSvServerControllerBase&)> OnConfig;
  std::function<void(TSvApplication&)> OnNewSession;
  std::function<void(TSvApplication&)> OnSessionRestarted;
  std::function<void(TSvApplication&)> OnCloseSession;
  std::function<void(TSvApplication&, std::unique_ptr<TBrowser>&)> OnBrowserCheck;
  std::function<void(TSvApplication&, std::string&)> OnGetSessionID;
  std::function<void(TSvApplication*, const std::exception&, bool& handled)> OnException;
  std::function<void(const std::string& path, THttpRequest&, bool& handled, THttpReply&)>
      OnExecuteRequest;
  std::function<void(THttpRequest&, THttpReply&)> OnBeforeDispatch;
  // Runs on the connection's thread once the pipeline has answered a request (the console
  // shows each request with "debug on"). Set by the host before requests are served.
  std::function<void(const RequestOutcome&)> OnRequestDone;
  std::function<void(THttpRequest&, THttpReply&)> OnAfterDispatch;
  std::function<void(std::string& text, bool& keep, int position)> OnParseParameter;

  void DoNewSession(TSvApplication& session);
  void DoSessionRestarted(TSvApplication& session);
  // Exceptions of the handler are swallowed: a session is being destroyed.
  void DoCloseSession(TSvApplication& session) noexcept;
  void DoBrowserCheck(TSvApplication& session, std::unique_ptr<TBrowser>& browser);
  void DoGetSessionID(TSvApplication& session, std::string& id);
  // Logs through ExceptionLogger(), then asks OnException; true when the handler says the
  // error is handled.
  bool DoException(TSvApplication* session, const std::exception& e) noexcept;
  void DoLogException(const std::exception& e) noexcept;

  // Throws "<name> is locked. ..." when the configuration is locked.
  void CheckLock(std::string_view property_name) const;
  // The same against the process-wide controller, when there is one.
  static void CheckLockGlobal(std::string_view property_name);
  void MakeGUIActive() { gui_active_ = true; }
  bool GUIActive() const { return gui_active_; }

  // Writes a line to the application log when Log is loFile.
  void LogLine(std::string_view line) const;
  // Notes a passing shortage (out of file descriptors) and what was done about it on standard
  // error, at most one line a minute for all of them: writing it needs no descriptor, and
  // under systemd the journal keeps it.
  void NoteShortage(std::string_view what) noexcept;
  // Writes one line for a failed request to the environment's operator_line, whether or not
  // exception reports are on: time, method, path, the exception's class and message, and the
  // first characters of the session identifier. At most kFailedRequestLinesPerMinute lines a
  // minute; the next line that gets through says how many were held back.
  static constexpr uint64_t kFailedRequestLinesPerMinute = 60;
  void NoteFailedRequest(const RequestOutcome& outcome) noexcept;
  // Notes that the session event log could not be written in the same way, in a line of its
  // own kind: at most one a minute, however many events it stands for.
  void NoteSessionLogFailure(std::string_view what) const noexcept;

 protected:
  // Applies the application's design-time values; runs before port.ini is read.
  virtual void LoadDesignValues() {}

 private:
  void Configure();
  void ReadPortIni();
  void EndConfiguration();
  // Hands the timeout thread the idle passes the limits ask for.
  void StartIdlePasses();
  void ReleaseIdleMappings();
  void CloseIdleConnections();
  std::string normalised_cache_dir(std::string_view v) const;

  // Settings and computed values are written only while the controller configures itself,
  // before the configuration lock and before any request thread exists; afterwards they are
  // read-only, so request threads read them without a lock.
  ControllerEnvironment env_;
  const Clock* clock_;
  std::string app_name_;
  std::string description_;
  std::string display_name_;
  int32_t port_ = 0;
  std::string bound_ip_;
  std::string url_base_;
  std::string content_path_;
  std::string cache_dir_;
  std::string template_dir_;
  int32_t session_timeout_ = 10;
  bool allow_multiple_sessions_ = false;
  bool restart_expired_session_ = false;
  bool auth_before_new_session_ = false;
  TSvAutherBase* auther_ = nullptr;
  TComInitialization com_initialization_ = TComInitialization::ciNone;
  std::string ie_compatibility_mode_;
  bool http_keep_alive_ = false;
  int64_t max_request_header_bytes_ = 64 * 1024;
  bool show_start_params_ = true;
  bool log_session_events_ = false;
  TLogOptions log_ = TLogOptions::loNone;
  TSvShowMessageType exception_display_mode_ = TSvShowMessageType::smAlert;
  TSvCompressionOptions compression_;
  TSvSessionCookieOptions cookie_options_{*this};
  TSvSecurityOptions security_options_;
  TSvSSLOptions ssl_options_;
  TSvSearchEngineOptions search_engine_options_;

  std::string process_id_;
  base::DateTime start_date_time_ = 0;
  std::string start_uid_;
  std::string machine_name_;
  bool locked_ = false;
  std::atomic<bool> gui_active_{false};  // set by the host once its window runs
  std::vector<std::string> server_variables_;
  std::vector<std::string> settings_warnings_;
  ReadinessProbe readiness_probe_;

  base::LogThrottle shortage_notes_;  // thread-safe
  base::LogThrottle failed_request_notes_{std::chrono::minutes(1),
                                          kFailedRequestLinesPerMinute};  // thread-safe
  mutable base::LogThrottle session_log_notes_;  // thread-safe
  base::LogThrottle close_handler_notes_;      // thread-safe
  base::LogThrottle exception_handler_notes_;  // thread-safe

  // Owned parts; each guards its own shared state.
  std::unique_ptr<TSvExceptionLogger> exception_logger_;
  std::unique_ptr<TSvSessions> sessions_;
  std::unique_ptr<SessionTimeoutThread> timeout_thread_;
  bool shut_down_ = false;
};

// Registers the class the initialize hook builds.
using ControllerFactory =
    std::function<std::unique_ptr<TSvServerControllerBase>(ControllerEnvironment)>;
void SetServerControllerClass(ControllerFactory factory);
template <class T>
void SetServerControllerClass() {
  SetServerControllerClass(
      [](ControllerEnvironment env) -> std::unique_ptr<TSvServerControllerBase> {
        return TSvServerControllerBase::Create<T>(std::move(env));
      });
}

// Builds the process-wide controller from the registered class and configures it; a controller
// that exists already is freed first. Throws ESvException "No server controller is defined."
// without a registration. The pipeline's initialize hook (InitServerController) calls this.
TSvServerControllerBase& CreateServerController(ControllerEnvironment env);
// Shuts the process-wide controller down (its sessions are destroyed while it is whole) and
// frees it. Does nothing when there is none.
void DestroyServerController();
// The process-wide controller, or null before CreateServerController.
TSvServerControllerBase* ServerController();

// Files that a layer above the controller keeps in the cache folder for the whole server (the
// file cache's application files) are deleted by `cleanup`, which every controller's destructor
// runs after its sessions are gone and before it removes the folder. The owner of such files
// registers it before keeping the first one; a later registration replaces it.
void SetServerFilesCleanup(void (*cleanup)());

// Base 36 in lower-case digits, left-padded with "0" to `min_width`.
std::string lower_base36(uint64_t value, size_t min_width = 0);

}  // namespace appsrv::server
