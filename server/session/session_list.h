// The process-wide list of live sessions (TSvSessions): lookup with locking, creation,
// attaching a request, expiry and the timeout thread.
//
// Lock order: a thread may take the list lock (FLock) while holding a session's FLock, never
// the other way round: under the list lock sessions are only tried (TryLock), never waited
// for. A busy session is waited for on `released_` with the list lock released, then looked up
// again. The warm sessions' lock (WarmSessions) may be taken while holding one session's
// FLock; under it sessions are only tried. wait_mu_ is innermost and guards nothing but the
// wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/date_time.h"
#include "base/log_throttle.h"
#include "server/session/client_in_flight.h"
#include "server/session/client_rate_table.h"
#include "server/session/expired_session_list.h"
#include "server/session/session.h"
#include "server/session/warm_sessions.h"

namespace appsrv::server {

class TSvServerControllerBase;

// What the routing code knows when it attaches a request to a session.
struct SessionAttachRequest {
  std::string app_id;                           // from the cookie or the parameters; may be empty
  bool handler_can_start = false;               // the matched content handler may start a session
  const SessionRequestInfo* request = nullptr;  // required; must outlive the attachment
  bool authenticated = false;
  std::string user;
  std::string password;
  // Runs the authentication check before a session is created (AuthBeforeNewSession).
  std::function<void()> authenticate_new_session;
};

struct SessionAttachResult {
  TSvApplication* session = nullptr;  // locked; give it back with Release
  bool is_new = false;
  bool restart = false;   // the new session replaces an expired or unknown one
  int64_t track_id = -1;  // the session's track identifier, for the executor
};

// Owned by the controller; freed before the rest of it. Thread-safe.
class TSvSessions {
 public:
  explicit TSvSessions(TSvServerControllerBase& controller);
  ~TSvSessions();
  TSvSessions(const TSvSessions&) = delete;
  TSvSessions& operator=(const TSvSessions&) = delete;

  // The live session `AAppID`, locked for the caller, or null. `AExpired` tells whether the
  // identifier belongs to an expired session. `ATimeOut` 0 waits for a busy session as long as
  // needed; otherwise gives up after that many milliseconds.
  TSvApplication* LookupAndLock(std::string_view AAppID, bool& AExpired, int ATimeOut = 0);
  TSvApplication* LookupAndLock(std::string_view AAppID, int ATimeOut = 0);
  // Case-insensitive scan of the tagged names; the session found is locked.
  TSvApplication* LookupByTaggedNameAndLock(std::string_view ATaggedSessionName);
  // mStatus of the session (marking its access), or -1 when there is none.
  int32_t QueryStatus(std::string_view AAppID);
  void MarkAccess(std::string_view AAppID);
  // Removes and destroys the session; false when it was not found. The caller must not hold
  // the session's lock.
  bool Terminate(std::string_view AAppID);
  // Takes the session out of the list without destroying it; the caller owns it afterwards.
  std::unique_ptr<TSvApplication> Remove(TSvApplication* ASession);
  bool IsValidSession(const TSvApplication* ASession) const;
  int GetCount() const;
  // Calls `fn` for every live session while holding the list lock exclusively (the server
  // window's listing). `fn` must not call back into the list.
  void LockList(const std::function<void(TSvApplication&)>& fn);

  void ClearExpiredSessionsList();
  void SetExpiredListLimits(const ExpiredListLimits& limits);
  // Raw run parameters of an expired session; `ARemove` drops its entry.
  std::optional<std::string> GetExpiredParams(std::string_view ASessionID, bool ARemove);
  size_t ExpiredCount() const;
  // Destroys every session (shutdown).
  void Clear();

  // Finds or creates the request's session and locks it (see session_list.cc). Throws
  // EExpiredSession, EInvalidAppID, ESvSecurityException or EUnknownBrowserException.
  SessionAttachResult Attach(const SessionAttachRequest& r);
  // End of an attached request: destroys a terminated session, else marks access and unlocks.
  void Release(TSvApplication& session);
  // Creates, registers and locks a new session for the request (runs OnGetSessionID,
  // OnBrowserCheck and FOnCreateSession, not OnNewSession). Throws EClientLimitReached when the
  // request's client has used up its new sessions (Limits.NewSessionsPerClientPerMinute),
  // ESessionLimitReached at Limits.MaxSessions.
  TSvApplication* CreateSession(const SessionRequestInfo& request, std::string_view user,
                                std::string_view password);

  // One pass of the timeout thread: removes and destroys the expired sessions that are not
  // busy; every 60th pass prunes the expired list. When sessions were destroyed since the
  // last pass, gives the freed memory back to the system.
  void RunTimeoutPass();
  // Closes what the data of every session idle for `idle_for` or longer keeps open between
  // requests (SessionData::CloseIdleResources); busy sessions and `except` (a session the
  // calling thread holds) are left alone. Returns how many sessions it closed something of.
  size_t CloseIdleResources(std::chrono::milliseconds idle_for,
                            const TSvApplication* except = nullptr);
  // Gives back what the sessions whose last request ended `idle_for` or more ago keep warm
  // (SessionData::ReleaseWarmResources); busy sessions are left alone. Returns how many.
  size_t ReleaseIdleWarmResources(std::chrono::milliseconds idle_for);
  // Counts the request `session` serves among its client's requests using the database, until
  // the request is released; a second call in the same request does nothing. Throws
  // EClientLimitReached when the client already has Limits.MaxDatabaseRequestsPerClient.
  // REQUIRES: the session's lock held, by the request being counted.
  void EnterDatabase(TSvApplication& session);
  // Clients whose new sessions are being counted, and clients using the database now.
  size_t RateTrackedClients() const { return new_session_rates_.size(); }
  size_t DatabaseClients() const { return database_requests_.clients(); }

  // Sessions allowed to keep warm resources right now (at most
  // Limits.DatabaseMappedSessions, the most recently used).
  size_t WarmCount() const { return warm_.size(); }

  // Notifications for the server window; exceptions they throw are ignored on destruction.
  std::function<void(TSvApplication&)> FOnCreateSession;
  std::function<void(TSvApplication&)> FOnDestroySession;

  TSvServerControllerBase& controller() const { return controller_; }

 private:
  friend class TSvApplication;
  // REQUIRES: FLock held exclusively.
  std::string NewSessionID_locked() const;
  // REQUIRES: FLock held exclusively.
  void AddExpired_locked(const TSvApplication& s, base::DateTime now);
  // Fires the destruction events and frees the session, as the thread's current session.
  void Destroy(std::unique_ptr<TSvApplication> session) noexcept;
  // After a request ended: the session keeps its warm resources when it gets a place among
  // the warm sessions, and gives them back otherwise. REQUIRES: the session's lock held.
  void KeepWarmOrRelease(TSvApplication& s);
  // The session is being destroyed: its place, if any, is freed.
  void ForgetWarm(const TSvApplication* s) noexcept { warm_.Forget(s); }
  // Wakes lookups waiting for a busy session. Call after unlocking a session.
  void NotifyReleased();
  // Waits until a session is released after `seen` (a value of release_gen_ read before the
  // failed TryLock), or at most the retry interval. REQUIRES: FLock not held.
  void WaitForRelease(uint64_t seen);

  TSvServerControllerBase& controller_;
  // Both have their own locks, taken with nothing else held and holding nothing else. Declared
  // before the sessions, whose database tickets they outlive.
  ClientRateTable new_session_rates_;
  ClientInFlight database_requests_;
  mutable std::shared_mutex FLock;
  // Declared before the sessions, which leave it when destroyed. Has its own lock.
  WarmSessions warm_;
  std::map<std::string, std::unique_ptr<TSvApplication>, std::less<>>
      FSessions;                           // guarded by FLock
  TSvExpiredSessionList FExpiredSessions;  // guarded by FLock
  // Release notifications: the generation counts releases, so a waiter that read it before
  // finding a session busy cannot miss the release that frees it.
  std::atomic<uint64_t> release_gen_{0};
  std::atomic<int> waiters_{0};
  std::mutex wait_mu_;
  std::condition_variable released_;  // signalled under wait_mu_ when release_gen_ moves
  std::atomic<uint64_t> pass_count_{0};
  // Sessions destroyed (expired, terminated or replaced) since the timeout pass last gave
  // freed memory back to the system.
  std::atomic<uint64_t> destroyed_since_trim_{0};
  base::LogThrottle destroy_handler_notes_;  // thread-safe: FOnDestroySession's failures
};

// Runs TSvSessions::RunTimeoutPass every `interval` until destroyed, and an idle pass, when
// one is set, every idle interval in between; the destructor wakes and joins the thread.
class SessionTimeoutThread {
 public:
  SessionTimeoutThread(TSvSessions& sessions, std::chrono::milliseconds interval);
  ~SessionTimeoutThread();
  SessionTimeoutThread(const SessionTimeoutThread&) = delete;
  SessionTimeoutThread& operator=(const SessionTimeoutThread&) = delete;

  // From now on also runs `pass` on this thread every `interval` (an empty pass: none).
  // What either pass throws is noted (base/boundary_note.h) and the thread goes on.
  void SetIdlePass(std::chrono::milliseconds interval, std::function<void()> pass);

  uint64_t passes() const { return passes_; }

 private:
  void Run();

  TSvSessions& sessions_;
  std::chrono::milliseconds interval_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool terminated_ = false;                  // guarded by mu_
  bool rescheduled_ = false;                 // guarded by mu_: the idle pass changed
  std::chrono::milliseconds idle_interval_;  // guarded by mu_
  std::function<void()> idle_pass_;          // guarded by mu_
  std::atomic<uint64_t> passes_{0};
  base::LogThrottle timeout_pass_notes_;  // thread-safe
  base::LogThrottle idle_pass_notes_;     // thread-safe
  std::thread thread_;
};

}  // namespace appsrv::server
