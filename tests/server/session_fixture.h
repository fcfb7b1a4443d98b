// A controller over a temporary folder with a fake clock, and requests to attach with.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/server/test_support.h"

namespace appsrv::server::testing {

constexpr char kFirefox[] =
    "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0";

// A controller whose OnConfig is given when it is made.
struct ConfiguredController : TSvServerControllerBase {
  ConfiguredController(ControllerEnvironment e, std::function<void(TSvServerControllerBase&)> f)
      : TSvServerControllerBase(std::move(e)) {
    OnConfig = std::move(f);
  }
};

class SessionFixture : public ::testing::Test {
 protected:
  void SetUp() override { rebuild(nullptr); }

  // Rebuilds the controller; `configure` runs in OnConfig.
  void rebuild(std::function<void(TSvServerControllerBase&)> configure) {
    controller_.reset();
    controller_ = TSvServerControllerBase::Create<ConfiguredController>(
        folder_.environment(clock_), std::move(configure));
    controller_->OnNewSession = [this](TSvApplication& s) { note("new " + s.AppID()); };
    controller_->OnSessionRestarted = [this](TSvApplication& s) { note("restarted " + s.AppID()); };
    controller_->OnCloseSession = [this](TSvApplication& s) { note("close " + s.AppID()); };
  }

  TSvSessions& sessions() { return controller_->Sessions(); }

  // Events arrive on request threads and the timeout pass alike.
  void note(std::string event) {
    std::scoped_lock lock(events_mu_);
    events_.push_back(std::move(event));
  }

  // A request from `ip` with `agent`, naming `id`.
  SessionAttachRequest request(const std::string& id, const std::string& ip = "10.0.0.1",
                               const std::string& agent = kFirefox) {
    auto info = std::make_unique<SessionRequestInfo>();
    info->client_ip = ip;
    info->user_agent = agent;
    info->script_name = "";
    info->path = "/appservice/";
    info->params = &params_;
    info->content_fields = &params_;
    SessionAttachRequest r;
    r.app_id = id;
    r.request = info.get();
    infos_.push_back(std::move(info));
    return r;
  }

  // Creates a session through a first request and releases it; returns its identifier.
  std::string new_session() {
    const SessionAttachResult r = sessions().Attach(request(""));
    EXPECT_TRUE(r.is_new);
    const std::string id = r.session->AppID();
    sessions().Release(*r.session);
    return id;
  }

  FakeClock clock_;
  TempFolder folder_;
  base::NameValueList params_;
  std::vector<std::unique_ptr<SessionRequestInfo>> infos_;
  std::mutex events_mu_;
  std::vector<std::string> events_;  // guarded by events_mu_ while threads run
  std::unique_ptr<TSvServerControllerBase> controller_;
};

}  // namespace appsrv::server::testing
