// The executor the request hook uses: the session part of the pipeline (find or start the
// client's session, run content handlers and form actions, set the session cookie) and the
// reaction to failures.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/pipeline/sv_server.h"
#include "server/session/session.h"

namespace appsrv::server {

class TContentBase;

// Where "/$/Stop/?url=" sends the browser once its session has ended: `url` when it is a path
// on this server (one "/" first, no "//" or "/\\" that a browser reads as another host, no
// backslash or control character) or an http or https URL whose host (with its port, when it
// names one) is one of `allowed_hosts`, else `root`. Anything else would let a link on another
// site end a session and then send the user wherever that site likes.
std::string StopRedirectTarget(std::string_view url, const std::string& root,
                               const std::vector<std::string>& allowed_hosts);

// Holds at most one session locked, from attach to release, always released before the
// request ends. A failure while a session is attached is handled before the release, so that
// OnException, the log report and the error page see the session.
class TSvServerSession : public TSvServer {
 public:
  using TSvServer::TSvServer;
  ~TSvServerSession() override;

  void HandleException(const std::exception& e) override;
  void ProcessSessionRequest(const std::string& path) override;

 protected:
  const std::string* SessionRunParams() override;
  std::string RequestSessionID(const std::string& path) override;
  // The cookie, then the session goes back to the list (destroyed when terminated).
  void ReleaseSession() noexcept override;

 private:
  // Reads the session and track identifiers the request carries.
  void ReadSessionID(const std::string& path);
  // The base URL of a session that carries its identifier in the path.
  void SetSessionBaseURL(const std::string& app_id);
  void StartNewSession();
  void ServeExistingSession();
  // The handler, else a file of the content folder, else the redirect page (or 404).
  void ContentStep(const std::string& url_path);
  // With an authenticator active: checks the request's credentials; a refused client gets the
  // 401 challenge and the request ends with SilentAbort.
  void CheckAuthentication();
  void StartCheck();
  void WriteStartPage(const std::string& url);
  void SetSessionCookie();

  TSvApplication* mSession = nullptr;
  TContentBase* mContentHandler = nullptr;
  bool mAuthenticated = false;
  bool mRequestAuth = true;
  std::string app_id_;               // the identifier the request names, or of the new session
  std::string run_params_;           // raw run parameters of the attached session
  SessionRequestInfo request_info_;  // what the session sees of this request
};

}  // namespace appsrv::server
