#include "server/pipeline/sv_server.h"

#include <algorithm>

#include "base/boundary_note.h"
#include "base/client_address.h"
#include "base/date_time.h"
#include "base/exception.h"
#include "base/files.h"
#include "base/request_note.h"
#include "base/text.h"
#include "server/exchange/memory_stream.h"
#include "server/http/basic_credentials.h"
#include "server/http/http_date_parser.h"
#include "server/http/mime_types.h"
#include "server/pipeline/app_cache.h"
#include "server/pipeline/compress_stream.h"
#include "server/pipeline/exception_renderer.h"
#include "server/pipeline/internal_files.h"
#include "server/pipeline/metrics_page.h"
#include "server/pipeline/path_normalization.h"
#include "server/pipeline/pipeline_pages.h"
#include "server/pipeline/server_exceptions.h"
#include "server/pipeline/url_file_mapping.h"
#include "server/session/clock.h"
#include "server/session/exception_logger.h"
#include "server/session/params_string.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"

namespace appsrv::server {

namespace {

constexpr std::string_view kShortageMessage =
    "The server is busy: too many open files. Try again later.";

// True when the client's copy, dated by the If-Modified-Since text `if_modified_since`, is of
// the same second as `modified`; an empty or unreadable date never is.
bool unchanged_since(const std::string& if_modified_since, base::DateTime modified) {
  if (if_modified_since.empty()) {
    return false;
  }
  const std::optional<base::DateTime> since = parse_http_date(if_modified_since);
  return since && same_second(*since, modified);
}

TSvServerControllerBase& the_controller() {
  TSvServerControllerBase* controller = ServerController();
  if (controller == nullptr) {
    throw ESvException("No server controller is defined.");
  }
  return *controller;
}

// A read-only stream over an internal file's stored bytes; keeps them alive without a copy.
struct SharedBytes {
  std::shared_ptr<const std::string> bytes;
};

class SharedBytesStream : private SharedBytes, public TPointerStream {
 public:
  explicit SharedBytesStream(std::shared_ptr<const std::string> bytes)
      : SharedBytes{std::move(bytes)},
        TPointerStream(SharedBytes::bytes->data(),
                       static_cast<int64_t>(SharedBytes::bytes->size())) {}
};

}  // namespace

TSvServer::TSvServer(char* aBytes, int32_t aSize)
    : controller_(the_controller()), mReplyBytes(aBytes), mReplyBytesSize(aSize) {
  // The request is read before the reply marks the buffer as its own.
  mRequest.emplace(aBytes, aSize);
  mCookieName = controller_.SessionCookieName();
  mReply.emplace(aBytes, aSize);
}

TSvServer::~TSvServer() = default;

void TSvServer::SetBaseURL(std::string base) {
  if (base.empty() || base.back() != '/') {
    base += '/';
  }
  mBaseURL = std::move(base);
  std::string cookie_path = mBaseURL.substr(0, mBaseURL.size() - 1);
  if (cookie_path.empty() || cookie_path.front() != '/') {
    cookie_path.insert(cookie_path.begin(), '/');
  }
  if (cookie_path.back() != '/') {
    cookie_path += '/';
  }
  mCookiePath = std::move(cookie_path);
}

void TSvServer::Execute() {
  // However the request ends, the thread leaves it without a current session: the session may
  // be destroyed by another thread once released.
  const CurrentSessionScope no_session_afterwards(nullptr);
  try {
    SetBaseURL(controller_.URLBase() + mRequest->mScriptName);
    base::ClientAddress client =
        base::client_address(mRequest->mRemoteAddr, mRequest->mRawHeaders.lines(),
                             controller_.SecurityOptions().TrustedProxies);
    mClientIP = std::move(client.address);
    client_unvouched_ = client.unvouched_forwarding;
    Credentials credentials =
        request_credentials(mRequest->mAuthUser, mRequest->mAuthPass, mRequest->mAuthorization,
                            mRequest->mAuthorizationHeader);
    mUsername = std::move(credentials.user);
    mPassword = std::move(credentials.password);
    mParams = &mRequest->GetParams();

    const TSvSSLOptions& ssl = controller_.SSLOptions();
    // Without an HTTPS listener (SSL port 0) there is nowhere to send the request to.
    if (ssl.NonSSLRequest == NonSslRequest::nsRedirect && ssl.Port > 0 &&
        mRequest->mServerPort != ssl.Port) {
      std::string url = "https://" + mRequest->mHost + ":" + std::to_string(ssl.Port);
      if (!mRequest->mQuery.empty()) {
        url += "/?" + mRequest->mQuery;
      }
      mReply->SendRedirect(url);
      throw SilentAbort();
    }
    // COM initialisation is a Windows facility; the setting is kept and has no effect here.

    if (controller_.OnBeforeDispatch) {
      controller_.OnBeforeDispatch(*mRequest, *mReply);
    }
    try {
      Route(normalize_path(mRequest->mPathInfo, controller_.URLBase()));
    } catch (...) {
      if (controller_.OnAfterDispatch) {
        controller_.OnAfterDispatch(*mRequest, *mReply);
      }
      throw;
    }
    if (controller_.OnAfterDispatch) {
      controller_.OnAfterDispatch(*mRequest, *mReply);
    }
  } catch (const SilentAbort&) {
    // The reply built so far stands.
  } catch (const EClientLimitReached& e) {
    // One client over its own share: nothing failed, and other clients are being served. No
    // error page and no report, which the refused client could otherwise make us write at will.
    mReply->Clear();
    mReply->SetCode(503);
    mReply->AddHeader("Retry-After", std::to_string(e.retry_after_seconds));
    mReply->WriteString(e.what());
  } catch (const ESessionLimitReached& e) {
    // Refused before any session exists: a short answer, not an error page.
    mReply->Clear();
    mReply->SetCode(503);
    mReply->WriteString(e.what());
  } catch (const std::exception& e) {
    if (dynamic_cast<const base::ResourceShortage*>(&e) != nullptr) {
      // Out of descriptors: nothing is wrong with the request, which may come again, and an
      // error report would need a descriptor of its own. The details stay in the server's log.
      controller_.NoteShortage(std::string(e.what()) + "; the request was answered 503");
      mReply->Clear();
      mReply->SetCode(503);
      mReply->WriteString(kShortageMessage);
    } else {
      AnswerFailure(e);
    }
  } catch (...) {
    // Application code may throw anything; the client still gets an error reply.
    AnswerFailure(ESvException("Unknown exception."));
  }
  ReleaseSession();
  base::metrics().requests_by_route[static_cast<size_t>(route_kind_)].add();
  // A handler that produced nothing still answers: its status without a body, rather than a
  // packet the transport rejects.
  if (mReply->DataType() == rtNone) {
    mReply->SetCode(mReply->mCode);
  }
  if (mCacheIt) {
    mReply->mAllowCaching = true;
  }
  mReply->mIECompatibilityMode = controller_.IECompatibilityMode();
  if (controller_.OnRequestDone) {
    try {
      controller_.OnRequestDone(Outcome(nullptr));
    } catch (...) {  // boundary: the host's note must not cost the client its answer
    }
  }
  try {
    mReply->Commit();
  } catch (const std::exception& e) {
    controller_.DoLogException(e);
    throw;
  }
}

RequestOutcome TSvServer::Outcome(const std::exception* failure) const {
  static constexpr std::string_view kMethods[] = {"-", "GET", "PUT", "POST", "HEAD"};
  const auto method = static_cast<size_t>(mRequest->mHttpMethod);
  RequestOutcome outcome;
  outcome.method = method < std::size(kMethods) ? kMethods[method] : "-";
  outcome.path = mRequest->mPathInfo;
  outcome.status = mReply->mCode;
  outcome.duration_us = (base::monotonic_ns() - started_ns_) / 1000;
  outcome.session_id = base::this_thread_request_note().session_id();
  outcome.failure = failure;
  return outcome;
}

void TSvServer::AnswerFailure(const std::exception& e) noexcept {
  try {
    try {
      HandleException(e);
    } catch (const std::exception& inner) {
      // Rendering the error failed as well: the plainest answer that still tells the client.
      mReply->Clear();
      mReply->SetCode(500);
      forbid_active_content(*mReply, kErrorPagePolicy);
      mReply->WriteString(inner.what());
    } catch (...) {
      static base::LogThrottle notes;
      base::note_caught("rendering an error reply", notes);
      mReply->Clear();
      mReply->SetCode(500);
      forbid_active_content(*mReply, kErrorPagePolicy);
      mReply->WriteString("Unknown exception.");
    }
  } catch (...) {  // boundary: even the plain answer failed; Commit sends what the reply holds
    static base::LogThrottle notes;
    base::note_caught("writing an error reply", notes);
  }
  // An exception handler of the application may have answered otherwise.
  if (mReply->mCode >= 500) {
    controller_.NoteFailedRequest(Outcome(&e));
  }
}

void TSvServer::Route(const std::string& path) {
  if (controller_.OnExecuteRequest) {
    bool handled = false;
    controller_.OnExecuteRequest(path, *mRequest, handled, *mReply);
    if (handled) {
      return;
    }
  }
  const std::string lower = base::ascii_lowercase(path);
  const auto rest_after = [&](std::string_view prefix) -> std::string_view {
    return std::string_view(path).substr(prefix.size());
  };

  if (lower == "/favicon.ico") {
    route_kind_ = base::RouteKind::kFiles;
    const std::string file =
        base::include_trailing_slash(controller_.ContentPath()) + "favicon.ico";
    if (FileRule(file, false, "image/x-ico", FileMode::kNormal)) {
      return;
    }
    TSvServerInternalFiles& files = TSvServerInternalFiles::Instance();
    if (!files.ResourceExists("SV_FAVICON")) {
      SendNotFound();
      return;
    }
    InternalFileView view = files.ResourceAsStream("SV_FAVICON");
    mReply->mContentType = "image/x-ico";
    mReply->SendStream(std::make_unique<SharedBytesStream>(std::move(view.bytes)), false);
    mReply->mLastModified = controller_.FStartDateTime();
    mCacheIt = true;
    return;
  }
  if (base::starts_with(lower, "/$/temp/")) {
    route_kind_ = base::RouteKind::kFiles;
    const std::string file =
        map_url_to_file(controller_.CacheDir(), std::string(rest_after("/$/temp/")) + ".tmp");
    // A session's cache files go to that session only; the server's own to anyone. Other
    // files of the folder (spilled bodies of other requests) are no cache files at all.
    const std::optional<std::string> owner = TSvAppCache::OwnerOf(file);
    if (!owner || (!owner->empty() && *owner != RequestSessionID(path))) {
      SendNotFound();
      return;
    }
    FileRule(file, true, "", FileMode::kCacheFile);
    return;
  }
  if (base::starts_with(lower, "/$/js/") || base::starts_with(lower, "/$/javascript/") ||
      base::starts_with(lower, "/$/gfx/") || base::starts_with(lower, "/$/css/") ||
      lower == "/$/blank" || lower == "/$/blank_" || lower == "/$/ping" || lower == "/$/metrics" ||
      lower == "/$/ready") {
    route_kind_ = base::RouteKind::kInternal;
  } else if (base::starts_with(lower, "/$/files/") || base::starts_with(lower, "/$/filesnc/")) {
    route_kind_ = base::RouteKind::kFiles;
  }
  if (base::starts_with(lower, "/$/js/")) {
    InternalFileRule("JS", rest_after("/$/js/"));
    return;
  }
  if (base::starts_with(lower, "/$/javascript/")) {
    InternalFileRule("JS", rest_after("/$/javascript/"));
    return;
  }
  if (base::starts_with(lower, "/$/gfx/")) {
    InternalFileRule("GFX", rest_after("/$/gfx/"));
    return;
  }
  if (base::starts_with(lower, "/$/css/")) {
    InternalFileRule("CSS", rest_after("/$/css/"));
    return;
  }
  if (base::starts_with(lower, "/$/files/")) {
    mReply->SendRedirect(mBaseURL + path.substr(3));
    return;
  }
  if (base::starts_with(lower, "/$/filesnc/")) {
    // Mapped like any URL, so that "../" cannot leave the Files folder.
    const std::string rest(rest_after("/$/filesnc/"));
    const std::string file =
        map_url_to_file(base::include_trailing_slash(controller_.ContentPath()) + "Files/", rest);
    FileRule(file, true, MimeTypes::GetAsString(base::extract_file_ext(file)), FileMode::kUncached);
    return;
  }
  if (lower == "/$/blank" || lower == "/$/blank_") {
    if (!mRequest->mIfModifiedSince.empty()) {
      mReply->SetCode(304);
      return;
    }
    mReply->WriteString(kBlankPage);
    mReply->mLastModified = controller_.FStartDateTime();
    mCacheIt = true;
    return;
  }
  if (lower == "/$/ping") {
    mReply->WriteString("Pong");
    return;
  }
  if (lower == "/$/metrics" || lower == "/$/ready") {
    // The figures tell how busy the server is and how it is set up, and readiness why the
    // database does not answer: for operators only.
    if (!may_read_metrics(mClientIP, client_unvouched_,
                          controller_.SecurityOptions().TrustedProxies)) {
      SendNotFound();
      return;
    }
    if (lower == "/$/ready") {
      SendReadiness();
      return;
    }
    mReply->mContentType = kMetricsContentType;
    mReply->WriteString(prometheus_text(base::metrics(), controller_.Sessions().GetCount()));
    return;
  }
  if (base::starts_with(lower, "/$/")) {
    ProcessSessionRequest(path);
    return;
  }
  std::string mime_type;
  if (MimeTypes::IsStaticFile(path, mime_type)) {
    route_kind_ = base::RouteKind::kFiles;
    FileRule(map_url_to_file(controller_.ContentPath(), path), true, mime_type, FileMode::kNormal);
    return;
  }
  ProcessSessionRequest(path);
}

bool TSvServer::FileRule(const std::string& file, bool must_exist, const std::string& content_type,
                         FileMode mode) {
  const std::optional<base::DateTime> modified = base::file_modified(file);
  const bool exists = modified.has_value() && base::file_exists(file);
  if (file.find('#') != std::string::npos || (!exists && must_exist)) {
    SendNotFound();
    return true;
  }
  if (!exists) {
    return false;
  }
  mReply->ResetReplyType();
  if (unchanged_since(mRequest->mIfModifiedSince, *modified)) {
    mReply->SetCode(304);
  } else if (mode == FileMode::kCacheFile) {
    mReply->SendCacheFile(file);
  } else {
    if (content_type.empty()) {
      throw ESvException("ContentType cannot be empty");
    }
    mReply->SendFile(file, false, false);
    mReply->mContentType = content_type;
  }
  if (mode != FileMode::kUncached) {
    mCacheIt = true;
    mReply->mLastModified = *modified;
  }
  return true;
}

void TSvServer::InternalFileRule(std::string_view kind, std::string_view rest) {
  // Only "\" and ":" end a folder here, so a dot anywhere after them starts the extension.
  std::string name(rest);
  const size_t dot = name.rfind('.');
  const size_t folder = name.find_last_of("\\:");
  if (dot != std::string::npos && (folder == std::string::npos || dot > folder)) {
    name.erase(dot);
  }
  // "x__1A2B" carries the start stamp that makes URLs change with each restart.
  if (const size_t stamp = name.find("__"); stamp != std::string::npos) {
    name.erase(stamp);
  }
  for (char& c : name) {
    if (c == '/') {
      c = '_';
    }
  }
  name = "SV_" + std::string(kind) + "_" + name;

  if (unchanged_since(mRequest->mIfModifiedSince, controller_.FStartDateTime())) {
    mReply->SetCode(304);
    return;
  }
  InternalFileView view;
  try {
    view = TSvServerInternalFiles::Instance().ResourceAsStream(name);
  } catch (const ESvInvalidResourceException&) {
    SendNotFound();
    return;
  }
  mReply->mContentType = MimeTypes::GetAsString(base::extract_file_ext(rest));
  if (view.is_compressed) {
    // Scripts are stored gzipped; a client that does not take gzip gets them inflated rather
    // than bytes it cannot read.
    if (mRequest->AcceptsGZip()) {
      mReply->AddHeader("Content-Encoding", "gzip");
    } else {
      view.bytes = std::make_shared<const std::string>(gunzip_bytes(*view.bytes));
    }
    mReply->AddHeader("Vary", "Accept-Encoding");
  }
  if (view.enable_cache) {
    mReply->mLastModified = controller_.FStartDateTime();
    mCacheIt = true;
  } else {
    const base::DateTime now = controller_.clock().now();
    mReply->mLastModified =
        now - base::decode_date_time(now).millisecond / base::kMillisecondsPerDay;
  }
  mReply->SendStream(std::make_unique<SharedBytesStream>(std::move(view.bytes)), false);
}

void TSvServer::SendReadiness() {
  const ReadinessReport report = controller_.CheckReadiness();
  mReply->mContentType = "text/plain; charset=utf-8";
  if (report.ready()) {
    mReply->WriteString("Ready\n");
    return;
  }
  // 503 takes the instance out of a balancer's pool until the database answers again, while
  // "/$/ping" still says the process lives.
  mReply->SetCode(503);
  mReply->WriteString("Not ready: " + *report.failure + "\n");
}

void TSvServer::SendNotFound() {
  mReply->ResetReplyType();
  mReply->SetCode(404);
  mReply->mContentType = "text/html";
  forbid_active_content(*mReply, kErrorPagePolicy);
  mReply->WriteString(kNotFoundBody);
}

std::string TSvServer::StartParams(bool all) {
  if (!all && !controller_.ShowStartParams()) {
    return {};
  }
  if (const std::string* run_params = SessionRunParams()) {
    return encode_start_params(*run_params);
  }
  TSvParamsString params;
  params.FillFrom(*mParams, controller_);
  return encode_start_params(params.Raw());
}

void TSvServer::RenderError(const std::exception& e) {
  mReply->Clear();
  mReply->SetCode(500);
  // The page repeats the failure's message, which may quote the request.
  forbid_active_content(*mReply, kErrorPagePolicy);
  // Details of the application and the framework only for a client on this machine: the
  // connection's peer, which a client cannot choose (unlike Host), or the client a trusted
  // proxy names. A request that speaks for someone else without a trusted proxy vouching for
  // it is that someone's, wherever it comes from.
  const bool local_client = IsLoopbackAddress(mClientIP) && !client_unvouched_;
  mReply->WriteString(
      RenderErrorPage(e, &*mRequest, &controller_.ExceptionLogger(), local_client));
  if (dynamic_cast<const EInvalidSession*>(&e) != nullptr) {
    mReply->mCookies.RemoveCookie(mCookieName, mCookiePath);
  }
}

}  // namespace appsrv::server
