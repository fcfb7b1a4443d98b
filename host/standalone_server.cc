#include "host/standalone_server.h"

#include <cstdio>
#include <mutex>

#include "base/exception.h"
#include "base/text.h"
#include "host/browser_launch.h"
#include "host/command_line.h"
#include "host/framework_init.h"
#include "server/pipeline/request_hook.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"

namespace appsrv::host {
namespace {

[[noreturn]] void throw_launch_error(int err) {
  throw base::Exception("Error while launching browser: " + base::errno_text(err) + ".");
}

void start_program(const std::vector<std::string>& argv) {
  if (const int err = SpawnDetached(argv); err != 0) {
    throw_launch_error(err);
  }
}

}  // namespace

std::string ComposeStartURL(bool ssl, const std::string& bound_ip, int32_t port, int32_t ssl_port,
                            const std::string& params) {
  std::string url = ssl ? "https://" : "http://";
  url += bound_ip.empty() ? std::string("127.0.0.1") : bound_ip.substr(0, bound_ip.find(','));
  if (ssl && ssl_port != 443) {
    url.append(":").append(std::to_string(ssl_port));
  } else if (!ssl && port != 80) {
    url.append(":").append(std::to_string(port));
  }
  url += "/$/start";
  if (!params.empty()) {
    url += "?" + params;
  }
  return url;
}

std::string RequestDebugLine(const server::RequestOutcome& r) {
  std::string line = std::string(r.method) + " " + std::string(r.path) + " " +
                     std::to_string(r.status) + " " + std::to_string(r.duration_us) + " us";
  // A decoded path may hold control characters; the console's line stays one line.
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = '?';
    }
  }
  return line;
}

TSvStandAloneServer::TSvStandAloneServer() {
  if (server::ServerController() == nullptr && FrameworkInitHook() != nullptr) {
    FrameworkInitHook()();
  }
  if (server::RequestHook() == nullptr) {
    server::SetRequestHook(&server::ExecuteRequest);
  }
  SetSentBytesHook(this);
}

TSvStandAloneServer::~TSvStandAloneServer() {
  // The listeners close first, so no connection thread calls into this object afterwards;
  // then nothing that outlives it may point at it.
  FHttpInstance.reset();
  if (SentBytesHook() == this) {
    SetSentBytesHook(nullptr);
  }
  if (server::TSvServerControllerBase* controller = server::ServerController()) {
    controller->Sessions().FOnCreateSession = nullptr;
    controller->Sessions().FOnDestroySession = nullptr;
    controller->OnRequestDone = nullptr;
  }
}

void TSvStandAloneServer::Start(const HttpHostClass& aHttpClass) {
  server::TSvServerControllerBase* controller = server::ServerController();
  if (controller == nullptr) {
    throw base::Exception("No server controller is defined.");
  }
  controller->Sessions().FOnCreateSession = [this](server::TSvApplication&) {
    FActiveSessions.fetch_add(1);
    if (OnNewSession) {
      OnNewSession();
    }
  };
  controller->Sessions().FOnDestroySession = [this](server::TSvApplication& session) {
    if (!session.AppID().empty()) {
      FActiveSessions.fetch_sub(1);
      if (OnCloseSession) {
        OnCloseSession();
      }
    }
  };
  // With the debug log on, one line per request the pipeline answered.
  controller->OnRequestDone = [this](const server::RequestOutcome& r) {
    if (DebugLog()) {
      Log(RequestDebugLine(r));
    }
  };
  if (!aHttpClass) {
    throw base::Exception("HttpClass is nil.");
  }
  const bool system_port = controller->Port() == 0;
  FHttpInstance = aHttpClass();
  if (FHttpInstance == nullptr) {
    throw base::Exception("HttpClass is nil.");
  }
  FHttpInstance->SetUseServerIntercept(true);
  FHttpInstance->SetBitsPerSec(FBitsPerSec);
  if (system_port) {
    Log("Warning: Port has been assigned by system.");
  }

  const int32_t port = controller->Port();
  const int32_t ssl_port = controller->SSLOptions().Port;
  if (FHttpInstance->HttpActive()) {
    Log("HTTP Server is active on port: " + std::to_string(port));
  } else if (ssl_port > 0 && FHttpInstance->HttpsActive() &&
             controller->SSLOptions().NonSSLRequest == server::NonSslRequest::nsBlock) {
    Log("HTTP Server is inactive (NonSSLRequest = nsBlock)");
  } else {
    Log("HTTP Server failed to open port: " + std::to_string(port));
    Log("  See application log file for details.");
  }
  if (ssl_port > 0) {
    if (FHttpInstance->HttpsActive()) {
      Log("HTTPS Server is active on port: " + std::to_string(ssl_port));
    } else {
      Log("HTTP Server failed to open port: " + std::to_string(ssl_port));
      Log("  See application log file for details.");
    }
  }
  Log("");
  Log("---------------------");
  Log("");
  controller->MakeGUIActive();

  if (HasSwitch("LaunchBrowser")) {
    OpenURLWithDefaultHandler(StartURL(false));
  }
  if (HasSwitch("LaunchBrowserSSL")) {
    OpenURLWithDefaultHandler(StartURL(true));
  }
  // "Minimize" has nothing to minimise in a console.
}

std::string TSvStandAloneServer::StartURL(bool AAsSSL) const {
  const server::TSvServerControllerBase* controller = server::ServerController();
  if (controller == nullptr) {
    return {};
  }
  return ComposeStartURL(AAsSSL || FSSL, controller->BoundIP(), controller->Port(),
                         controller->SSLOptions().Port, FParams);
}

void TSvStandAloneServer::CopyStartURLToClipboard() const {
  const std::string url = StartURL(false);
  struct Tool {
    const char* name;
    std::vector<std::string> args;
  };
  // Each tool takes the text on its standard input, so the URL needs no quoting.
  const Tool tools[] = {{"wl-copy", {}},
                        {"xclip", {"-selection", "clipboard"}},
                        {"xsel", {"--clipboard", "--input"}}};
  for (const Tool& tool : tools) {
    const std::string path = FindOnPath({tool.name});
    if (path.empty()) {
      continue;
    }
    std::string command = path;
    for (const std::string& a : tool.args) {
      command += " " + a;
    }
    FILE* pipe = ::popen(command.c_str(), "w");
    if (pipe == nullptr) {
      continue;
    }
    std::fwrite(url.data(), 1, url.size(), pipe);
    if (::pclose(pipe) == 0) {
      return;
    }
  }
  throw base::Exception("No clipboard is available (wl-copy, xclip or xsel); the start URL is " +
                        url);
}

void TSvStandAloneServer::Run() {
  const std::string url = StartURL(false);
  switch (FRunIn) {
    case TSvWebBrowser::wbDefault:
      OpenURLWithDefaultHandler(url);
      break;
    case TSvWebBrowser::wbIE:
      TestForIE();
      start_program({FIEExecutable, url});
      break;
    case TSvWebBrowser::wbOpera:
      TestForOpera();
      start_program({FOperaExecutable, url});
      break;
    case TSvWebBrowser::wbFirefox:
      TestForFirefox();
      start_program({FFirefoxExecutable, "-url", url});
      break;
    case TSvWebBrowser::wbChrome:
      TestForChrome();
      start_program({FChromeExecutable, url});
      break;
    case TSvWebBrowser::wbSafari:
      TestForSafari();
      start_program({FSafariExecutable, url});
      break;
  }
}

// Internet Explorer and Safari do not exist here; the others are looked up on the PATH under
// the names their packages install.
bool TSvStandAloneServer::TestForIE() { return !FIEExecutable.empty(); }

bool TSvStandAloneServer::TestForFirefox() {
  FFirefoxExecutable = FindOnPath({"firefox", "firefox-esr"});
  return !FFirefoxExecutable.empty();
}

bool TSvStandAloneServer::TestForOpera() {
  FOperaExecutable = FindOnPath({"opera"});
  return !FOperaExecutable.empty();
}

bool TSvStandAloneServer::TestForChrome() {
  FChromeExecutable =
      FindOnPath({"google-chrome", "google-chrome-stable", "chromium", "chromium-browser"});
  return !FChromeExecutable.empty();
}

bool TSvStandAloneServer::TestForSafari() { return !FSafariExecutable.empty(); }

void TSvStandAloneServer::Log(const std::string& AMsg, bool ADetailedOnly) const {
  if (ADetailedOnly && !DebugLog()) {
    return;
  }
  if (OnDebugLog) {
    OnDebugLog(AMsg);
  }
}

void TSvStandAloneServer::LogBytes(int32_t ABytes) {
  uint64_t total = 0;
  {
    std::unique_lock lock(FLock);
    if (FDebugLog.load() && OnDebugLogBytes) {
      OnDebugLogBytes(ABytes);
    }
    if (ABytes > 0) {
      FTotalBytes += static_cast<uint64_t>(ABytes);
    }
    total = FTotalBytes;
  }
  if (OnUpdateTotalBytes) {
    OnUpdateTotalBytes(static_cast<int32_t>(static_cast<uint32_t>(total)));
  }
}

uint64_t TSvStandAloneServer::TotalBytes() const {
  std::shared_lock lock(FLock);
  return FTotalBytes;
}

void TSvStandAloneServer::ClearSessions() {
  if (server::TSvServerControllerBase* controller = server::ServerController()) {
    controller->Sessions().Clear();
  }
  ResetTotalBytes();
}

void TSvStandAloneServer::ResetTotalBytes() {
  std::unique_lock lock(FLock);
  FTotalBytes = 0;
}

void TSvStandAloneServer::SetConnectionSpeed(int32_t AValue) {
  FBitsPerSec = AValue;
  if (FHttpInstance != nullptr) {
    FHttpInstance->SetBitsPerSec(AValue);
  }
}

}  // namespace appsrv::host
