// The per-request executor: builds the request and reply over the exchange buffer, routes the
// framework's own paths and static files, and always commits a reply.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/metrics.h"
#include "base/name_value_list.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/session/server_controller.h"

namespace appsrv::server {

class TSvServerControllerBase;

// How the file rule sends a file.
enum class FileMode {
  kNormal,     // cacheable, content type given
  kUncached,   // not cacheable, content type given
  kCacheFile,  // a cache file that names its own content type
};

// One request from construction to Commit, on the connection's thread. Subclasses supply the
// session part (ProcessSessionRequest) and the reaction to failures (HandleException).
class TSvServer {
 public:
  // Reads the request packet in the buffer (throws the packet failures), then creates the reply
  // over the same buffer. REQUIRES: the process-wide server controller exists.
  TSvServer(char* aBytes, int32_t aSize);
  TSvServer(const TSvServer&) = delete;
  TSvServer& operator=(const TSvServer&) = delete;
  virtual ~TSvServer();

  // Runs the request to the end and commits the reply. Throws only when committing fails (the
  // failure is logged first).
  void Execute();

  virtual void HandleException(const std::exception& e) = 0;
  virtual void ProcessSessionRequest(const std::string& path) = 0;
  // Replaces the reply by the 500 error page for `e`; an invalid session also loses its cookie.
  virtual void RenderError(const std::exception& e);

  THttpRequest& request() { return *mRequest; }
  THttpReply& reply() { return *mReply; }

 protected:
  // The routing table outside sessions, for a normalised path.
  void Route(const std::string& path);
  // Serves `file`; false only when it is missing and need not exist. A missing file that must
  // exist, or a name with "#", answers 404.
  bool FileRule(const std::string& file, bool must_exist, const std::string& content_type,
                FileMode mode);
  // Streams the internal file of `kind` ("JS", "GFX", "CSS") named by `rest` of the URL.
  void InternalFileRule(std::string_view kind, std::string_view rest);
  void SendNotFound();
  // "/$/ready": 200 when the controller's readiness probe finds what the application needs,
  // else 503 with the reason.
  void SendReadiness();
  // The base URL and cookie path for `base` (forced to end in "/").
  void SetBaseURL(std::string base);
  // "?..." URL-encoded: the run parameters of the attached session, else the request's own
  // filtered parameters; "" when `all` is false and ShowStartParams is off.
  virtual std::string StartParams(bool all);
  // The current session's run parameters as raw text, when a session is attached.
  virtual const std::string* SessionRunParams() { return nullptr; }
  // The identifier of the session the request names (cookie, parameter or path), without
  // looking it up; "" when it names none.
  virtual std::string RequestSessionID(const std::string& /*path*/) { return {}; }
  // Gives back a session still attached once a failure has been handled; nothing without one.
  virtual void ReleaseSession() noexcept {}
  // HandleException for any failure; never throws. What escapes from handling it leaves a plain
  // 500 reply.
  void AnswerFailure(const std::exception& e) noexcept;
  // The request as the operator sees it, its status as the reply holds it now.
  RequestOutcome Outcome(const std::exception* failure) const;

  TSvServerControllerBase& controller_;
  char* mReplyBytes;
  int32_t mReplyBytesSize;
  // Made in the constructor, in this order (the request reads the buffer the reply then takes
  // over); kept in place rather than on the heap, as the executor lives on the connection's
  // stack.
  std::optional<THttpRequest> mRequest;
  std::optional<THttpReply> mReply;
  std::string mCookieName;
  std::string mCookiePath;
  int64_t mTrackID = -1;
  std::string mBaseURL;
  bool mCacheIt = false;
  // What the request counts as in the request figures; set where it is routed.
  base::RouteKind route_kind_ = base::RouteKind::kFramework;
  // The client: the peer, or whom a trusted proxy names (base::client_address).
  std::string mClientIP;
  // The request names a forwarded client that no trusted proxy vouches for.
  bool client_unvouched_ = false;
  std::string mUsername;
  std::string mPassword;
  base::NameValueList* mParams = nullptr;  // the request's own list (GetParams)
  std::string mFullUrlPath;
  std::string mUrlPath;
  const int64_t started_ns_ = base::monotonic_ns();
};

}  // namespace appsrv::server
