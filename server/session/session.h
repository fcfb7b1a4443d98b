// A client's server-side state (TSvApplication), the thread's current session, and the
// session and track identifier formats.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/name_value_list.h"
#include "server/session/browser.h"
#include "server/session/client_in_flight.h"
#include "server/session/params_string.h"

namespace appsrv::server {

class THttpRequest;
class THttpReply;
class TSvServerControllerBase;
class TSvSessions;

enum class TSessionEvent : uint8_t { seCreate = 0, seDestroy = 1, seRequest = 2 };

// The application's per-session data object; the session owns it and frees it when the
// session is destroyed. The hooks below run under the session's lock (FLock).
class SessionData {
 public:
  virtual ~SessionData() = default;
  // The request attached to the session has ended: caches the next request can rebuild (a
  // database connection's pages) may be given back.
  virtual void RequestEnded() noexcept {}
  // True while the data keeps something open that is worth closing once the session sits idle
  // (a database connection).
  virtual bool HoldsIdleResources() const noexcept { return false; }
  // Closes what HoldsIdleResources() reported; the session's next request opens it again as
  // its first one did, and nothing else of the session changes.
  virtual void CloseIdleResources() noexcept {}
  // True while the data keeps something between requests that makes its next request faster
  // but that only a few sessions may keep at once (a database connection's file mapping,
  // which counts in full in the process's resident memory for every session holding one).
  // Asked after RequestEnded.
  virtual bool HoldsWarmResources() const noexcept { return false; }
  // Gives back what HoldsWarmResources() reported; the next request builds it again.
  virtual void ReleaseWarmResources() noexcept {}
};

// State a higher layer keeps with each session (page rendering keeps the session's forms
// here); opaque to the pipeline. The session owns it and frees it after the data object.
class SessionExtension {
 public:
  virtual ~SessionExtension() = default;
};

// What a session keeps of the request being served: filled by the routing code from its
// THttpRequest. The record must outlive the attached request; the pointers are not owned.
struct SessionRequestInfo {
  THttpRequest* request = nullptr;
  THttpReply* reply = nullptr;
  std::string client_ip;
  std::string user_agent;
  std::string script_name;
  std::string referer;
  std::string path;
  const base::NameValueList* params = nullptr;          // the request's parameters
  const base::NameValueList* content_fields = nullptr;  // written to the session event log
};

// The record for a pipeline request; `client_ip` is the executor's choice among the address
// fields. The request and reply must outlive the record.
SessionRequestInfo MakeSessionRequestInfo(THttpRequest& request, THttpReply& reply,
                                          std::string client_ip);

// One client's session. Created and owned by TSvSessions. A request holds FLock from attach to
// release, so the fields without another note are used only by the request holding it.
// Fields marked "fixed" are written during creation, before the session is visible to other
// threads, and only read afterwards.
class TSvApplication {
 public:
  // Creation steps up to registration (TSvSessions::CreateSession does the rest). Throws
  // EUnknownBrowserException when the browser, after OnBrowserCheck, is not supported.
  TSvApplication(TSvSessions& owner, std::unique_ptr<TBrowser> aBrowser,
                 const SessionRequestInfo& aRequest, std::string_view AIP,
                 std::string_view AAuthUser, std::string_view AAuthPassword,
                 std::string_view AUrlBase);
  ~TSvApplication();
  TSvApplication(const TSvApplication&) = delete;
  TSvApplication& operator=(const TSvApplication&) = delete;

  // The session lock, held by a request from attach to release (across calls, so it cannot
  // be a scoped guard).
  void Lock() { FLock.lock(); }
  bool TryLock() { return FLock.try_lock(); }
  void Unlock() { FLock.unlock(); }

  // Records now as the last access (one atomic store).
  void MarkAccess();
  base::DateTime GetLastAccess() const;
  // True when the session has been idle for its timeout or longer at `now`.
  bool Expired(base::DateTime now) const;

  // Binds the request being served and resets the per-request flags.
  void Initialize(const SessionRequestInfo* ARequest);
  void Terminate() { mTerminated = true; }
  // Terminates with a page showing `AMsg` as the replacement reply.
  void Terminate(std::string_view AMsg);
  // Terminates with a redirect page as the replacement reply; a relative URL is joined to
  // the application URL base when it names a static file, else to the session URL base.
  void TerminateAndRedirect(std::string_view aURL);
  // Sends the replacement reply, when one is set, as the reply's body; true when it did.
  bool SendRenderOverride(THttpReply& aReply);
  // Writes a session event when LogSessionEvents is on; failures are ignored.
  void LogSessionEvent(TSessionEvent AEvent) noexcept;

  const std::string& AppID() const { return FAppID; }
  TSvSessions& sessions() const { return *owner_; }
  TSvServerControllerBase& controller() const;
  const SessionRequestInfo* current_request() const { return current_request_; }

  // What the timeout pass reads of every session comes first, to share a cache line.
  std::atomic<int32_t> mStatus{0};      // any thread
  std::atomic<int32_t> mLastAccess{0};  // any thread: seconds from mCreationTime
  base::DateTime mCreationTime = 0;     // fixed
  // Any thread: the lookup and the timeout pass read it; a request may shorten it.
  std::atomic<int32_t> FSessionTimeOut{0};
  // Held by the request attached to the session, from attach to release. Members below that
  // are marked neither "fixed" nor "any thread" are guarded by FLock.
  std::mutex FLock;
  std::string FAppID;                   // fixed
  std::string mAppUrlBase;              // fixed
  std::string mInternalUrlBase;         // fixed
  std::string mSessionInternalUrlBase;  // fixed
  std::string mSessionUrlBase;          // fixed
  std::string mUserCacheUrlBase;        // fixed
  std::string FAuthPassword;
  std::string FAuthUser;
  std::unique_ptr<TBrowser> mBrowser;
  std::unique_ptr<SessionData> FData;
  std::string FIP;            // fixed
  std::string FReferringURL;  // fixed
  THttpReply* FResponse = nullptr;
  THttpRequest* FRequest = nullptr;
  TSvParamsString FRunParams;
  base::DateTime FSessionTimeStamp = 0;  // fixed
  std::atomic<bool> mTerminated{false};  // any thread
  uint32_t FTrackID = 1;
  std::string FTaggedSessionName;  // fixed (read by the tagged-name scan under the list lock)
  std::string mUserCacheDir;       // fixed
  // The replacement reply (an HTML page) set by terminating with a message or a redirect.
  std::optional<std::string> mRenderOverride;
  std::vector<std::string> mCacheFiles;
  std::string mCookiePath;
  // The session's forms (active and released forms, form size, execute URL), kept by page
  // rendering.
  std::unique_ptr<SessionExtension> FFormsState;

 private:
  friend class TSvSessions;
  TSvSessions* owner_;
  const SessionRequestInfo* current_request_ = nullptr;
  // The served request's place among its client's database requests (TSvSessions::
  // EnterDatabase); Initialize drops it, so it ends with the request. Guarded by FLock.
  std::optional<ClientInFlight::Ticket> database_turn_;
  // In the live list once; destruction then fires the events, OnCloseSession included, also
  // for a session whose FOnCreateSession or OnNewSession failed (it stays listed until the
  // timeout pass collects it).
  bool registered_ = false;
};

// The thread's current session: set while a request is attached or while the timeout thread
// destroys a session. Returns the previous value.
TSvApplication* SetCurrentSession(TSvApplication* session);
TSvApplication* CurrentSession();

// Scoped current session; restores the previous one.
class CurrentSessionScope {
 public:
  explicit CurrentSessionScope(TSvApplication* s) : previous_(SetCurrentSession(s)) {}
  ~CurrentSessionScope() { SetCurrentSession(previous_); }
  CurrentSessionScope(const CurrentSessionScope&) = delete;
  CurrentSessionScope& operator=(const CurrentSessionScope&) = delete;

 private:
  TSvApplication* previous_;
};

// 22 characters from 16 CSPRNG bytes (a version-4 GUID) in the alphabet a-z A-Z 0-9 "~" "-";
// never contains "_".
std::string MakeSessionID();
// Encodes 16 bytes as a session identifier (6 bits at a time, most significant first).
std::string EncodeSessionID(const uint8_t (&bytes)[16]);

// Track identifiers in lower-case base 36 without padding (1 -> "1").
std::string TrackIDToText(uint32_t track_id);
// Lower-cases and accumulates digit values; a character outside the digits counts as -1.
int64_t TrackIDFromText(std::string_view text);

// The page that sends the browser on to `url` (window.location.replace).
std::string RedirectPageHtml(std::string_view url);

}  // namespace appsrv::server
