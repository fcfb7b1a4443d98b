#include "server/session/session_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "base/metrics.h"
#include "base/text.h"
#include "server/exchange/sv_exception.h"
#include "tests/server/session_fixture.h"

namespace appsrv::server {
namespace {

using testing::kFirefox;
using testing::SessionFixture;

class SessionListTest : public SessionFixture {};

// Runs `worker(1)` and `worker(6)` on two threads while `pass` runs over and over on a third,
// until both workers are done.
template <typename Worker, typename Pass>
void race_workers_with_pass(Worker worker, Pass pass) {
  std::atomic<bool> done{false};
  std::thread a(worker, 1);
  std::thread b(worker, 6);
  std::thread passes([&] {
    while (!done) {
      pass();
    }
  });
  a.join();
  b.join();
  done = true;
  passes.join();
}

// True when another thread cannot take the session lock right now.
bool locked_elsewhere(TSvApplication& s) {
  bool took = false;
  std::thread([&] {
    took = s.TryLock();
    if (took) {
      s.Unlock();
    }
  }).join();
  return !took;
}

TEST_F(SessionListTest, NewSessionIsLockedCurrentAndShortLived) {
  const SessionAttachResult r = sessions().Attach(request(""));
  ASSERT_NE(r.session, nullptr);
  EXPECT_TRUE(r.is_new);
  EXPECT_FALSE(r.restart);
  EXPECT_EQ(r.track_id, 1);
  EXPECT_EQ(r.session->FSessionTimeOut, 1);
  EXPECT_EQ(CurrentSession(), r.session);
  EXPECT_TRUE(locked_elsewhere(*r.session));
  EXPECT_EQ(r.session->AppID().size(), 22u);
  EXPECT_EQ(events_, (std::vector<std::string>{"new " + r.session->AppID()}));
  EXPECT_EQ(sessions().GetCount(), 1);
  sessions().Release(*r.session);
  EXPECT_FALSE(locked_elsewhere(*r.session));
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, SecondRequestRestoresTheConfiguredTimeout) {
  const std::string id = new_session();
  clock_.advance_seconds(59);
  const SessionAttachResult r = sessions().Attach(request(id));
  ASSERT_NE(r.session, nullptr);
  EXPECT_FALSE(r.is_new);
  EXPECT_EQ(r.session->FSessionTimeOut, 10);
  sessions().Release(*r.session);
  // Now it survives nine idle minutes.
  clock_.advance_seconds(9 * 60);
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(sessions().GetCount(), 1);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, ExpiredSessionFoundByLookupThenCollected) {
  const std::string id = new_session();
  clock_.advance_seconds(60);
  try {
    sessions().Attach(request(id));
    FAIL() << "no exception";
  } catch (const EExpiredSession& e) {
    EXPECT_STREQ(e.what(), "Your session has expired due to inactivity.");
    EXPECT_EQ(e.mAppID, id);
  }
  // Still in the live list until the timeout pass collects it.
  EXPECT_EQ(sessions().GetCount(), 1);
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(sessions().GetCount(), 0);
  EXPECT_EQ(events_, (std::vector<std::string>{"new " + id, "close " + id}));
  EXPECT_THROW(sessions().Attach(request(id)), EExpiredSession);
}

TEST_F(SessionListTest, TimeoutPassCollectsOnlyIdleSessions) {
  const std::string id = new_session();
  clock_.advance_seconds(59);
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(sessions().GetCount(), 1);
  clock_.advance_seconds(1);
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(sessions().GetCount(), 0);
  EXPECT_EQ(sessions().ExpiredCount(), 1u);
  EXPECT_EQ(events_.back(), "close " + id);
}

TEST_F(SessionListTest, TimeoutPassSkipsBusySessions) {
  const SessionAttachResult r = sessions().Attach(request(""));
  clock_.advance_seconds(3600);
  std::thread([&] { controller_->RunSessionTimeoutPass(); }).join();
  EXPECT_EQ(sessions().GetCount(), 1);
  sessions().Release(*r.session);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, ZeroTimeoutExpiresAtTheNextCheck) {
  rebuild([](TSvServerControllerBase& c) { c.SetSessionTimeout(0); });
  const std::string id = new_session();
  const SessionAttachResult r = sessions().Attach(request(id));
  EXPECT_EQ(r.session->FSessionTimeOut, 0);
  sessions().Release(*r.session);
  EXPECT_THROW(sessions().Attach(request(id)), EExpiredSession);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, UnknownIdentifier) {
  try {
    sessions().Attach(request("nosuchsession"));
    FAIL() << "no exception";
  } catch (const EInvalidAppID& e) {
    EXPECT_STREQ(e.what(), "Session ID is invalid.");
    EXPECT_EQ(e.mAppID, "nosuchsession");
  }
  EXPECT_EQ(sessions().GetCount(), 0);

  // A handler that may start sessions gets a new one instead.
  SessionAttachRequest r = request("nosuchsession");
  r.handler_can_start = true;
  const SessionAttachResult got = sessions().Attach(r);
  EXPECT_TRUE(got.is_new);
  EXPECT_FALSE(got.restart);
  EXPECT_NE(got.session->AppID(), "nosuchsession");
  sessions().Release(*got.session);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, RestartTakesOverTheExpiredRunParameters) {
  rebuild([](TSvServerControllerBase& c) { c.SetRestartExpiredSession(true); });
  params_.add("report", "7");
  const std::string old_id = new_session();
  params_.clear();
  clock_.advance_seconds(61);
  controller_->RunSessionTimeoutPass();
  events_.clear();

  const SessionAttachResult r = sessions().Attach(request(old_id));
  EXPECT_TRUE(r.is_new);
  EXPECT_TRUE(r.restart);
  EXPECT_EQ(r.session->FRunParams.Raw(), "?report=7");
  EXPECT_EQ(events_, (std::vector<std::string>{"new " + r.session->AppID(),
                                               "restarted " + r.session->AppID()}));
  EXPECT_FALSE(sessions().GetExpiredParams(old_id, false).has_value());
  sessions().Release(*r.session);

  const SessionAttachResult unknown = sessions().Attach(request("unknown"));
  EXPECT_TRUE(unknown.restart);
  EXPECT_EQ(unknown.session->FRunParams.Raw(), "");
  sessions().Release(*unknown.session);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, SecurityChecks) {
  struct Case {
    const char* what;
    bool check_ua;
    const char* ip;
    const char* agent;
    const char* message;  // nullptr: accepted
  };
  // clang-format off
  const Case kCases[] = {
    {"same client",     false, "10.0.0.1", kFirefox,      nullptr},
    {"other address",   false, "10.0.0.2", kFirefox,      "The IP you are using is different than the one that initiated the session."},
    {"other agent off", false, "10.0.0.1", "Firefox/116", nullptr},
    {"other agent on",  true,  "10.0.0.1", "Firefox/116", "The browser you are using is different than the one that initiated the session."},
  };
  // clang-format on
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.what);
    rebuild([&](TSvServerControllerBase& c) { c.SecurityOptions().CheckSameUA = k.check_ua; });
    const std::string id = new_session();
    if (k.message == nullptr) {
      const SessionAttachResult r = sessions().Attach(request(id, k.ip, k.agent));
      EXPECT_FALSE(r.is_new);
      sessions().Release(*r.session);
      continue;
    }
    try {
      sessions().Attach(request(id, k.ip, k.agent));
      ADD_FAILURE() << "no exception";
    } catch (const ESvSecurityException& e) {
      EXPECT_STREQ(e.what(), k.message);
    }
    // The session is unlocked and lives on for its own client.
    EXPECT_EQ(CurrentSession(), nullptr);
    const SessionAttachResult owner = sessions().Attach(request(id));
    EXPECT_FALSE(owner.is_new);
    EXPECT_FALSE(owner.session->mTerminated);
    sessions().Release(*owner.session);
    EXPECT_EQ(sessions().GetCount(), 1);
  }
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, ReplacedBrowserKeepsTheCreatingAgentForTheCheck) {
  rebuild([](TSvServerControllerBase& c) { c.SecurityOptions().CheckSameUA = true; });
  controller_->OnBrowserCheck = [](TSvApplication&, std::unique_ptr<TBrowser>& b) {
    b = std::make_unique<TInternetExplorer>(8.0F);
  };
  const std::string id = new_session();
  const SessionAttachResult r = sessions().Attach(request(id));
  EXPECT_EQ(r.session->mBrowser->mBrowserName, "Microsoft Internet Explorer");
  sessions().Release(*r.session);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, UnsupportedBrowserCreatesNoSession) {
  try {
    sessions().Attach(request("", "10.0.0.1", ""));
    FAIL() << "no exception";
  } catch (const EUnknownBrowserException& e) {
    EXPECT_STREQ(e.what(), "Unknown browser type. User Agent string: ");
  }
  EXPECT_EQ(sessions().GetCount(), 0);
  EXPECT_TRUE(events_.empty());
}

TEST_F(SessionListTest, OneSessionServesOneRequestAtATime) {
  const std::string shared = new_session();
  const std::string other = new_session();
  const SessionAttachRequest shared_request = request(shared);
  constexpr int kRounds = 200;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  auto worker = [&] {
    for (int i = 0; i < kRounds; ++i) {
      const SessionAttachResult r = sessions().Attach(shared_request);
      if (inside.fetch_add(1) != 0) {
        ++overlaps;
      }
      r.session->mStatus.fetch_add(1);
      inside.fetch_sub(1);
      sessions().Release(*r.session);
    }
  };
  std::thread a(worker);
  std::thread b(worker);
  a.join();
  b.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(sessions().QueryStatus(shared), 2 * kRounds);
  EXPECT_EQ(sessions().QueryStatus(other), 0);
}

TEST_F(SessionListTest, RequestsRaceTheTimeoutPass) {
  // Built before the threads start: the fixture's request store is not thread-safe.
  std::vector<SessionAttachRequest> requests;
  for (int i = 0; i < 20; ++i) {
    requests.push_back(request(new_session()));
  }
  std::atomic<int> served{0};
  std::atomic<int> refused{0};
  auto worker = [&](int seed) {
    for (int i = 0; i < 300; ++i) {
      try {
        const SessionAttachResult r =
            sessions().Attach(requests[static_cast<size_t>((i * 7 + seed) % 20)]);
        if (i % 50 == 0) {
          r.session->Terminate();
        }
        sessions().Release(*r.session);
        ++served;
      } catch (const EInvalidSession&) {
        ++refused;
      }
    }
  };
  std::thread a(worker, 1);
  std::thread b(worker, 2);
  for (int pass = 0; pass < 50; ++pass) {
    clock_.advance_seconds(5);
    controller_->RunSessionTimeoutPass();
  }
  a.join();
  b.join();
  EXPECT_EQ(served + refused, 600);
  clock_.advance_seconds(3600);
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(sessions().GetCount(), 0);
}

TEST_F(SessionListTest, BusySessionDoesNotDelayOthers) {
  const std::string busy = new_session();
  const std::string other = new_session();
  const SessionAttachResult held = sessions().Attach(request(busy));
  const SessionAttachRequest waiter_request = request(busy);

  std::mutex mu;
  std::condition_variable cv;
  bool waiter_attached = false;
  std::latch started(1);
  std::thread waiter([&] {
    started.count_down();
    const SessionAttachResult r = sessions().Attach(waiter_request);
    {
      std::scoped_lock lock(mu);
      waiter_attached = true;
    }
    cv.notify_all();
    sessions().Release(*r.session);
  });
  started.wait();
  // Another session is served while the waiter waits for the busy one.
  const SessionAttachResult r = sessions().Attach(request(other));
  EXPECT_FALSE(r.is_new);
  sessions().Release(*r.session);
  {
    std::scoped_lock lock(mu);
    EXPECT_FALSE(waiter_attached);
  }
  sessions().Release(*held.session);
  {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return waiter_attached; });
  }
  waiter.join();
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, LookupGivesUpAfterItsTimeout) {
  const std::string id = new_session();
  const SessionAttachResult held = sessions().Attach(request(id));
  TSvApplication* got = held.session;
  std::thread([&] { got = sessions().LookupAndLock(id, 1); }).join();
  EXPECT_EQ(got, nullptr);
  sessions().Release(*held.session);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, QueryStatusAndMarkAccess) {
  EXPECT_EQ(sessions().QueryStatus("none"), -1);
  const std::string id = new_session();
  clock_.advance_seconds(50);
  EXPECT_EQ(sessions().QueryStatus(id), 0);
  clock_.advance_seconds(50);
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(sessions().GetCount(), 1);
  sessions().MarkAccess(id);
  clock_.advance_seconds(59);
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(sessions().GetCount(), 1);
  sessions().MarkAccess("none");
}

TEST_F(SessionListTest, TerminatedSessionIsDestroyedOnRelease) {
  std::vector<std::string> destroyed;
  sessions().FOnDestroySession = [&](TSvApplication& s) { destroyed.push_back(s.AppID()); };
  const SessionAttachResult r = sessions().Attach(request(""));
  const std::string id = r.session->AppID();
  r.session->Terminate();
  sessions().Release(*r.session);
  EXPECT_EQ(sessions().GetCount(), 0);
  EXPECT_EQ(destroyed, (std::vector<std::string>{id}));
  EXPECT_EQ(events_.back(), "close " + id);
  EXPECT_FALSE(sessions().Terminate(id));
  EXPECT_EQ(CurrentSession(), nullptr);
}

TEST_F(SessionListTest, NoSessionBeyondTheCap) {
  controller_->Limits.MaxSessions = 2;
  const std::string first = new_session();
  new_session();
  EXPECT_THROW(sessions().Attach(request("")), ESessionLimitReached);
  EXPECT_EQ(sessions().GetCount(), 2);
  EXPECT_EQ(CurrentSession(), nullptr);
  // Existing sessions are still served, and a place that frees up can be taken.
  const SessionAttachResult again = sessions().Attach(request(first));
  EXPECT_FALSE(again.is_new);
  sessions().Release(*again.session);
  EXPECT_TRUE(sessions().Terminate(first));
  new_session();
  EXPECT_EQ(sessions().GetCount(), 2);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, DestructionEventsMayThrow) {
  controller_->OnCloseSession = [](TSvApplication&) { throw std::runtime_error("close"); };
  sessions().FOnDestroySession = [](TSvApplication&) { throw std::runtime_error("destroy"); };
  const std::string id = new_session();
  EXPECT_TRUE(sessions().Terminate(id));
  EXPECT_EQ(sessions().GetCount(), 0);
}

TEST_F(SessionListTest, AClientOverItsNewSessionRateIsRefusedAndOthersAreNot) {
  controller_->Limits.NewSessionsPerClientPerMinute = 60;
  controller_->Limits.NewSessionBurstPerClient = 2;
  const uint64_t refused_before = base::metrics().client_sessions_refused.value();
  const std::string first = new_session();
  new_session();
  try {
    sessions().Attach(request(""));
    ADD_FAILURE() << "a third session in the same second";
  } catch (const EClientLimitReached& e) {
    EXPECT_EQ(e.retry_after_seconds, 1);
  }
  EXPECT_EQ(sessions().GetCount(), 2);
  EXPECT_EQ(CurrentSession(), nullptr);
  EXPECT_EQ(base::metrics().client_sessions_refused.value(), refused_before + 1);
  // Its sessions are served, another client starts one, and a second later so does it.
  const SessionAttachResult again = sessions().Attach(request(first));
  EXPECT_FALSE(again.is_new);
  sessions().Release(*again.session);
  const SessionAttachResult other = sessions().Attach(request("", "10.0.0.2"));
  EXPECT_TRUE(other.is_new);
  sessions().Release(*other.session);
  clock_.advance_seconds(1.01);
  new_session();
  EXPECT_EQ(sessions().GetCount(), 4);
}

TEST_F(SessionListTest, AClientHoldsAtMostItsShareOfDatabaseRequests) {
  controller_->Limits.MaxDatabaseRequestsPerClient = 1;
  const uint64_t refused_before = base::metrics().client_database_refused.value();
  const SessionAttachResult a = sessions().Attach(request(""));
  sessions().EnterDatabase(*a.session);
  sessions().EnterDatabase(*a.session);  // the same request counts once
  SetCurrentSession(nullptr);
  const SessionAttachResult b = sessions().Attach(request(""));
  EXPECT_THROW(sessions().EnterDatabase(*b.session), EClientLimitReached);
  EXPECT_EQ(base::metrics().client_database_refused.value(), refused_before + 1);
  SetCurrentSession(nullptr);
  const SessionAttachResult other = sessions().Attach(request("", "10.0.0.2"));
  sessions().EnterDatabase(*other.session);
  EXPECT_EQ(sessions().DatabaseClients(), 2u);
  // The end of a's request gives its place to b.
  sessions().Release(*a.session);
  sessions().EnterDatabase(*b.session);
  sessions().Release(*b.session);
  sessions().Release(*other.session);
  EXPECT_EQ(sessions().DatabaseClients(), 0u);
}

TEST_F(SessionListTest, TimeoutPassDestroysAsTheCurrentSession) {
  const std::string id = new_session();
  std::string current_at_close;
  controller_->OnCloseSession = [&](TSvApplication&) {
    current_at_close = CurrentSession() != nullptr ? CurrentSession()->AppID() : "(none)";
  };
  clock_.advance_seconds(60);
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(current_at_close, id);
  EXPECT_EQ(CurrentSession(), nullptr);
}

TEST_F(SessionListTest, ExpiredListIsPrunedEverySixtiethPass) {
  controller_->Limits.NewSessionsPerClientPerMinute = 0;  // one client makes them all at once
  for (int i = 0; i < 100; ++i) {
    new_session();
  }
  clock_.advance_seconds(60);
  controller_->RunSessionTimeoutPass();  // pass 1 collects all
  EXPECT_EQ(sessions().ExpiredCount(), 100u);
  clock_.advance_seconds(240 * 60 + 1);
  for (int pass = 2; pass < 60; ++pass) {
    controller_->RunSessionTimeoutPass();
  }
  EXPECT_EQ(sessions().ExpiredCount(), 100u);
  controller_->RunSessionTimeoutPass();  // pass 60
  EXPECT_EQ(sessions().ExpiredCount(), 0u);
}

TEST_F(SessionListTest, ExpiredListStaysWithinItsLimits) {
  sessions().SetExpiredListLimits({.entries = 10, .run_params_bytes = 8});
  // Two waves: the older one is dropped first once the list passes its limit.
  std::vector<std::string> old_wave;
  for (int i = 0; i < 6; ++i) {
    old_wave.push_back(new_session());
  }
  clock_.advance_seconds(60);
  controller_->RunSessionTimeoutPass();
  params_.add("p", "1234567890");  // longer than the limit: not kept
  std::vector<std::string> new_wave;
  for (int i = 0; i < 5; ++i) {
    new_wave.push_back(new_session());
  }
  params_.clear();
  clock_.advance_seconds(60);
  controller_->RunSessionTimeoutPass();

  EXPECT_LE(sessions().ExpiredCount(), 10u);
  for (const std::string& id : old_wave) {
    EXPECT_FALSE(sessions().GetExpiredParams(id, false).has_value()) << id;
  }
  for (const std::string& id : new_wave) {
    EXPECT_EQ(sessions().GetExpiredParams(id, false), std::optional<std::string>("")) << id;
  }

  // Entries that expired together still shrink to half the limit.
  sessions().ClearExpiredSessionsList();
  for (int i = 0; i < 11; ++i) {
    new_session();
  }
  clock_.advance_seconds(60);
  controller_->RunSessionTimeoutPass();
  EXPECT_LE(sessions().ExpiredCount(), 10u);
}

TEST_F(SessionListTest, SmallExpiredListIsKept) {
  const std::string id = new_session();
  clock_.advance_seconds(60);
  for (int pass = 1; pass <= 60; ++pass) {
    controller_->RunSessionTimeoutPass();
    clock_.advance_seconds(300);
  }
  EXPECT_TRUE(sessions().GetExpiredParams(id, false).has_value());
  sessions().ClearExpiredSessionsList();
  EXPECT_EQ(sessions().ExpiredCount(), 0u);
}

TEST_F(SessionListTest, SuppliedIdentifiers) {
  controller_->OnGetSessionID = [](TSvApplication&, std::string& id) { id = "fixed-id"; };
  EXPECT_EQ(new_session(), "fixed-id");
  try {
    sessions().Attach(request(""));
    FAIL() << "no exception";
  } catch (const ESvException& e) {
    EXPECT_STREQ(e.what(),
                 "Error while trying to add a new session: String list does not allow duplicates");
  }
  EXPECT_EQ(sessions().GetCount(), 1);
}

TEST_F(SessionListTest, TaggedNameLookupIgnoresCase) {
  const std::string id = new_session();
  TSvApplication* s = sessions().LookupByTaggedNameAndLock(base::ascii_uppercase(id));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->AppID(), id);
  EXPECT_TRUE(locked_elsewhere(*s));
  s->Unlock();
  EXPECT_EQ(sessions().LookupByTaggedNameAndLock("nothing"), nullptr);
}

TEST_F(SessionListTest, ClearDestroysEverySession) {
  new_session();
  new_session();
  sessions().Clear();
  EXPECT_EQ(sessions().GetCount(), 0);
  EXPECT_EQ(events_.size(), 4u);
}

// Session data that keeps something open between requests, as a database connection does,
// and something warm once a request has built it, as the connection's file mapping; it notes
// each hook and fails the test when either is given back while a request uses it.
class OpenData : public SessionData {
 public:
  void RequestEnded() noexcept override { ++ended; }
  bool HoldsIdleResources() const noexcept override { return open; }
  void CloseIdleResources() noexcept override {
    EXPECT_FALSE(in_use.load()) << "closed under a request";
    open = false;
    ++closed;
  }
  bool HoldsWarmResources() const noexcept override { return warm; }
  void ReleaseWarmResources() noexcept override {
    EXPECT_FALSE(in_use.load()) << "cooled under a request";
    warm = false;
    ++cooled;
  }

  bool open = true;
  bool warm = false;
  int ended = 0;
  int closed = 0;
  int cooled = 0;
  std::atomic<bool> in_use{false};
};

OpenData& open_data(TSvApplication& s) {
  if (!s.FData) {
    s.FData = std::make_unique<OpenData>();
  }
  return static_cast<OpenData&>(*s.FData);
}

TEST_F(SessionListTest, EveryRequestEndTellsTheSessionData) {
  const SessionAttachResult first = sessions().Attach(request(""));
  const std::string id = first.session->AppID();
  OpenData& data = open_data(*first.session);
  sessions().Release(*first.session);
  EXPECT_EQ(data.ended, 1);
  for (int i = 2; i <= 3; ++i) {
    sessions().Release(*sessions().Attach(request(id)).session);
    EXPECT_EQ(data.ended, i);
  }
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, IdlePassClosesWhatIdleSessionsKeepOpenAndNothingElse) {
  struct Session {
    const char* name;
    double idle_seconds;
    bool open;
    bool busy;
    bool closed;  // by a pass for sessions idle 60 s
  };
  // clang-format off
  const Session kSessions[] = {
      {"idle long enough",      61, true,  false, true},
      {"idle exactly as long",  60, true,  false, true},
      {"idle not long enough",  59, true,  false, false},
      {"nothing open",          90, false, false, false},
      {"busy with a request",   90, true,  true,  false},
  };
  // clang-format on
  std::vector<std::string> ids;
  for (const Session& c : kSessions) {
    const SessionAttachResult r = sessions().Attach(request(""));
    open_data(*r.session).open = c.open;
    ids.push_back(r.session->AppID());
    sessions().Release(*r.session);
  }
  SetCurrentSession(nullptr);
  // Each session's last request ended `idle_seconds` before the pass.
  for (double at = 0; at <= 90; ++at) {
    for (size_t i = 0; i < ids.size(); ++i) {
      if (90 - kSessions[i].idle_seconds == at) {
        sessions().Release(*sessions().Attach(request(ids[i])).session);
      }
    }
    clock_.advance_seconds(at < 90 ? 1 : 0);
  }
  TSvApplication* busy = nullptr;
  std::thread([&] { busy = sessions().LookupAndLock(ids[4]); }).join();
  ASSERT_NE(busy, nullptr);

  EXPECT_EQ(sessions().CloseIdleResources(std::chrono::seconds(60)), 2u);
  for (size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(kSessions[i].name);
    TSvApplication* s = i == 4 ? busy : sessions().LookupAndLock(ids[i]);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(open_data(*s).closed, kSessions[i].closed ? 1 : 0);
    if (i != 4) {
      s->Unlock();
    }
  }
  busy->Unlock();
  EXPECT_EQ(sessions().GetCount(), 5);
}

TEST_F(SessionListTest, IdlePassLeavesTheCallersOwnSessionAlone) {
  const std::string mine = new_session();
  const std::string other = new_session();
  const SessionAttachResult r = sessions().Attach(request(mine));
  open_data(*r.session);
  TSvApplication* o = sessions().LookupAndLock(other);
  OpenData& other_data = open_data(*o);
  o->Unlock();
  EXPECT_EQ(sessions().CloseIdleResources(std::chrono::milliseconds(0), r.session), 1u);
  EXPECT_EQ(other_data.closed, 1);
  EXPECT_EQ(open_data(*r.session).closed, 0);
  sessions().Release(*r.session);
  SetCurrentSession(nullptr);
}

TEST_F(SessionListTest, RequestsRaceTheIdlePass) {
  std::vector<SessionAttachRequest> requests;
  for (int i = 0; i < 10; ++i) {
    const std::string id = new_session();
    TSvApplication* s = sessions().LookupAndLock(id);
    open_data(*s);
    s->Unlock();
    requests.push_back(request(id));
  }
  auto worker = [&](int seed) {
    for (int i = 0; i < 300; ++i) {
      const SessionAttachResult r =
          sessions().Attach(requests[static_cast<size_t>((i + seed) % 10)]);
      OpenData& data = open_data(*r.session);
      data.in_use = true;
      data.open = true;  // the request reopens what the pass closed
      data.in_use = false;
      sessions().Release(*r.session);
    }
  };
  race_workers_with_pass(worker,
                         [&] { sessions().CloseIdleResources(std::chrono::milliseconds(0)); });
  EXPECT_EQ(sessions().GetCount(), 10);
}

class WarmSessionsTest : public SessionListTest {
 protected:
  // Sessions with data, each having served one request; the bound is `bound`.
  std::vector<std::string> start(size_t count, int32_t bound) {
    rebuild([bound](TSvServerControllerBase& c) { c.Limits.DatabaseMappedSessions = bound; });
    std::vector<std::string> ids;
    for (size_t i = 0; i < count; ++i) {
      ids.push_back(start_one());
    }
    return ids;
  }

  // One more session with data, having served one request that built nothing warm.
  std::string start_one() {
    const SessionAttachResult r = sessions().Attach(request(""));
    open_data(*r.session);
    const std::string id = r.session->AppID();
    sessions().Release(*r.session);
    SetCurrentSession(nullptr);
    return id;
  }

  // A request of session `id` that builds its warm resources (reads the database).
  void serve(const std::string& id) { serve(request(id)); }
  // The same for a request made beforehand: the fixture's request store is not thread-safe,
  // so threads serve requests built before they start.
  void serve(const SessionAttachRequest& req) {
    const SessionAttachResult r = sessions().Attach(req);
    ASSERT_NE(r.session, nullptr);
    OpenData& data = open_data(*r.session);
    data.in_use = true;
    data.warm = true;
    data.in_use = false;
    sessions().Release(*r.session);
    SetCurrentSession(nullptr);
  }

  // The session `id`, locked by another thread: busy with a request until unlocked.
  TSvApplication* hold(const std::string& id) {
    TSvApplication* s = nullptr;
    std::thread([&] { s = sessions().LookupAndLock(id); }).join();
    EXPECT_NE(s, nullptr);
    return s;
  }

  // Which of `ids` keep their warm resources, as "1" or "0" each.
  std::string warm_map(const std::vector<std::string>& ids,
                       std::vector<TSvApplication*> held = {}) {
    std::string map;
    for (const std::string& id : ids) {
      TSvApplication* s = nullptr;
      for (TSvApplication* h : held) {
        if (h->AppID() == id) {
          s = h;
        }
      }
      const bool mine = s == nullptr;
      if (mine) {
        s = sessions().LookupAndLock(id);
      }
      map += open_data(*s).warm ? '1' : '0';
      if (mine) {
        s->Unlock();
      }
    }
    return map;
  }
};

// The most recently used sessions keep what they built; past the bound, the least recently
// used one that is not serving a request gives it back, and when every place is busy the
// session ending its request gives back its own.
TEST_F(WarmSessionsTest, TheMostRecentlyUsedKeepTheirWarmResourcesUpToTheBound) {
  const std::vector<std::string> ids = start(6, 3);  // A B C D E F
  EXPECT_EQ(warm_map(ids), "000000");
  EXPECT_EQ(sessions().WarmCount(), 0u);  // nothing built yet: nothing to keep
  serve(ids[0]);
  serve(ids[1]);
  serve(ids[2]);
  EXPECT_EQ(warm_map(ids), "111000");
  serve(ids[0]);  // A again: B is now the least recently used
  serve(ids[3]);
  EXPECT_EQ(warm_map(ids), "101100");
  EXPECT_EQ(sessions().WarmCount(), 3u);

  TSvApplication* c = hold(ids[2]);  // C, least recently used, is busy: A goes instead
  serve(ids[4]);
  EXPECT_EQ(warm_map(ids, {c}), "001110");
  TSvApplication* d = hold(ids[3]);
  TSvApplication* e = hold(ids[4]);
  serve(ids[5]);  // every place busy: F gives back its own
  EXPECT_EQ(warm_map(ids, {c, d, e}), "001110");
  EXPECT_EQ(open_data(*c).cooled, 0);
  c->Unlock();
  d->Unlock();
  e->Unlock();
  EXPECT_EQ(sessions().WarmCount(), 3u);

  serve(ids[5]);  // places free up again: F takes C's
  EXPECT_EQ(warm_map(ids), "000111");
}

TEST_F(WarmSessionsTest, ABoundOfZeroGivesEverythingBackAtTheRequestEnd) {
  const std::vector<std::string> ids = start(2, 0);
  serve(ids[0]);
  serve(ids[1]);
  EXPECT_EQ(warm_map(ids), "00");
  EXPECT_EQ(sessions().WarmCount(), 0u);
}

TEST_F(WarmSessionsTest, IdlePassGivesBackWhatSessionsIdleLongEnoughKeepWarm) {
  struct Session {
    const char* name;
    double idle_seconds;
    bool busy;
    bool cooled;  // by a pass for sessions idle 5 s
  };
  // clang-format off
  const Session kSessions[] = {
      {"idle long enough",      6, false, true},
      {"idle exactly as long",  5, false, true},
      {"idle not long enough",  4, false, false},
      {"busy with a request",   9, true,  false},
  };
  // clang-format on
  const std::vector<std::string> ids = start(4, 16);
  for (double at = 0; at <= 9; ++at) {
    for (size_t i = 0; i < ids.size(); ++i) {
      if (9 - kSessions[i].idle_seconds == at) {
        serve(ids[i]);
      }
    }
    clock_.advance_seconds(at < 9 ? 1 : 0);
  }
  TSvApplication* busy = hold(ids[3]);
  EXPECT_EQ(sessions().ReleaseIdleWarmResources(std::chrono::seconds(5)), 2u);
  EXPECT_EQ(warm_map(ids, {busy}), "0011");
  EXPECT_EQ(sessions().WarmCount(), 2u);
  busy->Unlock();
  // Given back means asked once; a next request builds and keeps it again.
  serve(ids[0]);
  EXPECT_EQ(warm_map(ids), "1011");
  TSvApplication* first = sessions().LookupAndLock(ids[0]);
  EXPECT_EQ(open_data(*first).cooled, 1);
  first->Unlock();
}

TEST_F(WarmSessionsTest, ADestroyedSessionLeavesItsPlace) {
  const std::vector<std::string> ids = start(2, 2);
  serve(ids[0]);
  serve(ids[1]);
  EXPECT_TRUE(sessions().Terminate(ids[0]));
  EXPECT_EQ(sessions().WarmCount(), 1u);
  clock_.advance_seconds(11 * 60);  // B expires
  controller_->RunSessionTimeoutPass();
  EXPECT_EQ(sessions().GetCount(), 0);
  EXPECT_EQ(sessions().WarmCount(), 0u);
  // Both places are free: admitting new sessions asks nobody gone to give anything back.
  for (int i = 0; i < 3; ++i) {
    serve(start_one());
  }
  EXPECT_EQ(sessions().WarmCount(), 2u);
}

TEST_F(WarmSessionsTest, RequestsRaceTheBoundAndTheIdlePass) {
  const std::vector<std::string> ids = start(10, 2);
  std::vector<SessionAttachRequest> requests;
  for (const std::string& id : ids) {
    requests.push_back(request(id));
  }
  auto worker = [&](int seed) {
    for (int i = 0; i < 300; ++i) {
      serve(requests[static_cast<size_t>((i + seed) % 10)]);
    }
  };
  race_workers_with_pass(
      worker, [&] { sessions().ReleaseIdleWarmResources(std::chrono::milliseconds(0)); });
  // Whoever lost its place gave back what it kept.
  const std::string map = warm_map(ids);
  EXPECT_LE(std::count(map.begin(), map.end(), '1'), 2) << map;
  EXPECT_LE(sessions().WarmCount(), 2u);
}

// A controller whose time-out thread runs on its own, its expiry pass an hour away, with one
// released session holding OpenData.
struct OneIdleSession {
  OneIdleSession(std::function<void(TSvServerControllerBase&)> configure, bool warm) {
    ControllerEnvironment env = folder.environment(clock);
    env.start_timeout_thread = true;
    env.session_timeout_interval = std::chrono::hours(1);
    controller = TSvServerControllerBase::Create<testing::ConfiguredController>(
        env, std::move(configure));
    SessionRequestInfo info;
    info.client_ip = "10.0.0.1";
    info.user_agent = kFirefox;
    SessionAttachRequest r;
    r.request = &info;
    const SessionAttachResult got = controller->Sessions().Attach(r);
    auto owned = std::make_unique<OpenData>();
    owned->warm = warm;
    data = owned.get();
    got.session->FData = std::move(owned);
    id = got.session->AppID();
    controller->Sessions().Release(*got.session);
    SetCurrentSession(nullptr);
  }

  // Polls `done` on the session's data under its lock, for ten seconds at most.
  bool wait_until(const std::function<bool(const OpenData&)>& done) {
    for (int i = 0; i < 1000; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      TSvApplication* s = controller->Sessions().LookupAndLock(id);
      EXPECT_NE(s, nullptr);
      if (s == nullptr) {
        return false;
      }
      const bool reached = done(*data);
      s->Unlock();
      if (reached) {
        return true;
      }
    }
    return false;
  }

  // Declared before the controller, which uses them to the end.
  testing::FakeClock clock;
  testing::TempFolder folder;
  std::unique_ptr<TSvServerControllerBase> controller;
  std::string id;
  OpenData* data = nullptr;  // owned by the session
};

TEST(SessionTimeoutThreadTest, RunsTheIdlePassOnItsOwnAtATenthOfTheIdleTimeout) {
  OneIdleSession rig([](TSvServerControllerBase& c) { c.Limits.DatabaseIdleTimeoutMs = 1000; },
                     /*warm=*/false);
  rig.clock.advance_seconds(2);
  EXPECT_TRUE(rig.wait_until([](const OpenData& d) { return d.closed > 0; }));
  // The expiry pass, an hour away, has not run: the session lives on.
  EXPECT_EQ(rig.controller->Sessions().GetCount(), 1);
}

// With idle connections left open, the pass still runs for the mappings.
TEST(SessionTimeoutThreadTest, GivesBackWarmResourcesOnItsOwnAfterTheMappingIdleTime) {
  OneIdleSession rig(
      [](TSvServerControllerBase& c) {
        c.Limits.DatabaseIdleTimeoutMs = 0;
        c.Limits.DatabaseMappingIdleMs = 1000;
      },
      /*warm=*/true);
  EXPECT_EQ(rig.controller->Sessions().WarmCount(), 1u);
  rig.clock.advance_seconds(2);
  EXPECT_TRUE(rig.wait_until([](const OpenData& d) { return d.cooled > 0; }));
  EXPECT_EQ(rig.data->closed, 0);
  EXPECT_EQ(rig.controller->Sessions().WarmCount(), 0u);
}

TEST(SessionTimeoutThreadTest, CollectsExpiredSessionsOnItsOwn) {
  testing::FakeClock clock;
  testing::TempFolder folder;
  ControllerEnvironment env = folder.environment(clock);
  env.start_timeout_thread = true;
  env.session_timeout_interval = std::chrono::milliseconds(1);
  const auto controller = TSvServerControllerBase::Create<TSvServerControllerBase>(env);
  std::mutex mu;
  std::condition_variable cv;
  bool closed = false;
  controller->OnCloseSession = [&](TSvApplication&) {
    {
      std::scoped_lock lock(mu);
      closed = true;
    }
    cv.notify_all();
  };
  SessionRequestInfo info;
  info.client_ip = "10.0.0.1";
  info.user_agent = kFirefox;
  SessionAttachRequest r;
  r.request = &info;
  const SessionAttachResult got = controller->Sessions().Attach(r);
  controller->Sessions().Release(*got.session);
  clock.advance_seconds(60);
  std::unique_lock lock(mu);
  cv.wait(lock, [&] { return closed; });
  EXPECT_EQ(controller->Sessions().GetCount(), 0);
}

// A time-out pass that throws (here its clock does) is noted on standard error and counted, and
// the thread goes on: once the clock answers again, the session it could not look at expires.
TEST(SessionTimeoutThreadTest, AThrowingPassIsNotedAndCountedAndTheThreadGoesOn) {
  class FailingClock : public Clock {
   public:
    base::DateTime now() const override {
      if (fail.load()) {
        {
          std::scoped_lock lock(mu);
          ++throws;
        }
        thrown.notify_all();
        throw std::runtime_error("clock unreadable");
      }
      return inner.now();
    }
    testing::FakeClock inner;
    std::atomic<bool> fail{false};
    mutable std::mutex mu;
    mutable std::condition_variable thrown;
    mutable int throws = 0;  // guarded by mu
  };
  FailingClock clock;
  testing::TempFolder folder;
  ControllerEnvironment env = folder.environment(clock);
  env.start_timeout_thread = true;
  env.session_timeout_interval = std::chrono::milliseconds(1);
  const auto controller = TSvServerControllerBase::Create<TSvServerControllerBase>(env);
  std::mutex mu;
  std::condition_variable cv;
  bool closed = false;
  controller->OnCloseSession = [&](TSvApplication&) {
    {
      std::scoped_lock lock(mu);
      closed = true;
    }
    cv.notify_all();
  };
  SessionRequestInfo info;
  info.client_ip = "10.0.0.1";
  info.user_agent = kFirefox;
  SessionAttachRequest r;
  r.request = &info;
  const SessionAttachResult got = controller->Sessions().Attach(r);
  controller->Sessions().Release(*got.session);

  const uint64_t failures_before = base::metrics().boundary_failures.value();
  ::testing::internal::CaptureStderr();
  clock.inner.advance_seconds(60);
  clock.fail = true;
  {
    // The thread is one loop, and an idle pass may read the clock between two time-out passes:
    // by the third throw, one time-out pass has been caught and noted.
    std::unique_lock lock(clock.mu);
    clock.thrown.wait(lock, [&] { return clock.throws >= 3; });
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("session time-out pass: runtime_error: clock unreadable"), std::string::npos)
      << err;
  EXPECT_GE(base::metrics().boundary_failures.value() - failures_before, 1u);
  EXPECT_EQ(controller->Sessions().GetCount(), 1);

  clock.fail = false;
  std::unique_lock lock(mu);
  cv.wait(lock, [&] { return closed; });
  EXPECT_EQ(controller->Sessions().GetCount(), 0);
}

// A session whose creation events fail stays listed, unlocked and detached from the request
// that created it (that request's records are gone by the time the timeout pass collects
// it), and is closed like any abandoned session.
TEST_F(SessionListTest, FailingCreationEventsLeaveTheSessionDetached) {
  struct Case {
    const char* what;
    bool fail_create;  // FOnCreateSession, else OnNewSession
  };
  const Case cases[] = {{"OnNewSession", false}, {"FOnCreateSession", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rebuild([](TSvServerControllerBase& ctl) { ctl.SetLogSessionEvents(true); });
    const auto fail = [](TSvApplication&) { throw std::runtime_error("no data module"); };
    if (c.fail_create) {
      sessions().FOnCreateSession = fail;
    } else {
      controller_->OnNewSession = fail;
    }
    events_.clear();
    SessionAttachRequest r = request("");
    EXPECT_THROW(sessions().Attach(r), std::runtime_error);
    infos_.clear();  // the failed request ends
    ASSERT_EQ(sessions().GetCount(), 1);
    EXPECT_EQ(CurrentSession(), nullptr);
    std::string id;
    sessions().LockList([&](TSvApplication& s) {
      EXPECT_EQ(s.current_request(), nullptr);
      EXPECT_EQ(s.FRequest, nullptr);
      EXPECT_FALSE(locked_elsewhere(s));
      id = s.AppID();
    });
    // Collected once idle for its timeout like any abandoned session; it was listed, so
    // closing it fires OnCloseSession.
    clock_.advance_seconds(controller_->SessionTimeout() * 60);
    controller_->RunSessionTimeoutPass();
    EXPECT_EQ(sessions().GetCount(), 0);
    EXPECT_EQ(events_, std::vector<std::string>{"close " + id});
  }
}

}  // namespace
}  // namespace appsrv::server
