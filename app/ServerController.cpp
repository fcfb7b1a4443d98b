#include "app/ServerController.h"

#include <typeinfo>

#include "app/AppWebAgent.h"
#include "app/DatabaseCheck.h"
#include "db/temp_file_budget.h"
#include "server/session/session.h"

namespace appsrv::app {
namespace {

template <class T>
bool is_exactly(const server::TBrowser& browser) {
  return typeid(browser) == typeid(T);
}

}  // namespace

TSvServerController::TSvServerController(server::ControllerEnvironment env)
    : TSvServerControllerBase(std::move(env)) {
  OnNewSession = [this](server::TSvApplication& s) { SvServerControllerBaseNewSession(s); };
  OnCloseSession = [this](server::TSvApplication& s) { SvServerControllerBaseCloseSession(s); };
  OnBrowserCheck = [this](server::TSvApplication& s, std::unique_ptr<server::TBrowser>& b) {
    SvServerControllerBaseBrowserCheck(s, b);
  };
}

// The handlers are bound to this object: the sessions still alive close before it goes.
TSvServerController::~TSvServerController() { Shutdown(); }

void TSvServerController::LoadDesignValues() {
  SetAppName("MyApp");
  SetComInitialization(server::TComInitialization::ciMultiThreaded);
  Compression().SetEnabled(true);
  Compression().Level = 6;
  SetDescription("My Corvane Application");
  SetDisplayName("Corvane Application");
  SetPort(8888);
  SetSessionTimeout(10);
  SSLOptions().SSLVersion = server::SslVersion::SSLv3;
  SSLOptions().NonSSLRequest = server::NonSslRequest::nsAccept;
  SSLOptions().Port = 0;
  SetAllowMultipleSessionsPerUser(false);
  SetAuthBeforeNewSession(false);
  SetExceptionDisplayMode(server::TSvShowMessageType::smAlert);
  SetLog(server::TLogOptions::loNone);
  // Connections close after each reply unless port.ini says [HTTP] KeepAlive=1.
  SetHttpKeepAlive(false);
  Render.ShowLoadingAnimation = true;
  // The sessions' database, as a session would open it: read when asked, so that the content
  // folder and the environment are those in force then.
  SetReadinessProbe([this] { return CheckDatabase(ControllerConnectionText(*this)); });
}

void TSvServerController::SvServerControllerBaseNewSession(server::TSvApplication& aSession) {
  aSession.FData = std::make_unique<TSvUserSession>(&aSession);
}

void TSvServerController::SvServerControllerBaseCloseSession(server::TSvApplication&) {}

void TSvServerController::SvServerControllerBaseBrowserCheck(
    server::TSvApplication&, std::unique_ptr<server::TBrowser>& rBrowser) {
  if (rBrowser != nullptr) {
    std::unique_ptr<server::TBrowser> replacement = application_browser(*rBrowser);
    // The client is the same: its user agent stays with the session's browser.
    replacement->mUserAgent = rBrowser->mUserAgent;
    rBrowser = std::move(replacement);
  }
}

std::unique_ptr<server::TBrowser> application_browser(const server::TBrowser& browser) {
  if (is_exactly<server::TOther>(browser)) {
    return std::make_unique<server::TInternetExplorer>(8.0F);
  }
  if (!browser.IsSupported()) {
    if (is_exactly<server::TSafari>(browser)) {
      return std::make_unique<server::TSafari>(browser.mMinSupportedVersion);
    }
    if (is_exactly<server::TChrome>(browser)) {
      return std::make_unique<server::TChrome>(browser.mMinSupportedVersion);
    }
    if (is_exactly<server::TFirefox>(browser)) {
      return std::make_unique<server::TFirefox>(browser.mMinSupportedVersion);
    }
  }
  auto replacement = std::make_unique<server::TInternetExplorer>(browser.mMinSupportedVersion);
  // Internet Explorer of a current Firefox's or Safari's minimum (3.6, 5.0), of a mobile
  // browser's or of a search robot's would be below Internet Explorer's own minimum and turn
  // the client away; the application accepts every client.
  if (!replacement->IsSupported()) {
    replacement->mAllowOlderBrowsers = true;
  }
  return replacement;
}

void RegisterServerController() {
  server::SetServerControllerClass(
      [](server::ControllerEnvironment env) -> std::unique_ptr<server::TSvServerControllerBase> {
        auto controller =
            server::TSvServerControllerBase::Create<TSvServerController>(std::move(env));
        // SQLite's heap limit is the process's: set once the settings (port.ini too) are in
        // force, before any session opens a connection.
        db::apply_sqlite_heap_limit(controller->QueryLimits.MaxSqliteHeapBytes);
        return controller;
      });
}

}  // namespace appsrv::app
