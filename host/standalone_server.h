// The standalone server: hosts the HTTP transport in the program, reports the listeners' state
// as log lines, composes and opens the start URL, counts the bytes sent to clients, reports
// sessions being created and destroyed, and sets the simulated connection speed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>

#include "host/sent_bytes_hook.h"
#include "server/session/server_controller.h"

namespace appsrv::host {

enum class TSvWebBrowser : uint8_t { wbDefault, wbIE, wbOpera, wbFirefox, wbChrome, wbSafari };

// What the standalone server needs of the transport host it creates: the listeners' state and
// the speed settings for connections accepted from now on. The host's constructor opens the
// listeners (throwing when one cannot be opened) and its destructor closes them.
class TransportHost {
 public:
  virtual ~TransportHost() = default;
  virtual bool HttpActive() const = 0;
  virtual bool HttpsActive() const = 0;
  // Bits per second for connections accepted from now on; 0 or less: unlimited.
  virtual void SetBitsPerSec(int32_t bits_per_sec) = 0;
  // Attach the throttling, byte-counting intercept to every new connection.
  virtual void SetUseServerIntercept(bool use) = 0;
};

// The line the debug log shows for a request: "GET /$/ping 200 153 us".
std::string RequestDebugLine(const server::RequestOutcome& r);

// The class of transport host that Start creates (the program's is the HTTP bridge's host).
using HttpHostClass = std::function<std::unique_ptr<TransportHost>()>;

// Created and used on the main thread; LogBytes and the session events run on other threads.
// The session-list events and the sent-bytes hook point at this object until it is destroyed,
// which closes the listeners first.
class TSvStandAloneServer final : public SentBytesSink {
 public:
  // Runs the framework initialisation when no server controller exists yet, sets the request
  // hook when it is empty and registers LogBytes as the sent-bytes hook.
  TSvStandAloneServer();
  ~TSvStandAloneServer();
  TSvStandAloneServer(const TSvStandAloneServer&) = delete;
  TSvStandAloneServer& operator=(const TSvStandAloneServer&) = delete;

  // Creates the transport host from `aHttpClass` and logs the listeners' state; obeys the
  // switches LaunchBrowser, LaunchBrowserSSL and Minimize. Throws "HttpClass is nil." without
  // a class, and the host's failure when a listener cannot be opened. Called once.
  void Start(const HttpHostClass& aHttpClass);
  // "http(s)://host[:port]/$/start[?Params]", or "" without a server controller.
  std::string StartURL(bool AAsSSL) const;
  // Puts StartURL(false) on the desktop's clipboard; throws when no clipboard tool is there.
  void CopyStartURLToClipboard() const;
  // Opens StartURL(false) in the browser RunIn names. Throws "Error while launching
  // browser: ...".
  void Run();
  bool TestForIE();
  bool TestForFirefox();
  bool TestForOpera();
  bool TestForChrome();
  bool TestForSafari();

  // Passes `AMsg` to OnDebugLog, unless it is detailed and DebugLog is off.
  void Log(const std::string& AMsg, bool ADetailedOnly = false) const;
  void LogBytes(int32_t ABytes) override;
  // Ends every session and sets TotalBytes to 0.
  void ClearSessions();
  // Sets TotalBytes to 0.
  void ResetTotalBytes();
  // Bits per second for connections accepted from now on (0 or less: unlimited). Kept, and
  // given to the transport host the moment Start creates it, before anything else in Start
  // can fail: the speed shown is always the one in force on listeners that exist.
  void SetConnectionSpeed(int32_t AValue);
  int32_t ConnectionSpeed() const { return FBitsPerSec; }

  int32_t ActiveSessions() const { return FActiveSessions.load(); }
  uint64_t TotalBytes() const;
  bool DebugLog() const { return FDebugLog.load(); }
  void SetDebugLog(bool v) { FDebugLog.store(v); }
  const std::string& Params() const { return FParams; }
  void SetParams(std::string v) { FParams = std::move(v); }
  TSvWebBrowser RunIn() const { return FRunIn; }
  void SetRunIn(TSvWebBrowser v) { FRunIn = v; }
  bool RunSSL() const { return FSSL; }
  void SetRunSSL(bool v) { FSSL = v; }
  bool Started() const { return FHttpInstance != nullptr; }

  // Events. OnDebugLog runs on the thread that logs (the main thread for Start's lines);
  // OnDebugLogBytes and OnUpdateTotalBytes on connection threads; OnNewSession and
  // OnCloseSession on whichever thread creates or destroys the session. Set them before Start.
  std::function<void(const std::string&)> OnDebugLog;
  std::function<void(int32_t)> OnDebugLogBytes;
  std::function<void(int32_t)> OnUpdateTotalBytes;
  std::function<void()> OnNewSession;
  std::function<void()> OnCloseSession;

 private:
  mutable std::shared_mutex FLock;
  uint64_t FTotalBytes = 0;  // guarded by FLock
  std::unique_ptr<TransportHost> FHttpInstance;
  std::atomic<int32_t> FActiveSessions{0};
  std::atomic<bool> FDebugLog{false};
  // Main-thread state.
  std::string FIEExecutable;
  std::string FFirefoxExecutable;
  std::string FOperaExecutable;
  std::string FSafariExecutable;
  std::string FChromeExecutable;
  std::string FParams;
  int32_t FBitsPerSec = 0;
  bool FSSL = false;
  TSvWebBrowser FRunIn = TSvWebBrowser::wbDefault;
};

// The start URL from the controller's values: `bound_ip` (a comma-separated list, first entry
// used; empty: 127.0.0.1), the HTTP and HTTPS ports (80 and 443 are not written) and `params`
// appended after "?" as they are.
std::string ComposeStartURL(bool ssl, const std::string& bound_ip, int32_t port, int32_t ssl_port,
                            const std::string& params);

}  // namespace appsrv::host
