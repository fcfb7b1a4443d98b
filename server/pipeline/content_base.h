// The base class of content handlers: objects registered under a URL path that answer the
// requests routed to them.
#pragma once

#include <string>

#include "base/metrics.h"
#include "base/name_value_list.h"

namespace appsrv::server {

class THttpRequest;
class THttpReply;
class TSvApplication;

// One handler object serves every request at once, from many threads: Execute must keep no
// per-request state in the handler.
class TContentBase {
 public:
  TContentBase() = default;
  TContentBase(const TContentBase&) = delete;
  TContentBase& operator=(const TContentBase&) = delete;
  virtual ~TContentBase() = default;

  // Produces the reply; true when the request was handled. `aPathname` is the file the URL maps
  // to in the content folder, `aSession` the locked session, `aParams` the request's GetParams.
  virtual bool Execute(THttpRequest& aRequest, THttpReply& aReply, const std::string& aPathname,
                       TSvApplication* aSession, base::NameValueList& aParams) = 0;
  // Asked when authentication is on and the user is not yet authenticated: whether to challenge
  // the client. The base says yes and leaves the group empty.
  virtual bool RequestAuth(THttpRequest& aRequest, std::string& rGroup);

  // Runs Execute when the file need not or does exist; otherwise a path ending in
  // "/index.svp" is left to the pipeline (false) and any other answers 404 (true).
  bool DoExecute(THttpRequest& aRequest, THttpReply& aReply, const std::string& aPathname,
                 TSvApplication* aSession, base::NameValueList& aParams);

  // The key the handler was registered under, in the caller's case.
  std::string mPath;
  bool mFileMustExist = true;
  bool mCanStartSession = false;
  bool mRequiresSessionStart = true;
  // What the requests it answers count as in the request figures.
  base::RouteKind route_kind = base::RouteKind::kFramework;
};

}  // namespace appsrv::server
