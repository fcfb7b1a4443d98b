#include "server/session/session_list.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include "base/boundary_note.h"
#include "base/files.h"
#include "base/metrics.h"
#include "base/text.h"
#include "server/exchange/sv_exception.h"
#include "server/session/clock.h"
#include "server/session/server_controller.h"

namespace appsrv::server {

namespace {

// A busy session is retried at least this often even without a release notification.
constexpr std::chrono::milliseconds kBusyRetry{10};
constexpr uint64_t kPrunePasses = 60;
constexpr size_t kPruneMinEntries = 100;
constexpr double kPruneAgeDays = 240.0 / (24 * 60);

// A failed attach leaves the thread without a current session and the session unlocked and
// detached: the request's records end with it, while the session may stay listed until the
// timeout pass destroys it (and logs its end).
void give_back_failed(TSvApplication& s) {
  s.Initialize(nullptr);
  SetCurrentSession(nullptr);
  s.Unlock();
}

// The last steps of every successful attach: the session takes the request's credentials and
// client details and becomes the result.
void finish_attach(TSvApplication& s, const SessionAttachRequest& r, SessionAttachResult& result) {
  if (r.authenticated) {
    s.FAuthUser = r.user;
    s.FAuthPassword = r.password;
  }
  s.Initialize(r.request);
  result.session = &s;
}

}  // namespace

TSvSessions::TSvSessions(TSvServerControllerBase& controller) : controller_(controller) {}

TSvSessions::~TSvSessions() { Clear(); }

TSvApplication* TSvSessions::LookupAndLock(std::string_view AAppID, int ATimeOut) {
  bool expired = false;
  return LookupAndLock(AAppID, expired, ATimeOut);
}

TSvApplication* TSvSessions::LookupAndLock(std::string_view AAppID, bool& AExpired, int ATimeOut) {
  AExpired = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeOut);
  while (true) {
    uint64_t seen = 0;
    {
      // Finding and trying the session lock leave the list unchanged, so lookups of different
      // sessions share the list lock.
      std::shared_lock lock(FLock);
      seen = release_gen_.load();
      const auto it = FSessions.find(AAppID);
      if (it == FSessions.end()) {
        AExpired = FExpiredSessions.Contains(AAppID);
        return nullptr;
      }
      TSvApplication* s = it->second.get();
      if (s->TryLock()) {
        // Expiry is judged only once the session is ours: a session busy with a long request
        // is in use, not idle.
        if (!s->Expired(controller_.clock().now())) {
          return s;
        }
        s->Unlock();
        AExpired = true;
      }
    }
    if (AExpired) {
      // Listing the identifier as expired changes the list: take it exclusively.
      std::unique_lock lock(FLock);
      const auto it = FSessions.find(AAppID);
      if (it != FSessions.end()) {
        AddExpired_locked(*it->second, controller_.clock().now());
      }
      return nullptr;
    }
    if (ATimeOut > 0 && std::chrono::steady_clock::now() >= deadline) {
      return nullptr;
    }
    WaitForRelease(seen);
  }
}

TSvApplication* TSvSessions::LookupByTaggedNameAndLock(std::string_view ATaggedSessionName) {
  while (true) {
    uint64_t seen = 0;
    {
      std::shared_lock lock(FLock);
      seen = release_gen_.load();
      TSvApplication* found = nullptr;
      for (const auto& [id, s] : FSessions) {
        if (base::iequals(s->FTaggedSessionName, ATaggedSessionName)) {
          found = s.get();
          break;
        }
      }
      if (found == nullptr) {
        return nullptr;
      }
      if (found->TryLock()) {
        return found;
      }
    }
    WaitForRelease(seen);
  }
}

int32_t TSvSessions::QueryStatus(std::string_view AAppID) {
  std::shared_lock lock(FLock);
  const auto it = FSessions.find(AAppID);
  if (it == FSessions.end()) {
    return -1;
  }
  it->second->MarkAccess();
  return it->second->mStatus.load();
}

void TSvSessions::MarkAccess(std::string_view AAppID) {
  std::shared_lock lock(FLock);
  const auto it = FSessions.find(AAppID);
  if (it != FSessions.end()) {
    it->second->MarkAccess();
  }
}

bool TSvSessions::Terminate(std::string_view AAppID) {
  std::unique_ptr<TSvApplication> taken;
  while (!taken) {
    uint64_t seen = 0;
    {
      std::unique_lock lock(FLock);
      seen = release_gen_.load();
      const auto it = FSessions.find(AAppID);
      if (it == FSessions.end()) {
        return false;
      }
      // Another request may have attached since the caller released the session: wait for
      // it without holding the list lock.
      if (it->second->TryLock()) {
        taken = std::move(it->second);
        FSessions.erase(it);
        taken->Unlock();
        break;
      }
    }
    WaitForRelease(seen);
  }
  Destroy(std::move(taken));
  return true;
}

std::unique_ptr<TSvApplication> TSvSessions::Remove(TSvApplication* ASession) {
  std::unique_lock lock(FLock);
  for (auto it = FSessions.begin(); it != FSessions.end(); ++it) {
    if (it->second.get() == ASession) {
      std::unique_ptr<TSvApplication> taken = std::move(it->second);
      FSessions.erase(it);
      return taken;
    }
  }
  return nullptr;
}

bool TSvSessions::IsValidSession(const TSvApplication* ASession) const {
  // Compares addresses only: `ASession` may already be gone.
  std::shared_lock lock(FLock);
  for (const auto& [id, s] : FSessions) {
    if (s.get() == ASession) {
      return true;
    }
  }
  return false;
}

int TSvSessions::GetCount() const {
  std::shared_lock lock(FLock);
  return static_cast<int>(FSessions.size());
}

void TSvSessions::LockList(const std::function<void(TSvApplication&)>& fn) {
  std::unique_lock lock(FLock);
  for (const auto& [id, s] : FSessions) {
    fn(*s);
  }
}

void TSvSessions::SetExpiredListLimits(const ExpiredListLimits& limits) {
  std::unique_lock lock(FLock);
  FExpiredSessions.SetLimits(limits);
}

void TSvSessions::ClearExpiredSessionsList() {
  std::unique_lock lock(FLock);
  FExpiredSessions.Clear();
}

std::optional<std::string> TSvSessions::GetExpiredParams(std::string_view ASessionID,
                                                         bool ARemove) {
  std::unique_lock lock(FLock);
  return FExpiredSessions.GetParams(ASessionID, ARemove);
}

size_t TSvSessions::ExpiredCount() const {
  std::shared_lock lock(FLock);
  return FExpiredSessions.size();
}

void TSvSessions::Clear() {
  std::vector<std::unique_ptr<TSvApplication>> taken;
  while (true) {
    uint64_t seen = 0;
    {
      std::unique_lock lock(FLock);
      seen = release_gen_.load();
      for (auto it = FSessions.begin(); it != FSessions.end();) {
        if (it->second->TryLock()) {
          it->second->Unlock();
          taken.push_back(std::move(it->second));
          it = FSessions.erase(it);
        } else {
          ++it;
        }
      }
      if (FSessions.empty()) {
        break;
      }
    }
    // A request still holds a session: let it finish before destroying it.
    WaitForRelease(seen);
  }
  for (auto& s : taken) {
    Destroy(std::move(s));
  }
}

std::string TSvSessions::NewSessionID_locked() const {
  std::string id;
  do {
    id = MakeSessionID();
  } while (FSessions.find(id) != FSessions.end());
  return id;
}

void TSvSessions::AddExpired_locked(const TSvApplication& s, base::DateTime now) {
  base::metrics().sessions_expired.add();
  FExpiredSessions.Add(s.FAppID, s.FRunParams.Raw(), now);
}

void TSvSessions::Destroy(std::unique_ptr<TSvApplication> session) noexcept {
  if (!session) {
    return;
  }
  CurrentSessionScope current(session.get());
  session.reset();
  destroyed_since_trim_.fetch_add(1);
}

void TSvSessions::NotifyReleased() {
  // A waiter registers in waiters_ before it checks release_gen_ under wait_mu_, so either it
  // sees the new generation or we see it waiting and signal it.
  release_gen_.fetch_add(1);
  if (waiters_.load() > 0) {
    { std::scoped_lock lock(wait_mu_); }
    released_.notify_all();
  }
}

void TSvSessions::WaitForRelease(uint64_t seen) {
  waiters_.fetch_add(1);
  {
    std::unique_lock lock(wait_mu_);
    released_.wait_for(lock, kBusyRetry, [&] { return release_gen_.load() != seen; });
  }
  waiters_.fetch_sub(1);
}

TSvApplication* TSvSessions::CreateSession(const SessionRequestInfo& request, std::string_view user,
                                           std::string_view password) {
  // Before anything is built: a refused client costs no browser check and no identifier. The
  // token is spent even when the session then fails for another reason.
  const TSvServerLimits& limits = controller_.Limits;
  if (limits.NewSessionsPerClientPerMinute > 0) {
    const RateVerdict verdict = new_session_rates_.Take(
        request.client_ip, controller_.clock().now(), limits.NewSessionsPerClientPerMinute,
        limits.NewSessionBurstPerClient);
    if (!verdict.granted) {
      base::metrics().client_sessions_refused.add();
      const int32_t wait = verdict.retry_after_seconds;
      throw EClientLimitReached("The server is busy: too many new sessions from your address. " +
                                    ("Try again in " + std::to_string(wait)) +
                                    (wait == 1 ? " second." : " seconds."),
                                wait);
    }
  }
  auto session =
      std::make_unique<TSvApplication>(*this, TBrowser::CreateBrowser(request.user_agent), request,
                                       request.client_ip, user, password, request.script_name);
  std::string id;
  controller_.DoGetSessionID(*session, id);

  TSvApplication* s = session.get();
  // Locked before the list lock is taken: blocking acquisitions always go session, then list.
  s->Lock();
  try {
    std::unique_lock lock(FLock);
    // Checked under the list lock, so that requests racing for the last place cannot both win.
    const int32_t max_sessions = controller_.Limits.MaxSessions;
    if (max_sessions > 0 && FSessions.size() >= static_cast<size_t>(max_sessions)) {
      throw ESessionLimitReached();
    }
    if (id.empty()) {
      id = NewSessionID_locked();
    } else if (FSessions.find(id) != FSessions.end()) {
      throw ESvException(
          "Error while trying to add a new session: String list does not allow duplicates");
    }
    // Everything other threads may read without the session lock is set before the session
    // becomes visible.
    s->FAppID = id;
    s->mSessionInternalUrlBase = controller_.AllowMultipleSessionsPerUser()
                                     ? s->mAppUrlBase + id + "/$/"
                                     : s->mInternalUrlBase;
    s->mSessionUrlBase = base::replace_all(s->mSessionInternalUrlBase, "/$", "");
    s->mUserCacheUrlBase = s->mInternalUrlBase + controller_.AppName() + "/" + id + "/";
    s->FTaggedSessionName = id;
    s->mUserCacheDir = controller_.CacheDir() + "user/" + id + "/";
    s->registered_ = true;
    FSessions.emplace(id, std::move(session));
    base::metrics().sessions_created.add();
  } catch (...) {
    s->Unlock();  // the unregistered session is freed unlocked
    throw;
  }
  try {
    if (FOnCreateSession) {
      FOnCreateSession(*s);
    }
  } catch (...) {
    give_back_failed(*s);
    NotifyReleased();
    throw;
  }
  // A session without its folder still works; writing a cache file will then fail.
  base::force_directories(s->mUserCacheDir, 0700);
  s->LogSessionEvent(TSessionEvent::seCreate);
  return s;
}

SessionAttachResult TSvSessions::Attach(const SessionAttachRequest& r) {
  const SessionRequestInfo& request = *r.request;
  SessionAttachResult result;
  std::optional<std::string> restart_params;

  if (!r.app_id.empty()) {
    bool expired = false;
    TSvApplication* s = LookupAndLock(r.app_id, expired, 0);
    if (s != nullptr) {
      try {
        const TSvSecurityOptions& security = controller_.SecurityOptions();
        if (security.CheckSameIP && request.client_ip != s->FIP) {
          throw ESvSecurityException(
              "The IP you are using is different than the one that initiated the session.");
        }
        if (security.CheckSameUA &&
            (!s->mBrowser || request.user_agent != s->mBrowser->mUserAgent)) {
          throw ESvSecurityException(
              "The browser you are using is different than the one that initiated the "
              "session.");
        }
        // The first request after creation gives a session its configured timeout.
        if (s->FSessionTimeOut == 1) {
          s->FSessionTimeOut = controller_.SessionTimeout();
        }
        result.track_id = s->FTrackID;
        SetCurrentSession(s);
      } catch (...) {
        // Refused, not ended: the request that fails a check is the stranger's, holding a
        // copied cookie, and the session stays its rightful client's.
        give_back_failed(*s);
        NotifyReleased();
        throw;
      }
      finish_attach(*s, r, result);
      return result;
    }
    if (!r.handler_can_start) {
      if (!controller_.RestartExpiredSession()) {
        if (expired) {
          throw EExpiredSession(r.app_id);
        }
        throw EInvalidAppID(r.app_id);
      }
      result.restart = true;
      if (expired) {
        restart_params = GetExpiredParams(r.app_id, true);
      }
    }
  }

  if (controller_.AuthBeforeNewSession() && r.authenticate_new_session) {
    r.authenticate_new_session();
  }
  TSvApplication* s = CreateSession(request, r.user, r.password);
  try {
    if (restart_params) {
      s->FRunParams.SetRaw(*restart_params);
    }
    // A new session lives one idle minute until the client comes back.
    s->FSessionTimeOut = 1;
    result.track_id = s->FTrackID;
    SetCurrentSession(s);
    controller_.DoNewSession(*s);
    if (result.restart) {
      controller_.DoSessionRestarted(*s);
    }
  } catch (...) {
    give_back_failed(*s);
    NotifyReleased();
    throw;
  }
  finish_attach(*s, r, result);
  result.is_new = true;
  return result;
}

void TSvSessions::Release(TSvApplication& session) {
  session.Initialize(nullptr);
  // Once released the session may be destroyed by another thread at any time.
  SetCurrentSession(nullptr);
  if (session.mTerminated) {
    const std::string id = session.FAppID;
    session.Unlock();
    NotifyReleased();
    Terminate(id);
    return;
  }
  if (session.FData) {
    session.FData->RequestEnded();
    KeepWarmOrRelease(session);
  }
  session.MarkAccess();
  session.Unlock();
  NotifyReleased();
}

void TSvSessions::EnterDatabase(TSvApplication& session) {
  if (session.database_turn_) {
    return;
  }
  const SessionRequestInfo* request = session.current_request();
  const std::string& client = request != nullptr ? request->client_ip : session.FIP;
  session.database_turn_ =
      database_requests_.TryEnter(client, controller_.Limits.MaxDatabaseRequestsPerClient);
  if (!session.database_turn_) {
    base::metrics().client_database_refused.add();
    throw EClientLimitReached(
        "The server is busy: too many database requests from your address at once. Try again "
        "when one has been answered.",
        1);
  }
}

void TSvSessions::RunTimeoutPass() {
  std::vector<std::unique_ptr<TSvApplication>> expired;
  {
    std::unique_lock lock(FLock);
    const base::DateTime now = controller_.clock().now();
    for (auto it = FSessions.begin(); it != FSessions.end();) {
      TSvApplication* s = it->second.get();
      // Busy sessions are skipped this time.
      if (s->TryLock()) {
        const bool gone = s->Expired(now);
        if (gone) {
          AddExpired_locked(*s, now);
          expired.push_back(std::move(it->second));
          it = FSessions.erase(it);
        } else {
          ++it;
        }
        s->Unlock();
      } else {
        ++it;
      }
    }
  }
  for (auto& s : expired) {
    Destroy(std::move(s));
  }
  bool pruned = false;
  if (++pass_count_ % kPrunePasses == 0) {
    std::unique_lock lock(FLock);
    if (FExpiredSessions.size() >= kPruneMinEntries) {
      const size_t before = FExpiredSessions.size();
      FExpiredSessions.Prune(controller_.clock().now(), kPruneAgeDays);
      pruned = FExpiredSessions.size() < before;
    }
  }
  // What the sessions held lies between blocks that live on (other sessions, caches), so the
  // allocator keeps most of it mapped, in the arenas of the threads that served them, until
  // asked to give back the free pages.
  if (destroyed_since_trim_.exchange(0) > 0 || pruned) {
    ::malloc_trim(0);
  }
}

size_t TSvSessions::CloseIdleResources(std::chrono::milliseconds idle_for,
                                       const TSvApplication* except) {
  const double idle_days = idle_for.count() / base::kMillisecondsPerDay;
  std::vector<TSvApplication*> idle;
  {
    // Looking changes nothing in the list: requests go on looking up their sessions meanwhile.
    std::shared_lock lock(FLock);
    const base::DateTime now = controller_.clock().now();
    for (const auto& [id, s] : FSessions) {
      // A request holding the session is using what it keeps; the caller's own session is
      // never tried (its lock is the caller's).
      if (s.get() == except || !s->TryLock()) {
        continue;
      }
      // A microsecond of slack keeps the day-fraction arithmetic from missing an exact boundary.
      if (s->FData && s->FData->HoldsIdleResources() &&
          now - s->GetLastAccess() + 1e-6 / 86400 >= idle_days) {
        idle.push_back(s.get());  // stays locked: nobody can destroy it meanwhile
      } else {
        s->Unlock();
      }
    }
  }
  // Closing files is done without the list lock; a request for one of these sessions waits
  // for its release like for any busy session.
  for (TSvApplication* s : idle) {
    s->FData->CloseIdleResources();
    s->Unlock();
  }
  if (!idle.empty()) {
    NotifyReleased();
  }
  return idle.size();
}

void TSvSessions::KeepWarmOrRelease(TSvApplication& s) {
  SessionData& data = *s.FData;
  if (!data.HoldsWarmResources()) {
    return;
  }
  const int32_t capacity = controller_.Limits.DatabaseMappedSessions;
  if (!warm_.Admit(s, controller_.clock().now(),
                   capacity > 0 ? static_cast<size_t>(capacity) : 0)) {
    data.ReleaseWarmResources();
  }
}

size_t TSvSessions::ReleaseIdleWarmResources(std::chrono::milliseconds idle_for) {
  const size_t released = warm_.ReleaseIdle(controller_.clock().now(), idle_for);
  if (released > 0) {
    NotifyReleased();
  }
  return released;
}

SessionTimeoutThread::SessionTimeoutThread(TSvSessions& sessions,
                                           std::chrono::milliseconds interval)
    : sessions_(sessions),
      interval_(interval),
      idle_interval_(interval),
      thread_([this] { Run(); }) {}

SessionTimeoutThread::~SessionTimeoutThread() {
  {
    std::scoped_lock lock(mu_);
    terminated_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void SessionTimeoutThread::SetIdlePass(std::chrono::milliseconds interval,
                                       std::function<void()> pass) {
  {
    std::scoped_lock lock(mu_);
    idle_interval_ = interval;
    idle_pass_ = std::move(pass);
    rescheduled_ = true;
  }
  wake_.notify_all();
}

void SessionTimeoutThread::Run() {
  // Thread names are limited to 15 characters: "Sv Session Timeout Thread" is cut.
  pthread_setname_np(pthread_self(), "Sv Session Time");
  // Below the request threads; failing to lower it changes nothing that matters.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
  auto last_timeout_pass = std::chrono::steady_clock::now();
  while (true) {
    std::function<void()> idle_pass;
    {
      std::unique_lock lock(mu_);
      // The thread wakes for whichever pass comes sooner; the timeout pass still runs only
      // once its whole interval has passed.
      const std::chrono::milliseconds tick =
          idle_pass_ ? std::min(idle_interval_, interval_) : interval_;
      if (wake_.wait_for(lock, tick, [this] { return terminated_ || rescheduled_; })) {
        if (terminated_) {
          return;
        }
        rescheduled_ = false;
        continue;
      }
      idle_pass = idle_pass_;
    }
    if (std::chrono::steady_clock::now() - last_timeout_pass >= interval_) {
      try {
        sessions_.RunTimeoutPass();
      } catch (...) {  // boundary: the thread keeps collecting on its next pass
        base::note_caught("session time-out pass", timeout_pass_notes_);
      }
      ++passes_;
      last_timeout_pass = std::chrono::steady_clock::now();
    }
    if (idle_pass) {
      try {
        idle_pass();
      } catch (...) {  // boundary: the thread keeps closing on its next pass
        base::note_caught("session idle pass", idle_pass_notes_);
      }
    }
  }
}

}  // namespace appsrv::server
